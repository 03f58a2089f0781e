// Stream layout and the sequence test pattern of the simulated module.
//
// Header-only so that tests can decode and check received groups without
// linking the simulator. All stream values are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kr2270::sim {

// Which items travel in a group, as selected by registers 14, 35, 53 and 194.
struct StreamLayout {
  uint8_t code_bytes = 4;    // 2 or 4 bytes per analog code
  uint8_t analog_mask = 0;   // bit k-1 = analog channel k
  bool digital = false;      // 16-bit digital-input word
  uint8_t counter_mask = 0;  // bit c-1 = counter c (4 bits)
  uint8_t encoder_mask = 0;  // bit e-1 = encoder e (2 bits)
};

inline int PopCount8(unsigned v) {
  int n = 0;
  for (; v != 0; v &= v - 1) ++n;
  return n;
}

// Bytes per group: 0 (nothing enabled) to 58 (everything, 4-byte codes).
inline size_t GroupSize(const StreamLayout& l) {
  return static_cast<size_t>(PopCount8(l.analog_mask) * (l.code_bytes == 2 ? 2 : 4) +
                             (l.digital ? 2 : 0) + PopCount8(l.counter_mask & 0x0Fu) * 4 +
                             PopCount8(l.encoder_mask & 0x03u) * 4);
}

// Pattern values of group g (g counts from 0 at the start of streaming).
// Analog channel k (1..8): the value of the code field, i.e. the whole 32-bit
// word for 4-byte codes and the 16-bit value for 2-byte codes.
inline uint32_t SequenceAnalog(uint64_t g, int k, int code_bytes) {
  const uint64_t v = g * 8u + static_cast<uint64_t>(k - 1);
  return static_cast<uint32_t>(code_bytes == 2 ? (v & 0xFFFFu) : (v & 0xFFFFFFu));
}
inline uint16_t SequenceDigital(uint64_t g) { return static_cast<uint16_t>(g & 0xFFFFu); }
inline uint32_t SequenceCounter(uint64_t g, int c) {
  return static_cast<uint32_t>(g * 4u + static_cast<uint64_t>(c - 1));
}
inline uint32_t SequenceEncoder(uint64_t g, int e) {
  return static_cast<uint32_t>(g * 2u + static_cast<uint64_t>(e - 1));
}

inline uint8_t* PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  return p + 2;
}
inline uint8_t* PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  return p + 4;
}
inline uint16_t GetLe16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t GetLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Writes sequence group g into out (GroupSize(l) bytes); returns the end.
inline uint8_t* WriteSequenceGroup(const StreamLayout& l, uint64_t g, uint8_t* out) {
  const int width = l.code_bytes == 2 ? 2 : 4;
  for (int k = 1; k <= 8; ++k) {
    if ((l.analog_mask >> (k - 1) & 1u) == 0) continue;
    const uint32_t v = SequenceAnalog(g, k, width);
    out = width == 2 ? PutLe16(out, static_cast<uint16_t>(v)) : PutLe32(out, v);
  }
  if (l.digital) out = PutLe16(out, SequenceDigital(g));
  for (int c = 1; c <= 4; ++c)
    if (l.counter_mask >> (c - 1) & 1u) out = PutLe32(out, SequenceCounter(g, c));
  for (int e = 1; e <= 2; ++e)
    if (l.encoder_mask >> (e - 1) & 1u) out = PutLe32(out, SequenceEncoder(g, e));
  return out;
}

// Offset of the first group whose bytes differ from the pattern, or -1 when
// all `groups` groups starting at group `first` match.
inline int64_t FindSequenceMismatch(const StreamLayout& l, uint64_t first, const uint8_t* data,
                                    size_t groups) {
  uint8_t expected[64];
  const size_t size = GroupSize(l);
  for (size_t i = 0; i < groups; ++i) {
    WriteSequenceGroup(l, first + i, expected);
    for (size_t b = 0; b < size; ++b)
      if (data[i * size + b] != expected[b]) return static_cast<int64_t>(i);
  }
  return -1;
}

}  // namespace kr2270::sim
