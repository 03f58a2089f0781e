// Recordings: arbitrary header bytes parsed from memory, and the reader over
// a chain of arbitrary files on disk, compared with an oracle that reads the
// file format's table and the files themselves.
//
// Input: byte 0 bits 0-1 the number of files - 1, bit 2 "the first file
// starts with a well-formed header built from the next 16 bytes"; then for
// each file a 2-byte length and that many bytes; then the reads, 5 bytes
// each (start group: 2 bytes, count: 2 bytes, a byte of flags).
//
// Also included by tests/regression_recording_test.cpp.
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "acquisition/stream_fifo.h"
#include "device/device.h"
#include "kr2270c.h"
#include "oracles.h"
#include "recording/header.h"

namespace kr2270::fuzzcheck {

// The header fields as the format table places them, read straight from
// the bytes. Valid only when the header is sound.
struct ParsedHeader {
  bool sound = false;
  std::size_t size = 0;
  std::uint8_t version = 0;
  oracle::Header h;
};

inline std::uint64_t Le(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= std::uint64_t{p[i]} << (8 * i);
  return v;
}

inline ParsedHeader ParseOracle(const std::uint8_t* b, std::size_t n) {
  ParsedHeader p;
  if (n < 5 || std::memcmp(b, "2270", 4) != 0 || b[4] > 1) return p;
  p.version = b[4];
  p.size = p.version == 1 ? oracle::kHeaderV1 : oracle::kHeaderV0;
  if (n < p.size) return p;
  oracle::Header& h = p.h;
  for (int k = 0; k < 8; ++k) {
    const std::uint8_t* c = b + 5 + 31 * k;
    h.ad_enabled[k] = c[0];
    h.full[k] = static_cast<std::int32_t>(Le(c + 1, 4));
    h.zero[k] = static_cast<std::int32_t>(Le(c + 5, 4));
    h.span[k] = std::bit_cast<double>(Le(c + 9, 8));
    h.offset[k] = std::bit_cast<double>(Le(c + 17, 8));
    h.range[k] = c[25];
    h.end_mode[k] = c[26];
    h.reserved[k] = static_cast<std::int32_t>(Le(c + 27, 4));
  }
  h.sleep[0] = static_cast<std::int8_t>(b[253]);
  h.sleep[1] = static_cast<std::int8_t>(b[254]);
  for (int c = 0; c < 4; ++c) {
    const std::uint8_t* k = b + 255 + 10 * c;
    h.ct_in_fifo[c] = k[0];
    h.ct_mode[c] = static_cast<std::int8_t>(k[1]);
    h.ct_freq_base[c] = std::bit_cast<double>(Le(k + 2, 8));
  }
  h.di_in_fifo = b[295];
  h.ec_in_fifo[0] = b[296];
  h.ec_in_fifo[1] = b[297];
  h.rate_code = static_cast<std::int32_t>(Le(b + 298, 4));
  h.trigger_reserved = b[302];
  h.trigger_enable = b[303];
  h.trigger_mode = b[304];
  h.trigger_count = static_cast<std::int32_t>(Le(b + 305, 4));
  h.code_bytes = b[309];
  if (p.version == 1) std::memcpy(h.range_ex, b + 310, 8);
  // A code width other than 2 or 4 cannot be replayed.
  p.sound = h.code_bytes == 2 || h.code_bytes == 4;
  return p;
}

template <typename A, typename B>
bool SameBits(const A& a, const B& b) {
  static_assert(sizeof(A) == sizeof(B));
  return std::memcmp(&a, &b, sizeof(A)) == 0;
}

// The settings hold exactly the header's fields; range_ex only from version 1.
inline std::string CompareSettings(const Settings& s, const ParsedHeader& p, const Settings& before) {
  const oracle::Header& h = p.h;
  if (!SameBits(s.ad_enabled, h.ad_enabled) || !SameBits(s.ad_full_code, h.full) ||
      !SameBits(s.ad_zero_code, h.zero) || !SameBits(s.ad_span, h.span) ||
      !SameBits(s.ad_offset, h.offset) || !SameBits(s.ad_range, h.range) ||
      !SameBits(s.ad_end_mode, h.end_mode) || !SameBits(s.ad_reserved, h.reserved)) {
    return "channel fields";
  }
  if (!SameBits(s.ad_sleep, h.sleep) || !SameBits(s.ct_in_fifo, h.ct_in_fifo) ||
      !SameBits(s.ct_mode, h.ct_mode) || !SameBits(s.ct_freq_base, h.ct_freq_base)) {
    return "counter fields";
  }
  if (s.di_in_fifo != h.di_in_fifo || !SameBits(s.ec_in_fifo, h.ec_in_fifo) ||
      s.rate_code != h.rate_code || s.trigger_reserved != h.trigger_reserved ||
      s.trigger_enable != h.trigger_enable || s.trigger_mode != h.trigger_mode ||
      s.trigger_count != h.trigger_count || s.ad_code_bytes != h.code_bytes) {
    return "stream fields";
  }
  if (p.version == 1 ? !SameBits(s.ad_range_ex, h.range_ex)
                     : !SameBits(s.ad_range_ex, before.ad_range_ex)) {
    return "extended ranges";
  }
  return {};
}

inline bool SameSettings(const Settings& a, const Settings& b) {
  std::uint8_t x[kHeaderBytes];
  std::uint8_t y[kHeaderBytes];
  BuildRecordingHeader(a, x);
  BuildRecordingHeader(b, y);
  return std::memcmp(x, y, sizeof x) == 0;
}

inline std::string CheckHeaderFromMemory(const std::uint8_t* data, std::size_t size) {
  Settings settings;
  settings.ad_range_ex[3] = 7;  // something a version 0 header must leave alone
  const Settings before = settings;
  std::int32_t header_size = -1;
  const std::int32_t status = ParseRecordingHeader(data, size, &settings, &header_size);
  const ParsedHeader p = ParseOracle(data, size);
  if (!p.sound) {
    if (status != KR2270_ERROR_FILE_READ) return "unsound header accepted";
    if (!SameSettings(settings, before)) return "refused header changed the settings";
    return {};
  }
  if (status != KR2270_OK) return "sound header refused";
  if (static_cast<std::size_t>(header_size) != p.size) return "header size";
  return CompareSettings(settings, p, before);
}

// --- the reader over files on disk -------------------------------------------------

// A directory of this process, removed at exit. Never destroyed itself, so
// that the exit handler can still name it.
inline const std::filesystem::path& FuzzDirectory() {
  static const std::filesystem::path* dir = [] {
    auto* d = new std::filesystem::path(std::filesystem::temp_directory_path() /
                                        ("kr2270_fuzz_rec_" + std::to_string(getpid())));
    std::filesystem::create_directories(*d);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(FuzzDirectory(), ignored);
    });
    return d;
  }();
  return *dir;
}

inline Device* ReaderDevice() {
  static Device* device = KR2270_DeviceCreate();
  return device;
}

struct Cursor {
  const std::uint8_t* p;
  std::size_t left;
  std::size_t Take(std::size_t n) {
    n = std::min(n, left);
    p += n;
    left -= n;
    return n;
  }
  std::uint32_t Number(int bytes) {
    std::uint32_t v = 0;
    for (int i = 0; i < bytes && left > 0; ++i, Take(1)) v |= std::uint32_t{*p} << (8 * i);
    return v;
  }
};

inline std::string CheckReader(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return {};
  Cursor in{data + 1, size - 1};
  const int file_count = 1 + (data[0] & 3);
  std::vector<oracle::Bytes> files(static_cast<std::size_t>(file_count));
  if ((data[0] & 4) != 0) {
    // A sound header with fuzzed enables, width, rate and trigger count.
    oracle::Header h;
    const std::uint32_t a = in.Number(4);
    const std::uint32_t b = in.Number(4);
    for (int k = 0; k < 8; ++k) h.ad_enabled[k] = static_cast<std::uint8_t>(a >> k & 1);
    h.code_bytes = (a & 0x100) != 0 ? 2 : 4;
    h.di_in_fifo = static_cast<std::uint8_t>(a >> 9 & 1);
    for (int c = 0; c < 4; ++c) h.ct_in_fifo[c] = static_cast<std::uint8_t>(a >> (10 + c) & 1);
    for (int e = 0; e < 2; ++e) h.ec_in_fifo[e] = static_cast<std::uint8_t>(a >> (14 + e) & 1);
    h.version = (a & 0x10000) != 0 ? 0 : 1;
    h.rate_code = static_cast<std::int32_t>(b & 0x3F);
    h.trigger_count = static_cast<std::int32_t>(in.Number(4));
    in.Number(4);
    files[0] = oracle::HeaderBytes(h);
  }
  for (auto& file : files) {
    const std::size_t length = in.Number(2) % 3000;
    const std::uint8_t* from = in.p;
    const std::size_t got = in.Take(length);
    file.insert(file.end(), from, from + got);
  }

  const std::filesystem::path& dir = FuzzDirectory();
  for (int i = 1; i <= 5; ++i) std::filesystem::remove(dir / ("r_" + std::to_string(i) + ".dat"));
  for (int i = 0; i < file_count; ++i) {
    std::ofstream(dir / ("r_" + std::to_string(i + 1) + ".dat"), std::ios::binary)
        .write(reinterpret_cast<const char*>(files[static_cast<std::size_t>(i)].data()),
               static_cast<std::streamsize>(files[static_cast<std::size_t>(i)].size()));
  }

  Device* device = ReaderDevice();
  const Settings before = device->settings;
  const std::string first = (dir / "r_1.dat").string();
  const std::int32_t open = KR2270_DFROpen(device, first.c_str(), 0);
  const ParsedHeader p = ParseOracle(files[0].data(), files[0].size());
  std::string failure;
  if (!p.sound) {
    if (open != KR2270_ERROR_FILE_READ) failure = "unsound first file opened: " + std::to_string(open);
    else if (!SameSettings(device->settings, before)) failure = "refused open changed the settings";
    KR2270_DFRClose(device);
    return failure;
  }
  if (open != 0) {
    KR2270_DFRClose(device);
    return "sound first file refused: " + std::to_string(open);
  }
  failure = CompareSettings(device->settings, p, before);
  if (!failure.empty()) {
    KR2270_DFRClose(device);
    return failure;
  }

  // The recording's data: every file's bytes after the first file's header
  // length, in chain order. The chain ends at the first file that does not
  // begin with the first file's magic and version (a foreign file), as far
  // as its bytes go.
  oracle::Bytes joined;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const oracle::Bytes& file = files[i];
    const std::size_t identity = std::min<std::size_t>(5, file.size());
    if (i > 0 && (identity > 0 && std::memcmp(file.data(), files[0].data(), identity) != 0)) break;
    if (file.size() > p.size) joined.insert(joined.end(), file.begin() + static_cast<std::ptrdiff_t>(p.size), file.end());
  }
  const std::size_t group = oracle::GroupBytes(oracle::LayoutOf(p.h));
  const std::uint64_t total = group == 0 ? 0 : joined.size() / group;
  double groups = -1;
  if (KR2270_DFRGetGroupTotal(device, &groups, nullptr) != 0 || groups != static_cast<double>(total)) {
    failure = "group total";
  }
  bool beyond = false;  // a start beyond the end sticks
  while (failure.empty() && in.left >= 5) {
    const std::uint64_t start = in.Number(2);
    const std::int32_t count = static_cast<std::int32_t>(in.Number(2));
    in.Take(1);
    FifoReset(device->stream_fifo);
    std::int32_t got = -7;
    const std::int32_t status = KR2270_DFRRead(device, static_cast<double>(start), count, &got);
    if (count > 0 && total > 0 && start > total) beyond = true;
    // A read of nothing returns 0 before it looks at anything.
    const std::int32_t expected_status = beyond && count > 0 ? KR2270_ERROR_FILE_READ : KR2270_OK;
    const std::uint64_t expected =
        count <= 0 || start >= total ? 0 : std::min<std::uint64_t>(static_cast<std::uint64_t>(count), total - start);
    if (status != expected_status) {
      failure = "read status " + std::to_string(status);
    } else if (count > 0 && static_cast<std::uint64_t>(got) != expected) {
      failure = "groups read " + std::to_string(got) + ", expected " + std::to_string(expected);
    } else if (FifoFilled(device->stream_fifo) != expected * group) {
      failure = "ring holds other than the groups read";
    } else if (expected > 0) {
      oracle::Bytes played(static_cast<std::size_t>(expected * group));
      FifoGet(device->stream_fifo, played.data(), static_cast<std::uint32_t>(played.size()));
      if (!std::equal(played.begin(), played.end(), joined.begin() + static_cast<std::ptrdiff_t>(start * group))) {
        failure = "played bytes differ from the data on disk";
      }
    }
  }
  KR2270_DFRClose(device);
  return failure;
}

inline std::string CheckRecording(const std::uint8_t* data, std::size_t size) {
  std::string failure = CheckHeaderFromMemory(data, size);
  if (!failure.empty()) return "header from memory: " + failure;
  failure = CheckReader(data, size);
  return failure.empty() ? failure : "reader: " + failure;
}

}  // namespace kr2270::fuzzcheck

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string failure = kr2270::fuzzcheck::CheckRecording(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "recording rule broken: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
