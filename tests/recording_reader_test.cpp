// Playback: the chain of files, positioning by group, the sticky status, and
// that a hostile header never reaches the settings.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>

#include "device/device.h"
#include "kr2270c.h"
#include "temp_dir.h"
#include "recording/header.h"

namespace kr2270 {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

using test::TempDir;

struct DeviceCloser {
  void operator()(Device* d) const { KR2270_DeviceClose(d); }
};
using DevicePtr = std::unique_ptr<Device, DeviceCloser>;
DevicePtr NewDevice() { return DevicePtr(KR2270_DeviceCreate()); }

std::uint8_t StreamByte(std::int64_t p) { return static_cast<std::uint8_t>(p * 131 + (p >> 8)); }
Bytes StreamBytes(std::int64_t from, std::int64_t count) {
  Bytes b(static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i) b[static_cast<std::size_t>(i)] = StreamByte(from + i);
  return b;
}

// One analog channel with 4-byte codes: groups of 4 bytes.
Settings FourByteGroups(std::int32_t rate_code = 56) {
  Settings s;
  for (auto& flag : s.ad_enabled) flag = 0;
  s.ad_enabled[0] = 1;
  s.rate_code = rate_code;
  return s;
}

Bytes HeaderOf(const Settings& s) {
  std::uint8_t header[kHeaderBytes];
  BuildRecordingHeader(s, header);
  return Bytes(header, header + kHeaderBytes);
}

Bytes V0HeaderOf(const Settings& s) {
  Bytes h = HeaderOf(s);
  h[4] = 0;
  h.resize(kHeaderBytesV0);
  return h;
}

void WriteFile(const std::string& path, const Bytes& header, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(header.data()),
            static_cast<std::streamsize>(header.size()));
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// Files stem_<number>.dat for the given data sizes, carrying the test stream
// from data position 0 on; a size of -1 leaves that number out.
std::string MakeChain(const std::string& dir, const std::vector<std::int64_t>& sizes,
                      const Bytes& header, int first_number = 1) {
  std::int64_t position = 0;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    if (sizes[i] < 0) continue;
    WriteFile(dir + "/rec_" + std::to_string(first_number + static_cast<int>(i)) + ".dat", header,
              StreamBytes(position, sizes[i]));
    position += sizes[i];
  }
  return dir + "/rec_" + std::to_string(first_number) + ".dat";
}

Bytes TakeRing(Device* device) {
  Bytes out(FifoFilled(device->stream_fifo));
  FifoGet(device->stream_fifo, out.data(), static_cast<std::uint32_t>(out.size()));
  return out;
}

double GroupTotal(Device* device) {
  double groups = -1;
  KR2270_DFRGetGroupTotal(device, &groups, nullptr);
  return groups;
}

TEST(RecordingReader, ReadsSpanEveryFileTheyNeedByteForByte) {
  TempDir dir;
  const std::string path =
      MakeChain(dir.path, {1000, 1000, 500, 100, 100}, HeaderOf(FourByteGroups()));
  DevicePtr device = NewDevice();
  ASSERT_EQ(KR2270_DFROpen(device.get(), path.c_str(), 0), 0);
  EXPECT_EQ(GroupTotal(device.get()), 2700 / 4);
  const struct {
    double start;
    std::int32_t count;
    std::int64_t from, bytes;  // expected data span
  } cases[] = {
      {375, 175, 1500, 700},  // 500 bytes from _2 at offset 818, 200 from _3 at 318
      {200, 400, 800, 1600},  // crosses two boundaries
      {240, 500, 960, 1740},  // crosses four
      {0, 675, 0, 2700},      // everything
      {600, 100, 2400, 300},  // more than is left: up to the end
  };
  for (const auto& c : cases) {
    std::int32_t groups = -1;
    EXPECT_EQ(KR2270_DFRRead(device.get(), c.start, c.count, &groups), 0);
    EXPECT_EQ(groups, c.bytes / 4);
    EXPECT_EQ(TakeRing(device.get()), StreamBytes(c.from, c.bytes)) << c.start;
  }
}

TEST(RecordingReader, ChainEndsAtTheFirstMissingOrForeignFile) {
  const Settings s = FourByteGroups();
  Bytes foreign_magic = HeaderOf(s);
  foreign_magic[0] = 'X';
  Bytes other_version = V0HeaderOf(s);
  const struct {
    std::vector<std::int64_t> sizes;
    int open_number;
    double groups;
  } cases[] = {
      {{1000, 1000, 500}, 2, 1500 / 4},      // opened at _2: _2 and _3
      {{1000, 1000, -1, 500}, 1, 2000 / 4},  // _1, _2, _4: a gap
      {{1000, 1000, 0}, 1, 2000 / 4},        // an empty last file
      {{1000, 2, 0}, 1, 1002 / 4},           // a partial last group
  };
  for (const auto& c : cases) {
    TempDir sub;
    MakeChain(sub.path, c.sizes, HeaderOf(s));
    DevicePtr device = NewDevice();
    const std::string path = sub.path + "/rec_" + std::to_string(c.open_number) + ".dat";
    ASSERT_EQ(KR2270_DFROpen(device.get(), path.c_str(), 0), 0);
    EXPECT_EQ(GroupTotal(device.get()), c.groups) << path;
    std::int32_t groups = -1;
    EXPECT_EQ(KR2270_DFRRead(device.get(), 0, 1 << 20, &groups), 0);
    EXPECT_EQ(groups, c.groups);
  }
  for (const Bytes& second : {foreign_magic, other_version}) {
    TempDir sub;
    const std::string path = MakeChain(sub.path, {1000}, HeaderOf(s));
    WriteFile(sub.path + "/rec_2.dat", second, StreamBytes(1000, 1000));
    DevicePtr device = NewDevice();
    ASSERT_EQ(KR2270_DFROpen(device.get(), path.c_str(), 0), 0);
    EXPECT_EQ(GroupTotal(device.get()), 1000 / 4);
  }
}

TEST(RecordingReader, OpenedAtALaterFileTakesThatFilesHeader) {
  TempDir dir;
  WriteFile(dir.path + "/rec_1.dat", HeaderOf(FourByteGroups(52)), StreamBytes(0, 100));
  MakeChain(dir.path, {1000, 500}, HeaderOf(FourByteGroups(56)), 2);
  DevicePtr device = NewDevice();
  ASSERT_EQ(KR2270_DFROpen(device.get(), (dir.path + "/rec_2.dat").c_str(), 0), 0);
  double rate = 0;
  EXPECT_EQ(KR2270_DFRGetFreq(device.get(), &rate), 0);
  EXPECT_EQ(rate, 8000.0);
  EXPECT_EQ(GroupTotal(device.get()), 1500 / 4);
}

TEST(RecordingReader, VersionZeroDataStartsAt310AndKeepsTheExtendedRanges) {
  TempDir dir;
  const std::string path = MakeChain(dir.path, {400, 400}, V0HeaderOf(FourByteGroups()));
  DevicePtr device = NewDevice();
  for (int k = 0; k < 8; ++k) device->settings.ad_range_ex[k] = static_cast<std::uint8_t>(9 + k);
  ASSERT_EQ(KR2270_DFROpen(device.get(), path.c_str(), 0), 0);
  for (int k = 0; k < 8; ++k) EXPECT_EQ(device->settings.ad_range_ex[k], 9 + k);
  std::int32_t groups = 0;
  EXPECT_EQ(KR2270_DFRRead(device.get(), 50, 100, &groups), 0);
  EXPECT_EQ(groups, 100);
  EXPECT_EQ(TakeRing(device.get()), StreamBytes(200, 400));
}

TEST(RecordingReader, StartsAreTruncatedContinuedOrRefused) {
  TempDir dir;
  const std::string path = MakeChain(dir.path, {400, 400}, HeaderOf(FourByteGroups()));
  DevicePtr device = NewDevice();
  ASSERT_EQ(KR2270_DFROpen(device.get(), path.c_str(), 0), 0);
  const struct {
    double start;
    std::int32_t count;
    std::int64_t first_group;
  } reads[] = {
      {-1, 3, 0},     // the first continuation starts at 0
      {-1, 2, 3},     // continues
      {2.9, 1, 2},    // truncated
      {10, 4, 10},    // positioned
      {-1.5, 1, 14},  // truncates to -1: continues
  };
  for (const auto& r : reads) {
    std::int32_t groups = -1;
    EXPECT_EQ(KR2270_DFRRead(device.get(), r.start, r.count, &groups), 0);
    EXPECT_EQ(groups, r.count);
    EXPECT_EQ(TakeRing(device.get()), StreamBytes(r.first_group * 4, r.count * 4)) << r.start;
  }
  const double inf = std::numeric_limits<double>::infinity();
  for (double start : {std::nan(""), inf, -inf, 1e300, -1e300, 9.3e18, -2.0}) {
    std::int32_t groups = 77;
    EXPECT_EQ(KR2270_DFRRead(device.get(), start, 1, &groups), -1) << start;
    EXPECT_EQ(groups, 77);
  }
  EXPECT_EQ(KR2270_DFRGetGroupTotal(device.get(), nullptr, nullptr), 0);  // no status left behind
}

TEST(RecordingReader, StartBeyondTheEndFailsForGood) {
  TempDir dir;
  const std::string path = MakeChain(dir.path, {400}, HeaderOf(FourByteGroups()));
  DevicePtr device = NewDevice();
  ASSERT_EQ(KR2270_DFROpen(device.get(), path.c_str(), 0), 0);
  std::int32_t groups = -1;
  EXPECT_EQ(KR2270_DFRRead(device.get(), 100, 5, &groups), 0);  // the end itself
  EXPECT_EQ(groups, 0);
  EXPECT_EQ(KR2270_DFRRead(device.get(), 101, 5, &groups), -203);
  EXPECT_EQ(groups, 0);
  EXPECT_EQ(KR2270_DFRRead(device.get(), 0, 5, &groups), -203);  // works, still reports
  EXPECT_EQ(groups, 5);
  EXPECT_EQ(KR2270_DFRGetGroupTotal(device.get(), nullptr, nullptr), -203);
}

TEST(RecordingReader, ReadsOnlyWholeGroupsThatTheRingTakes) {
  TempDir dir;
  const std::string path = MakeChain(dir.path, {4000}, HeaderOf(FourByteGroups()));
  DevicePtr device = NewDevice();
  ASSERT_EQ(KR2270_DFROpen(device.get(), path.c_str(), 0), 0);
  std::int32_t groups = 0;
  EXPECT_EQ(KR2270_DFRRead(device.get(), 0, INT32_MAX, &groups), 0);
  EXPECT_EQ(groups, 1000);
  TakeRing(device.get());
  // Room for ten groups and three bytes.
  StreamFifo& ring = device->stream_fifo;
  const Bytes filler(ring.size - 43);
  ASSERT_EQ(FifoPut(ring, filler.data(), static_cast<std::uint32_t>(filler.size())), filler.size());
  EXPECT_EQ(KR2270_DFRRead(device.get(), 20, INT32_MAX, &groups), 0);
  EXPECT_EQ(groups, 10);
  EXPECT_EQ(FifoFilled(ring), ring.size - 3);
  FifoGet(ring, nullptr, static_cast<std::uint32_t>(filler.size()));
  EXPECT_EQ(TakeRing(device.get()), StreamBytes(80, 40));
  EXPECT_EQ(KR2270_DFRRead(device.get(), -1, 1, &groups), 0);  // continues after what was taken
  EXPECT_EQ(TakeRing(device.get()), StreamBytes(120, 4));
}

TEST(RecordingReader, ReadsIntoTheRingWhereverItStandsAndAcrossItsWrap) {
  TempDir dir;
  const std::string path = MakeChain(dir.path, {200000, 200000}, HeaderOf(FourByteGroups()));
  DevicePtr device = NewDevice();
  ASSERT_EQ(KR2270_DFROpen(device.get(), path.c_str(), 0), 0);
  StreamFifo& ring = device->stream_fifo;
  const auto ring_page_offset = reinterpret_cast<std::uintptr_t>(ring.buffer) % 4096;
  // How far the ring position lies past the file offset within a page: some
  // of these make the reader go through its own buffer.
  for (std::uint32_t ahead : {0u, 8u, 40u, 2048u}) {
    const std::uint32_t in =
        ring.size - 25 * 4096 +
        static_cast<std::uint32_t>((ahead + 318 + 4096 - ring_page_offset) % 4096);
    ring.in.store(in);
    ring.out.store(in);
    std::int32_t groups = 0;
    EXPECT_EQ(KR2270_DFRRead(device.get(), 0, 90000, &groups), 0);
    EXPECT_EQ(groups, 90000);
    EXPECT_EQ(TakeRing(device.get()), StreamBytes(0, 360000)) << ahead;
  }
}

TEST(RecordingReader, UnsoundHeadersAreRefusedAndLeaveTheSettingsAlone) {
  TempDir dir;
  Settings s = FourByteGroups();
  std::vector<Bytes> headers;
  Bytes bad_magic = HeaderOf(s);
  bad_magic[3] = '1';
  headers.push_back(bad_magic);
  for (int version = 2; version <= 255; ++version) {
    headers.push_back(HeaderOf(s));
    headers.back()[4] = static_cast<std::uint8_t>(version);
  }
  for (std::uint8_t width : {0, 3, 255}) {
    s.ad_code_bytes = width;
    headers.push_back(HeaderOf(s));
  }
  s.ad_code_bytes = 4;
  for (std::size_t cut : {0, 1, 4, 5, 100, 309, 317}) {
    headers.push_back(HeaderOf(s));
    headers.back().resize(cut);
  }
  headers.push_back(V0HeaderOf(s));
  headers.back().resize(309);

  DevicePtr device = NewDevice();
  const Bytes before = HeaderOf(device->settings);
  for (std::size_t i = 0; i < headers.size(); ++i) {
    // Distinct names: rewriting one file would make the file system flush it.
    const std::string path = dir.path + "/bad" + std::to_string(i) + "_1.dat";
    WriteFile(path, headers[i], {});
    EXPECT_EQ(KR2270_DFROpen(device.get(), path.c_str(), 0), -203) << i;
    EXPECT_EQ(HeaderOf(device->settings), before) << i;
    EXPECT_EQ(KR2270_DFRGetGroupTotal(device.get(), nullptr, nullptr), -203);  // attached
  }
}

TEST(RecordingReader, OpenResults) {
  TempDir dir;
  const std::string chain = MakeChain(dir.path, {40}, HeaderOf(FourByteGroups()));
  const std::string single = dir.path + "/recording.dat";
  WriteFile(single, HeaderOf(FourByteGroups()), StreamBytes(0, 40));
  const std::string missing = dir.path + "/rec_9.dat";
  DevicePtr device = NewDevice();
  const struct {
    Device* device;
    const char* path;
    std::int32_t length;
    std::int32_t result;
  } cases[] = {
      {nullptr, chain.c_str(), 0, -1},
      {device.get(), nullptr, 0, -1},
      {device.get(), chain.c_str(), -1, -1},
      {device.get(), missing.c_str(), 0, -201},
      {device.get(), dir.path.c_str(), 0, -201},
      {device.get(), single.c_str(), 0, 0},  // no "_": a recording of one file
      {device.get(), chain.c_str(), static_cast<std::int32_t>(chain.size()), 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(KR2270_DFROpen(c.device, c.path, c.length), c.result) << (c.path ? c.path : "null");
  }
  EXPECT_EQ(GroupTotal(device.get()), 10);
  // A device with a command connection does not play back.
  device->cmd.socket = 1000;
  EXPECT_EQ(KR2270_DFROpen(device.get(), chain.c_str(), 0), -1);
  device->cmd.socket = platform::kNoSocket;
}

TEST(RecordingReader, HeaderWithoutChannelsHoldsNoGroups) {
  TempDir dir;
  Settings s = FourByteGroups();
  s.ad_enabled[0] = 0;
  const std::string path = MakeChain(dir.path, {400}, HeaderOf(s));
  DevicePtr device = NewDevice();
  ASSERT_EQ(KR2270_DFROpen(device.get(), path.c_str(), 0), 0);
  double groups = -1, seconds = -1;
  EXPECT_EQ(KR2270_DFRGetGroupTotal(device.get(), &groups, &seconds), 0);
  EXPECT_EQ(groups, 0.0);
  EXPECT_EQ(seconds, 0.0);
  std::int32_t read = -1;
  EXPECT_EQ(KR2270_DFRRead(device.get(), 0, 10, &read), 0);
  EXPECT_EQ(read, 0);
  EXPECT_EQ(FifoFilled(device->stream_fifo), 0u);
}

TEST(RecordingReader, RateAndDurationComeFromTheRecordedRateCode) {
  TempDir dir;
  const struct {
    std::int32_t rate_code;
    double rate;
    std::int32_t result;
  } cases[] = {{56, 8000.0, 0}, {16, 16000.0, 0}, {48, 1000.0, 0}, {7, 0.0, -1}};
  for (const auto& c : cases) {
    TempDir sub;
    const std::string path = MakeChain(sub.path, {4000}, HeaderOf(FourByteGroups(c.rate_code)));
    DevicePtr device = NewDevice();
    ASSERT_EQ(KR2270_DFROpen(device.get(), path.c_str(), 0), 0);
    double rate = -1, groups = -1, seconds = -1;
    EXPECT_EQ(KR2270_DFRGetFreq(device.get(), &rate), c.result);
    EXPECT_EQ(rate, c.rate);
    EXPECT_EQ(KR2270_DFRGetGroupTotal(device.get(), &groups, &seconds), 0);
    EXPECT_EQ(groups, 1000.0);
    EXPECT_EQ(seconds, c.rate > 0 ? 1000.0 / c.rate : std::numeric_limits<double>::infinity());
    EXPECT_EQ(KR2270_DFRGetFreq(device.get(), nullptr), 0);
  }
}

TEST(RecordingReader, AccessorsReturnTheRecordedSettings) {
  TempDir dir;
  Settings s = FourByteGroups();
  for (int k = 0; k < 8; ++k) {
    s.ad_range[k] = static_cast<std::uint8_t>(k);
    s.ad_end_mode[k] = static_cast<std::uint8_t>(k == 3 ? 0xFF : k);
    s.ad_zero_code[k] = -k;
    s.ad_full_code[k] = 1000 * k;
  }
  s.ad_sleep[0] = -1;
  s.ad_sleep[1] = 1;
  s.ct_in_fifo[2] = 1;
  s.ct_mode[1] = -7;
  s.ct_freq_base[3] = 2.5;
  s.ec_in_fifo[1] = 1;
  s.di_in_fifo = 1;
  s.trigger_enable = 1;
  s.trigger_mode = 0xFE;
  s.trigger_count = 123456;
  const std::string path = MakeChain(dir.path, {400}, HeaderOf(s));
  DevicePtr device = NewDevice();
  Device* d = device.get();
  ASSERT_EQ(KR2270_DFROpen(d, path.c_str(), 0), 0);

  std::uint8_t u8[8];
  std::int8_t i8[4];
  std::int32_t a[8], b[8];
  double f[4];
  EXPECT_EQ(KR2270_DFRGetAdInFifo(d, u8), 0);
  EXPECT_EQ(Bytes(u8, u8 + 8), Bytes({1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(KR2270_DFRGetCtInFifo(d, u8), 0);
  EXPECT_EQ(Bytes(u8, u8 + 4), Bytes({0, 0, 1, 0}));
  EXPECT_EQ(KR2270_DFRGetEcInFifo(d, u8), 0);
  EXPECT_EQ(Bytes(u8, u8 + 2), Bytes({0, 1}));
  EXPECT_EQ(KR2270_DFRGetDiInFifo(d, u8), 0);
  EXPECT_EQ(u8[0], 1);
  EXPECT_EQ(KR2270_DFRGetRange(d, u8), 0);
  EXPECT_EQ(Bytes(u8, u8 + 8), Bytes({0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(KR2270_DFRGetTri(d, a, b), 0);
  EXPECT_EQ(a[0], 1);
  EXPECT_EQ(b[0], -2);
  EXPECT_EQ(KR2270_DFRGetTriCount(d, a), 0);
  EXPECT_EQ(a[0], 123456);
  EXPECT_EQ(KR2270_DFRCtGetFreqBase(d, f), 0);
  EXPECT_EQ(f[3], 2.5);
  EXPECT_EQ(f[0], 1000.0);
  EXPECT_EQ(KR2270_DFRCtGetModeAll(d, i8), 0);
  EXPECT_EQ(i8[1], -7);
  EXPECT_EQ(KR2270_DFRAdReadZeroFull(d, a, b), 0);
  EXPECT_EQ(a[7], -7);
  EXPECT_EQ(b[7], 7000);
  EXPECT_EQ(KR2270_DFRAdGetEndMode(d, a), 0);
  EXPECT_EQ(a[3], -1);
  EXPECT_EQ(a[4], 4);
  EXPECT_EQ(KR2270_DFRAdGetSleep(d, a), 0);
  EXPECT_EQ(a[0], -1);
  EXPECT_EQ(a[1], 1);

  // Null destinations: the two groups of accessors answer differently.
  const struct {
    const char* name;
    std::function<std::int32_t(Device*)> call;
    std::int32_t result;
  } nulls[] = {
      {"AdInFifo", [](Device* x) { return KR2270_DFRGetAdInFifo(x, nullptr); }, 0},
      {"CtInFifo", [](Device* x) { return KR2270_DFRGetCtInFifo(x, nullptr); }, 0},
      {"EcInFifo", [](Device* x) { return KR2270_DFRGetEcInFifo(x, nullptr); }, 0},
      {"DiInFifo", [](Device* x) { return KR2270_DFRGetDiInFifo(x, nullptr); }, 0},
      {"ZeroFull", [&](Device* x) { return KR2270_DFRAdReadZeroFull(x, a, nullptr); }, 0},
      {"EndMode", [](Device* x) { return KR2270_DFRAdGetEndMode(x, nullptr); }, 0},
      {"Sleep", [](Device* x) { return KR2270_DFRAdGetSleep(x, nullptr); }, 0},
      {"Range", [](Device* x) { return KR2270_DFRGetRange(x, nullptr); }, -1},
      {"Tri", [&](Device* x) { return KR2270_DFRGetTri(x, a, nullptr); }, -1},
      {"TriCount", [](Device* x) { return KR2270_DFRGetTriCount(x, nullptr); }, -1},
      {"FreqBase", [](Device* x) { return KR2270_DFRCtGetFreqBase(x, nullptr); }, -1},
      {"ModeAll", [](Device* x) { return KR2270_DFRCtGetModeAll(x, nullptr); }, -1},
  };
  for (const auto& n : nulls) {
    EXPECT_EQ(n.call(d), n.result) << n.name;
    EXPECT_EQ(n.call(nullptr), -1) << n.name;
  }
  // Without a reader everything answers -1; the loaded settings stay.
  EXPECT_EQ(KR2270_DFRClose(d), 0);
  EXPECT_EQ(KR2270_DFRClose(d), -1);
  EXPECT_EQ(d->settings.trigger_count, 123456);
  EXPECT_EQ(KR2270_DFRGetAdInFifo(d, u8), -1);
  EXPECT_EQ(KR2270_DFRRead(d, 0, 1, nullptr), -1);
  EXPECT_EQ(KR2270_DFRGetGroupTotal(d, nullptr, nullptr), -1);
  EXPECT_EQ(KR2270_DFRGetFreq(d, f), -1);
}

TEST(RecordingReader, FileThatShrankGivesAShortReadWithItsText) {
  TempDir dir;
  const std::string path = MakeChain(dir.path, {400, 400, 400}, HeaderOf(FourByteGroups()));
  DevicePtr device = NewDevice();
  ASSERT_EQ(KR2270_DFROpen(device.get(), path.c_str(), 0), 0);
  fs::resize_file(dir.path + "/rec_2.dat", 318 + 201);
  testing::internal::CaptureStderr();
  std::int32_t groups = 0;
  EXPECT_EQ(KR2270_DFRRead(device.get(), 0, 300, &groups), -203);
  const std::string text = testing::internal::GetCapturedStderr();
  EXPECT_EQ(groups, 150);  // 100 + 50 whole groups of the 201 bytes left in _2
  EXPECT_EQ(TakeRing(device.get()), StreamBytes(0, 600));
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(KR2270_DFRRead(device.get(), 250, 10, &groups), -203);  // sticky
  EXPECT_EQ(groups, 10);
}

TEST(RecordingReader, PositionsBeyondFourGiBAreReached) {
  TempDir dir;
  const std::int64_t big = (std::int64_t{5} << 30) + 12;  // sparse: costs no disk
  WriteFile(dir.path + "/rec_1.dat", HeaderOf(FourByteGroups()), {});
  std::error_code error;
  fs::resize_file(dir.path + "/rec_1.dat", static_cast<std::uintmax_t>(318 + big), error);
  if (error) GTEST_SKIP() << "no sparse files here: " << error.message();
  WriteFile(dir.path + "/rec_2.dat", HeaderOf(FourByteGroups()), StreamBytes(0, 40));
  DevicePtr device = NewDevice();
  ASSERT_EQ(KR2270_DFROpen(device.get(), (dir.path + "/rec_1.dat").c_str(), 0), 0);
  EXPECT_EQ(GroupTotal(device.get()), static_cast<double>((big + 40) / 4));
  std::int32_t groups = 0;
  EXPECT_EQ(KR2270_DFRRead(device.get(), static_cast<double>(big / 4 - 2), 5, &groups), 0);
  EXPECT_EQ(groups, 5);
  Bytes expected(8, 0);
  const Bytes tail = StreamBytes(0, 12);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(TakeRing(device.get()), expected);
}

}  // namespace
}  // namespace kr2270
