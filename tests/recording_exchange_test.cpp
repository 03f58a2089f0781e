// Recordings are a file format users carry between machines: the same stream
// and settings must give the same bytes on every build, and every build must
// replay what another wrote. With KR2270_EXCHANGE_DIR set, the recording is
// written there under this build's name and every recording found there is
// replayed (a script runs the builds in turn and compares their files);
// without it, one build writes and replays its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "device/device.h"
#include "kr2270c.h"
#include "platform/platform.h"
#include "recording/recording.h"
#include "acquisition/stream_fifo.h"
#include "temp_dir.h"

namespace kr2270 {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::int32_t kGroupBytes = 32;  // the default layout: eight 4-byte codes
constexpr std::int32_t kFileLimit = 5000;  // a new file after the block that crosses it
constexpr std::size_t kStreamBytes = 32 * 750;

struct DeviceCloser {
  void operator()(Device* d) const { KR2270_DeviceClose(d); }
};
using DevicePtr = std::unique_ptr<Device, DeviceCloser>;

// Depends on the position, so that a byte out of place shows.
Bytes Stream() {
  Bytes b(kStreamBytes);
  for (std::size_t i = 0; i < b.size(); ++i)
    b[i] = static_cast<std::uint8_t>((i * 131 + (i >> 8) * 7) & 0xFF);
  return b;
}

// Settings away from their defaults (the stream layout kept), doubles with bits
// in every byte among them, so that a field out of place or of another width shows.
void SetUnusualSettings(Settings& s) {
  for (int k = 0; k < 8; ++k) {
    s.ad_full_code[k] = 8000000 + 1001 * k;
    s.ad_zero_code[k] = -123456 - k;
    s.ad_span[k] = 2.5 * k + 0.1;
    s.ad_offset[k] = -0.7 * k;
    s.ad_range[k] = static_cast<std::uint8_t>(k + 1);
  }
  s.ct_freq_base[2] = 1.0 / 3.0;
  s.rate_code = 20;
}

// Writes the recording into dir; returns the path of its first file.
std::string WriteRecording(const std::string& dir) {
  DevicePtr device(KR2270_DeviceCreate());
  SetUnusualSettings(device->stream_settings);  // the run's settings go into the header
  EXPECT_EQ(KR2270_DFWOpen(device.get(), dir.c_str(), 0), 0);
  SetRecordFileLimit(device.get(), kFileLimit);
  const std::string first = device->writer.path;
  const Bytes stream = Stream();
  // Uneven blocks, as the receiver hands them over.
  for (std::size_t at = 0, n = 1; at < stream.size(); at += n, n = n * 7 % 1031 + 1) {
    n = std::min(n, stream.size() - at);
    std::lock_guard<std::mutex> hold(device->file_lock);
    EXPECT_EQ(AppendRecording(device.get(), stream.data() + at, static_cast<std::int32_t>(n)), 0);
  }
  EXPECT_EQ(KR2270_DFWClose(device.get()), 0);
  return first;
}

// Every file of the recording whose first file is first, in chain order.
std::vector<Bytes> ChainBytes(const std::string& first) {
  std::vector<Bytes> files;
  const std::string stem = first.substr(0, first.size() - std::string("1.dat").size());
  for (int n = 1;; ++n) {
    std::ifstream in(stem + std::to_string(n) + ".dat", std::ios::binary);
    if (!in) break;
    files.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return files;
}

// Replays the recording and checks that the stream and the settings come back.
void ExpectReplaysExactly(const std::string& first) {
  SCOPED_TRACE(first);
  DevicePtr device(KR2270_DeviceCreate());
  ASSERT_EQ(KR2270_DFROpen(device.get(), first.c_str(), 0), 0);
  double groups = 0;
  ASSERT_EQ(KR2270_DFRGetGroupTotal(device.get(), &groups, nullptr), 0);
  EXPECT_EQ(groups, static_cast<double>(kStreamBytes / kGroupBytes));
  std::int32_t read = 0;
  ASSERT_EQ(KR2270_DFRRead(device.get(), 0, static_cast<std::int32_t>(groups), &read), 0);
  ASSERT_EQ(read, static_cast<std::int32_t>(groups));
  Bytes played(kStreamBytes);
  ASSERT_EQ(FifoGet(device->stream_fifo, played.data(), static_cast<std::uint32_t>(played.size())),
            played.size());
  EXPECT_TRUE(played == Stream());
  DevicePtr expected(KR2270_DeviceCreate());
  Settings& want = expected->settings;
  SetUnusualSettings(want);
  for (int k = 0; k < 8; ++k) {
    EXPECT_EQ(device->settings.ad_range[k], want.ad_range[k]) << k;
    EXPECT_EQ(device->settings.ad_span[k], want.ad_span[k]) << k;
    EXPECT_EQ(device->settings.ad_offset[k], want.ad_offset[k]) << k;
    EXPECT_EQ(device->settings.ad_zero_code[k], want.ad_zero_code[k]) << k;
  }
  EXPECT_EQ(device->settings.ct_freq_base[2], want.ct_freq_base[2]);
  EXPECT_EQ(device->settings.rate_code, want.rate_code);
}

std::string BuildName() { return platform::kPathSeparator == '\\' ? "windows" : "posix"; }

TEST(RecordingExchange, EveryBuildWritesTheSameBytesAndReplaysEveryOther) {
  const char* exchange = std::getenv("KR2270_EXCHANGE_DIR");
  test::TempDir scratch;
  const std::string root = exchange != nullptr ? exchange : scratch.path;
  const std::string mine = (fs::path(root) / BuildName()).string();
  fs::remove_all(mine);
  ASSERT_TRUE(fs::create_directories(mine));
  const std::string first = WriteRecording(mine);
  const std::vector<Bytes> chain = ChainBytes(first);
  ASSERT_GE(chain.size(), 4u) << "the file limit makes a chain";

  int others = 0;
  for (const auto& build : fs::directory_iterator(root)) {
    std::vector<fs::path> firsts;
    for (const auto& file : fs::directory_iterator(build.path()))
      if (file.path().filename().string().ends_with("_1.dat")) firsts.push_back(file.path());
    ASSERT_EQ(firsts.size(), 1u) << build.path();
    ExpectReplaysExactly(firsts[0].string());
    if (build.path().filename() == BuildName()) continue;
    ++others;
    // The other build's files, file by file, are this build's.
    EXPECT_TRUE(ChainBytes(firsts[0].string()) == chain) << build.path();
  }
  if (exchange != nullptr) std::printf("compared with %d other build(s)\n", others);
}

}  // namespace
}  // namespace kr2270
