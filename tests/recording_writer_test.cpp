// Recording writer: header layout, file names, rotation, and that no failure
// to reach the disk passes unnoticed.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>

#include "device/device.h"
#include "kr2270c.h"
#include "platform/platform.h"
#include "limited_child.h"
#include "temp_dir.h"
#include "recording/recording.h"

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

std::int32_t Append(Device* device, const Bytes& block) {
  std::lock_guard<std::mutex> hold(device->file_lock);
  return AppendRecording(device, block.data(), static_cast<std::int32_t>(block.size()));
}

// Byte p of the test stream; depends on the position so that any misplaced
// byte shows.
std::uint8_t StreamByte(std::size_t p) { return static_cast<std::uint8_t>(p * 131 + (p >> 8)); }
Bytes StreamBytes(std::size_t from, std::size_t count) {
  Bytes b(count);
  for (std::size_t i = 0; i < count; ++i) b[i] = StreamByte(from + i);
  return b;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The recording's data files; its sidecar (.json) is beside them.
std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() == ".dat") names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::uint32_t U32At(const Bytes& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t{b[at + 3]} << 24);
}
std::int32_t I32At(const Bytes& b, std::size_t at) {
  return static_cast<std::int32_t>(U32At(b, at));
}
double F64At(const Bytes& b, std::size_t at) {
  return std::bit_cast<double>(U32At(b, at) | (std::uint64_t{U32At(b, at + 4)} << 32));
}

std::string StampOf(std::time_t t) {
  std::tm local{};
  EXPECT_TRUE(platform::LocalTime(t, &local));
  char text[32];
  std::strftime(text, sizeof text, "%y-%m-%d-%H-%M-%S", &local);
  return text;
}

// Splits a first file's name "YY-MM-DD-hh-mm-ss[-N]_1.dat" into its time
// stamp and its "-N" part; false when it has another form.
bool SplitFirstName(const std::string& name, std::string* stamp, std::string* number) {
  const std::string tail = "_1.dat";
  if (name.size() < 17 + tail.size() ||
      name.compare(name.size() - tail.size(), tail.size(), tail) != 0) {
    return false;
  }
  *stamp = name.substr(0, 17);
  for (std::size_t i = 0; i < 17; ++i) {
    if (i % 3 == 2 ? (*stamp)[i] != '-' : !std::isdigit(static_cast<unsigned char>((*stamp)[i]))) {
      return false;
    }
  }
  *number = name.substr(17, name.size() - tail.size() - 17);
  if (number->empty()) return true;
  return number->size() >= 2 && (*number)[0] == '-' &&
         std::all_of(number->begin() + 1, number->end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

TEST(RecordingWriter, HeaderFieldsSitAtTheirOffsetsLittleEndian) {
  TempDir dir;
  DevicePtr device = NewDevice();
  Settings& s = device->stream_settings;  // the run's settings
  for (int k = 0; k < 8; ++k) {
    s.ad_enabled[k] = static_cast<std::uint8_t>(k % 3);
    s.ad_full_code[k] = 8000000 + 1001 * k;
    s.ad_zero_code[k] = -123456 - k;
    s.ad_span[k] = 2.5 * k + 0.125;
    s.ad_offset[k] = -0.75 * k;
    s.ad_range[k] = static_cast<std::uint8_t>(k + 1);
    s.ad_end_mode[k] = static_cast<std::uint8_t>(0x80 | k);
    s.ad_reserved[k] = 0x01020304 * (k + 1);
    s.ad_range_ex[k] = static_cast<std::uint8_t>(0xA0 + k);
  }
  s.ad_sleep[0] = -3;
  s.ad_sleep[1] = 7;
  const std::int8_t modes[4] = {-1, 2, 3, 4};
  const double bases[4] = {0.5, 1.25, 1000.0, 1e6};
  for (int k = 0; k < 4; ++k) {
    s.ct_in_fifo[k] = static_cast<std::uint8_t>(k & 1);
    s.ct_mode[k] = modes[k];
    s.ct_freq_base[k] = bases[k];
  }
  s.di_in_fifo = 1;
  s.ec_in_fifo[0] = 0;
  s.ec_in_fifo[1] = 1;
  s.trigger_reserved = 0xAB;
  s.trigger_enable = 1;
  s.trigger_mode = 3;
  s.trigger_count = -2;
  s.ad_code_bytes = 2;
  ASSERT_EQ(KR2270_DFWOpen(device.get(), dir.path.c_str(), 0), 0);
  s.rate_code = 56;  // the header holds the settings of the first block, not of the open
  const Bytes block = StreamBytes(0, 100);
  ASSERT_EQ(Append(device.get(), block), 0);
  ASSERT_EQ(KR2270_DFWClose(device.get()), 0);

  const Bytes f = ReadFile(device->writer.path);
  ASSERT_EQ(f.size(), 318u + block.size());
  EXPECT_EQ(std::string(f.begin(), f.begin() + 4), "2270");
  EXPECT_EQ(f[4], 1);
  for (std::size_t k = 0; k < 8; ++k) {
    const std::size_t c = 5 + 31 * k;
    EXPECT_EQ(f[c], s.ad_enabled[k]);
    EXPECT_EQ(I32At(f, c + 1), s.ad_full_code[k]);
    EXPECT_EQ(I32At(f, c + 5), s.ad_zero_code[k]);
    EXPECT_EQ(F64At(f, c + 9), s.ad_span[k]);
    EXPECT_EQ(F64At(f, c + 17), s.ad_offset[k]);
    EXPECT_EQ(f[c + 25], s.ad_range[k]);
    EXPECT_EQ(f[c + 26], s.ad_end_mode[k]);
    EXPECT_EQ(I32At(f, c + 27), s.ad_reserved[k]);
    EXPECT_EQ(f[310 + k], s.ad_range_ex[k]);
  }
  EXPECT_EQ(static_cast<std::int8_t>(f[253]), -3);
  EXPECT_EQ(f[254], 7);
  for (std::size_t k = 0; k < 4; ++k) {
    const std::size_t c = 255 + 10 * k;
    EXPECT_EQ(f[c], s.ct_in_fifo[k]);
    EXPECT_EQ(static_cast<std::int8_t>(f[c + 1]), modes[k]);
    EXPECT_EQ(F64At(f, c + 2), bases[k]);
  }
  EXPECT_EQ(f[295], 1);
  EXPECT_EQ(f[296], 0);
  EXPECT_EQ(f[297], 1);
  EXPECT_EQ(I32At(f, 298), 56);
  EXPECT_EQ(f[302], 0xAB);
  EXPECT_EQ(f[303], 1);
  EXPECT_EQ(f[304], 3);
  EXPECT_EQ(U32At(f, 305), 0xFFFFFFFEu);
  EXPECT_EQ(f[309], 2);
  EXPECT_EQ(Bytes(f.begin() + 318, f.end()), block);
}

TEST(RecordingWriter, FirstFileIsNamedFromTheLocalTimeWithOneSeparator) {
  const std::string native(1, platform::kPathSeparator);
  for (const std::string& trailer : {std::string(), std::string("/"), native}) {
    SCOPED_TRACE("trailer '" + trailer + "'");
    TempDir dir;
    const std::string text = dir.path + trailer;
    DevicePtr device = NewDevice();
    const std::time_t before = std::time(nullptr);
    ASSERT_EQ(KR2270_DFWOpen(device.get(), text.c_str(), 0), 0);
    const std::time_t after = std::time(nullptr);
    const std::string& path = device->writer.path;
    // A separator of the caller's is kept as it is; none is added to it.
    ASSERT_EQ(path.rfind(dir.path + (trailer.empty() ? native : trailer), 0), 0u) << path;
    const std::string name = path.substr(dir.path.size() + 1);
    std::string stamp, number;
    ASSERT_TRUE(SplitFirstName(name, &stamp, &number)) << name;
    EXPECT_TRUE(stamp == StampOf(before) || stamp == StampOf(after)) << name;
    EXPECT_EQ(number, "");
    EXPECT_EQ(fs::file_size(path), 0u);  // no header before the first block
    EXPECT_EQ(KR2270_DFWClose(device.get()), 0);
  }
}

TEST(RecordingWriter, OpenRefusesBadArguments) {
  TempDir dir;
  DevicePtr device = NewDevice();
  const std::string plain_file = dir.path + "/plain";
  WriteFile(plain_file, "x");
  const std::string missing = dir.path + "/missing";
  std::string padded = dir.path;
  padded.resize(259, '\0');
  const struct {
    Device* device;
    const char* text;
    std::int32_t length;
    std::int32_t result;
  } cases[] = {
      {nullptr, dir.path.c_str(), 0, -1},
      {device.get(), nullptr, 0, -1},
      {device.get(), dir.path.c_str(), -1, -201},
      {device.get(), padded.c_str(), 260, -201},  // too long even though the text is short
      {device.get(), padded.data(), 259, 0},
      {device.get(), missing.c_str(), 0, -201},
      {device.get(), plain_file.c_str(), 0, -201},
      {device.get(), "/proc", 0, -201},  // a directory nobody can create files in
  };
  for (const auto& c : cases) {
    EXPECT_EQ(KR2270_DFWOpen(c.device, c.text, c.length), c.result) << c.length;
  }
  EXPECT_EQ(KR2270_DFWClose(nullptr), -1);
}

TEST(RecordingWriter, RotatesAtTheLimitIntoAChainOfFiles) {
  TempDir dir;
  DevicePtr device = NewDevice();
  constexpr std::int32_t kLimit = 4096;
  constexpr std::size_t kBlock = 1000;
  constexpr std::size_t kBlocks = 30;
  SetRecordFileLimit(device.get(), kLimit);
  ASSERT_EQ(KR2270_DFWOpen(device.get(), dir.path.c_str(), 0), 0);
  const std::string first = device->writer.path;
  // The rule: a file is closed by the block that brings it to the limit.
  std::vector<std::size_t> blocks_per_file{0};
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < kBlocks; ++i) {
    ASSERT_EQ(Append(device.get(), StreamBytes(i * kBlock, kBlock)), 0);
    bytes += (bytes == 0 ? 318 : 0) + kBlock;
    ++blocks_per_file.back();
    if (bytes >= kLimit) {
      bytes = 0;
      blocks_per_file.push_back(0);
      // The next file exists at once, empty until a block arrives.
      EXPECT_EQ(fs::file_size(device->writer.path), 0u);
    }
  }
  std::int64_t info_bytes = 0;
  std::int32_t info_files = 0;
  EXPECT_EQ(KR2270_DFWGetInfo(device.get(), &info_bytes, &info_files), 0);
  ASSERT_EQ(KR2270_DFWClose(device.get()), 0);

  ASSERT_GE(blocks_per_file.size(), 5u);
  EXPECT_EQ(FilesIn(dir.path).size(), blocks_per_file.size());
  EXPECT_EQ(info_files, static_cast<std::int32_t>(blocks_per_file.size()));
  std::string path = first;
  std::size_t position = 0;
  std::int64_t on_disk = 0;
  for (std::size_t n : blocks_per_file) {
    const Bytes f = ReadFile(path);
    on_disk += static_cast<std::int64_t>(f.size());
    ASSERT_EQ(f.size(), n == 0 ? 0 : 318 + n * kBlock) << path;
    if (n > 0) {
      EXPECT_EQ(std::string(f.begin(), f.begin() + 5), std::string("2270\x01"));
      EXPECT_EQ(Bytes(f.begin() + 318, f.end()), StreamBytes(position, n * kBlock)) << path;
    }
    position += n * kBlock;
    ASSERT_TRUE(NextRecordingFileName(&path, nullptr));
  }
  EXPECT_EQ(position, kBlocks * kBlock);
  EXPECT_EQ(info_bytes, on_disk);
}

TEST(RecordingWriter, NextFileNameTakesTheNumberAfterTheLastUnderscore) {
  const struct {
    std::string path;
    std::string next;  // empty: no name can be formed
  } cases[] = {
      {"/d/26-12-06-14-05-09_1.dat", "/d/26-12-06-14-05-09_2.dat"},
      {"/d_7/26-12-06-14-05-09-2_9.dat", "/d_7/26-12-06-14-05-09-2_10.dat"},
      {"rec_41", "rec_42.dat"},
      {"/d_5/recording.dat", ""},  // the "_" of a directory is not the file's
      {"recording.dat", ""},
      {"rec_.dat", ""},
      {"rec_-3.dat", ""},
      {"rec_99999999999999999999999.dat", ""},
  };
  for (const auto& c : cases) {
    std::string path = c.path;
    std::int32_t status = 0;
    EXPECT_EQ(NextRecordingFileName(&path, &status), !c.next.empty()) << c.path;
    EXPECT_EQ(path, c.next.empty() ? c.path : c.next);
    EXPECT_EQ(status, c.next.empty() ? -201 : 0) << c.path;
  }
}

// Windows paths: in C:\rec_1\x.dat the "_" is a directory's, whichever separator.
TEST(RecordingWriter, NextFileNameHonoursTheNativeSeparator) {
  const std::string native(1, platform::kPathSeparator);
  for (const std::string& sep : {std::string("/"), native}) {
    SCOPED_TRACE("separator '" + sep + "'");
    std::string path = "C:" + sep + "rec_1" + sep + "x.dat";
    std::int32_t status = 0;
    EXPECT_FALSE(NextRecordingFileName(&path, &status)) << path;
    EXPECT_EQ(status, -201);
    path = "C:" + native + "rec_1" + sep + "run_3.dat";
    ASSERT_TRUE(NextRecordingFileName(&path, nullptr));
    EXPECT_EQ(path, "C:" + native + "rec_1" + sep + "run_4.dat");
  }
}

TEST(RecordingWriter, OpensWithinOneSecondNeverTruncateAnEarlierRecording) {
  TempDir dir;
  // Files of the names the next seconds would give, as if recorded just now.
  const std::time_t now = std::time(nullptr);
  std::vector<std::string> taken;
  for (std::time_t t = now; t < now + 5; ++t) {
    taken.push_back(dir.path + "/" + StampOf(t) + "_1.dat");
    WriteFile(taken.back(), "earlier recording");
  }
  DevicePtr device = NewDevice();
  ASSERT_EQ(KR2270_DFWOpen(device.get(), dir.path.c_str(), 0), 0);
  const std::time_t opened_by = std::time(nullptr);
  const std::string path = device->writer.path;
  EXPECT_EQ(std::find(taken.begin(), taken.end(), path), taken.end());
  std::string stamp, number;
  ASSERT_TRUE(SplitFirstName(fs::path(path).filename().string(), &stamp, &number)) << path;
  if (opened_by < now + 5) {  // the open's own second was taken
    EXPECT_EQ(number, "-2");
  }
  ASSERT_EQ(Append(device.get(), StreamBytes(0, 64)), 0);
  // A second open closes the first recording, which is then complete on disk.
  ASSERT_EQ(KR2270_DFWOpen(device.get(), dir.path.c_str(), 0), 0);
  EXPECT_NE(device->writer.path, path);
  EXPECT_EQ(fs::file_size(path), 318u + 64u);
  for (const std::string& earlier : taken) {
    const Bytes f = ReadFile(earlier);
    EXPECT_EQ(std::string(f.begin(), f.end()), "earlier recording");
  }
}

TEST(RecordingWriter, RotationOntoAForeignFileStopsAndIsReported) {
  TempDir dir;
  DevicePtr device = NewDevice();
  SetRecordFileLimit(device.get(), 1000);
  ASSERT_EQ(KR2270_DFWOpen(device.get(), dir.path.c_str(), 0), 0);
  std::string second = device->writer.path;
  ASSERT_TRUE(NextRecordingFileName(&second, nullptr));
  WriteFile(second, "not ours");
  EXPECT_EQ(Append(device.get(), StreamBytes(0, 2000)), -201);
  EXPECT_EQ(Append(device.get(), StreamBytes(0, 10)), -1);  // recording is off
  // No next file: reported as such, not as a short write.
  EXPECT_EQ(KR2270_DFWGetInfo(device.get(), nullptr, nullptr), -201);
  EXPECT_EQ(KR2270_DFWClose(device.get()), -201);
  const Bytes f = ReadFile(second);
  EXPECT_EQ(std::string(f.begin(), f.end()), "not ours");
  // A new recording starts with a clean record.
  ASSERT_EQ(KR2270_DFWOpen(device.get(), dir.path.c_str(), 0), 0);
  EXPECT_EQ(KR2270_DFWClose(device.get()), 0);
}

// Runs a recording in a child process whose files may not grow beyond
// file_size_limit bytes; returns what the child saw.
struct LimitedRun {
  std::int32_t failed_append = -1;  // index of the append that returned non-zero
  std::int32_t append_status = 0;
  std::int32_t later_append = 0;
  std::int32_t close_status = 0;
  std::int32_t info_status = 0;
  std::int32_t field_status = 0;
};

LimitedRun RecordWithFileSizeLimit(const std::string& dir, std::int64_t file_size_limit,
                                   std::size_t block_bytes, int blocks) {
  std::string reported;
  const bool ran = test::RunWithFileSizeLimit(
      file_size_limit,
      [&] {
        LimitedRun run;
        Device* device = KR2270_DeviceCreate();
        if (device != nullptr && KR2270_DFWOpen(device, dir.c_str(), 0) == 0) {
          for (int i = 0; i < blocks && run.failed_append < 0; ++i) {
            const std::int32_t status = Append(device, StreamBytes(i * block_bytes, block_bytes));
            if (status != 0) run = {i, status, 0, 0, 0, 0};
          }
          run.later_append = Append(device, StreamBytes(0, block_bytes));
          // As an application notes its run's end: this flushes the file too.
          run.field_status = KR2270_DFWSetField(device, "end", "\"done\"");
          run.info_status = KR2270_DFWGetInfo(device, nullptr, nullptr);
          run.close_status = KR2270_DFWClose(device);
        }
        KR2270_DeviceClose(device);
        return std::string(reinterpret_cast<const char*>(&run), sizeof run);
      },
      &reported);
  EXPECT_TRUE(ran);
  LimitedRun run;
  EXPECT_EQ(reported.size(), sizeof run);
  if (reported.size() == sizeof run) std::memcpy(&run, reported.data(), sizeof run);
  return run;
}

TEST(RecordingWriter, FullDiskStopsTheRecordingAndTheClosingReportsIt) {
  if (!test::CanLimitFileSize())
    GTEST_SKIP() << "needs a per-process file size limit to fake a full disk; Windows has none";
  TempDir dir;
  constexpr std::int64_t kLimit = 318 + 100000 + 7;  // ends inside a group
  const LimitedRun run = RecordWithFileSizeLimit(dir.path, kLimit, 4096, 1000);
  EXPECT_GT(run.failed_append, 0);  // buffered: the disk is full only at a flush
  EXPECT_EQ(run.append_status, -202);
  EXPECT_EQ(run.later_append, -1);
  EXPECT_EQ(run.info_status, -202);
  EXPECT_EQ(run.close_status, -202);

  const std::vector<std::string> files = FilesIn(dir.path);
  ASSERT_EQ(files.size(), 1u);
  const std::string path = dir.path + "/" + files[0];
  EXPECT_EQ(fs::file_size(path), static_cast<std::uintmax_t>(kLimit));
  DevicePtr device = NewDevice();
  ASSERT_EQ(KR2270_DFROpen(device.get(), path.c_str(), 0), 0);
  const std::int32_t group = 32;  // default layout: eight 4-byte codes
  std::int32_t groups = 0;
  EXPECT_EQ(KR2270_DFRRead(device.get(), 0, 1 << 20, &groups), 0);
  EXPECT_EQ(groups, 100000 / group);
  Bytes played(static_cast<std::size_t>(groups * group));
  ASSERT_EQ(FifoGet(device->stream_fifo, played.data(), static_cast<std::uint32_t>(played.size())),
            played.size());
  EXPECT_EQ(played, StreamBytes(0, played.size()));
}

TEST(RecordingWriter, AFlushTheDiskRefusesStopsTheRecordingThere) {
  if (!test::CanLimitFileSize())
    GTEST_SKIP() << "needs a per-process file size limit to fake a full disk; Windows has none";
  TempDir dir;
  // The first block's groups flush the file before its sidecar is written;
  // the disk takes only part of that flush, and stdio drops the rest.
  constexpr std::int64_t kLimit = 318 + 1000;
  const LimitedRun run = RecordWithFileSizeLimit(dir.path, kLimit, 4096, 3);
  EXPECT_EQ(run.failed_append, 0);
  EXPECT_EQ(run.append_status, -202);
  EXPECT_EQ(run.later_append, -1);
  EXPECT_LT(run.field_status, 0);
  EXPECT_EQ(run.info_status, -202);
  EXPECT_EQ(run.close_status, -202);
  const std::vector<std::string> files = FilesIn(dir.path);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(fs::file_size(dir.path + "/" + files[0]), static_cast<std::uintmax_t>(kLimit));
}

TEST(RecordingWriter, FileThatCannotHoldItsHeaderIsNeverTakenForARecording) {
  if (!test::CanLimitFileSize())
    GTEST_SKIP() << "needs a per-process file size limit to fake a full disk; Windows has none";
  TempDir dir;
  // A block larger than the write buffer forces the header out at once.
  const LimitedRun run = RecordWithFileSizeLimit(dir.path, 100, std::size_t{2} << 20, 1);
  EXPECT_EQ(run.failed_append, 0);
  EXPECT_EQ(run.append_status, -202);
  EXPECT_EQ(run.close_status, -202);
  const std::vector<std::string> files = FilesIn(dir.path);
  ASSERT_EQ(files.size(), 1u);
  DevicePtr device = NewDevice();
  EXPECT_EQ(KR2270_DFROpen(device.get(), (dir.path + "/" + files[0]).c_str(), 0), -203);
}

TEST(RecordingWriter, DeviceCloseCompletesAnOpenRecording) {
  TempDir dir;
  DevicePtr device = NewDevice();
  ASSERT_EQ(KR2270_DFWOpen(device.get(), dir.path.c_str(), 0), 0);
  ASSERT_EQ(Append(device.get(), StreamBytes(0, 500)), 0);
  const std::string path = device->writer.path;
  device.reset();
  EXPECT_EQ(fs::file_size(path), 318u + 500u);
}

}  // namespace
}  // namespace kr2270
