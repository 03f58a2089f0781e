// Independent oracles shared by the fuzz harnesses and the reliability
// tests: a recording header written from the file format's table, the group
// layout, a naive splitter and the host decimation. Written straight from the
// stream and file formats, deliberately without any of the library's code,
// so that a fault in the library cannot hide in its own checks.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kr2270::oracle {

using Bytes = std::vector<std::uint8_t>;

inline void Le(Bytes& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
inline void LeDouble(Bytes& out, double value) { Le(out, std::bit_cast<std::uint64_t>(value), 8); }
inline std::uint32_t GetLe(const std::uint8_t* p, int bytes) {
  std::uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= std::uint32_t{p[i]} << (8 * i);
  return v;
}

// Every field of a recording header, with the library's creation defaults.
struct Header {
  std::uint8_t version = 1;
  std::uint8_t ad_enabled[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  std::int32_t full[8] = {8388607, 8388607, 8388607, 8388607, 8388607, 8388607, 8388607, 8388607};
  std::int32_t zero[8] = {4194303, 4194303, 4194303, 4194303, 4194303, 4194303, 4194303, 4194303};
  double span[8] = {10, 10, 10, 10, 10, 10, 10, 10};
  double offset[8] = {};
  std::uint8_t range[8] = {};
  std::uint8_t end_mode[8] = {};
  std::int32_t reserved[8] = {};
  std::int8_t sleep[2] = {};
  std::uint8_t ct_in_fifo[4] = {};
  std::int8_t ct_mode[4] = {};
  double ct_freq_base[4] = {1000, 1000, 1000, 1000};
  std::uint8_t di_in_fifo = 0;
  std::uint8_t ec_in_fifo[2] = {};
  std::int32_t rate_code = 8;
  std::uint8_t trigger_reserved = 0;
  std::uint8_t trigger_enable = 0;
  std::uint8_t trigger_mode = 0;
  std::int32_t trigger_count = 0;
  std::uint8_t code_bytes = 4;
  std::uint8_t range_ex[8] = {};
};

inline constexpr std::size_t kHeaderV1 = 318;
inline constexpr std::size_t kHeaderV0 = 310;

// The header bytes in file order: magic, version, 8 channel blocks of 31
// bytes, sleep, 4 counter blocks of 10 bytes, the stream and trigger fields,
// and (from version 1 on) the 8 extended-range bytes.
inline Bytes HeaderBytes(const Header& h) {
  Bytes out = {'2', '2', '7', '0', h.version};
  for (int k = 0; k < 8; ++k) {
    Le(out, h.ad_enabled[k], 1);
    Le(out, static_cast<std::uint32_t>(h.full[k]), 4);
    Le(out, static_cast<std::uint32_t>(h.zero[k]), 4);
    LeDouble(out, h.span[k]);
    LeDouble(out, h.offset[k]);
    Le(out, h.range[k], 1);
    Le(out, h.end_mode[k], 1);
    Le(out, static_cast<std::uint32_t>(h.reserved[k]), 4);
  }
  Le(out, static_cast<std::uint8_t>(h.sleep[0]), 1);
  Le(out, static_cast<std::uint8_t>(h.sleep[1]), 1);
  for (int c = 0; c < 4; ++c) {
    Le(out, h.ct_in_fifo[c], 1);
    Le(out, static_cast<std::uint8_t>(h.ct_mode[c]), 1);
    LeDouble(out, h.ct_freq_base[c]);
  }
  Le(out, h.di_in_fifo, 1);
  Le(out, h.ec_in_fifo[0], 1);
  Le(out, h.ec_in_fifo[1], 1);
  Le(out, static_cast<std::uint32_t>(h.rate_code), 4);
  Le(out, h.trigger_reserved, 1);
  Le(out, h.trigger_enable, 1);
  Le(out, h.trigger_mode, 1);
  Le(out, static_cast<std::uint32_t>(h.trigger_count), 4);
  Le(out, h.code_bytes, 1);
  if (h.version != 0) {
    for (std::uint8_t r : h.range_ex) Le(out, r, 1);
  }
  return out;
}

// Which items a group carries: bit 0 of each enable flag counts.
struct Layout {
  bool analog[8] = {};
  int code_bytes = 4;  // 2, or 4 for any other setting
  bool digital = false;
  bool counter[4] = {};
  bool encoder[2] = {};
};

inline Layout LayoutOf(const Header& h) {
  Layout l;
  for (int k = 0; k < 8; ++k) l.analog[k] = (h.ad_enabled[k] & 1) != 0;
  l.code_bytes = h.code_bytes == 2 ? 2 : 4;
  l.digital = (h.di_in_fifo & 1) != 0;
  for (int c = 0; c < 4; ++c) l.counter[c] = (h.ct_in_fifo[c] & 1) != 0;
  for (int e = 0; e < 2; ++e) l.encoder[e] = (h.ec_in_fifo[e] & 1) != 0;
  return l;
}

inline std::size_t GroupBytes(const Layout& l) {
  std::size_t size = 0;
  for (bool a : l.analog) size += a ? static_cast<std::size_t>(l.code_bytes) : 0;
  size += l.digital ? 2 : 0;
  for (bool c : l.counter) size += c ? 4 : 0;
  for (bool e : l.encoder) size += e ? 4 : 0;
  return size;
}

// The channel queues a plain split of whole groups yields.
struct Queues {
  std::vector<std::int32_t> ad[8];
  std::vector<std::uint16_t> di;
  std::vector<std::uint32_t> ct[4];
  std::vector<std::uint32_t> ec[2];
};

// Splits the whole groups at the front of bytes, one at a time, field by
// field. A 2-byte analog code is the upper 16 bits of the 24-bit code.
inline void SplitGroups(const Layout& l, const std::uint8_t* bytes, std::size_t groups,
                        Queues* q) {
  const std::size_t size = GroupBytes(l);
  for (std::size_t g = 0; g < groups; ++g) {
    const std::uint8_t* p = bytes + g * size;
    for (int k = 0; k < 8; ++k) {
      if (!l.analog[k]) continue;
      const std::uint32_t word = l.code_bytes == 2 ? GetLe(p, 2) << 8 : GetLe(p, 4);
      q->ad[k].push_back(static_cast<std::int32_t>(word));
      p += l.code_bytes;
    }
    if (l.digital) {
      q->di.push_back(static_cast<std::uint16_t>(GetLe(p, 2)));
      p += 2;
    }
    for (int c = 0; c < 4; ++c) {
      if (!l.counter[c]) continue;
      q->ct[c].push_back(GetLe(p, 4));
      p += 4;
    }
    for (int e = 0; e < 2; ++e) {
      if (!l.encoder[e]) continue;
      q->ec[e].push_back(GetLe(p, 4));
      p += 4;
    }
  }
}

// The host keeps every factor-th group of the module's stream, counted from
// the first group after the start: groups 0, F, 2F, ...
inline Bytes Decimate(const Bytes& stream, std::size_t group_bytes, std::size_t factor) {
  Bytes kept;
  if (group_bytes == 0) return kept;
  for (std::size_t g = 0; (g + 1) * group_bytes <= stream.size(); g += factor) {
    kept.insert(kept.end(), stream.begin() + static_cast<std::ptrdiff_t>(g * group_bytes),
                stream.begin() + static_cast<std::ptrdiff_t>((g + 1) * group_bytes));
  }
  return kept;
}

// Whether `taken` is `sent` with zero or more whole groups removed, order
// kept and nothing inserted; *removed receives the number of groups removed.
// Greedy matching is exact here because groups are compared by position in
// a pattern where every group differs from every other.
inline bool IsSubsequenceOfGroups(const Bytes& sent, const Bytes& taken, std::size_t group_bytes,
                                  std::uint64_t* removed) {
  if (group_bytes == 0 || sent.size() % group_bytes != 0 || taken.size() % group_bytes != 0) {
    return false;
  }
  std::size_t s = 0;
  std::uint64_t skipped = 0;
  for (std::size_t t = 0; t < taken.size(); t += group_bytes) {
    while (s < sent.size() && !std::equal(taken.begin() + static_cast<std::ptrdiff_t>(t),
                                          taken.begin() + static_cast<std::ptrdiff_t>(t + group_bytes),
                                          sent.begin() + static_cast<std::ptrdiff_t>(s))) {
      s += group_bytes;
      ++skipped;
    }
    if (s >= sent.size()) return false;
    s += group_bytes;
  }
  *removed = skipped + (sent.size() - s) / group_bytes;
  return true;
}

}  // namespace kr2270::oracle
