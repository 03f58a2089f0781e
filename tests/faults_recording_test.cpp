// Recordings under failure: the file system refusing the n-th byte at every
// point of a short rotating recording, files truncated at every length,
// headers cut at every offset, reads across several files, odd start values,
// and a recording opened while the stream runs. The rule: what the reader
// plays is exactly the data on disk, a prefix of what the receiver handed
// over, and a recording that lost anything says so (-202) by its close.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "../fuzz/oracles.h"
#include "../fuzz/stream_check.h"
#include "acquisition/stream_fifo.h"
#include "device/device.h"
#include "kr2270c.h"
#include "temp_dir.h"
#include "recording/recording.h"
#include "sim/simulator.h"

namespace kr2270 {
namespace {

namespace fs = std::filesystem;
using oracle::Bytes;
constexpr std::size_t kHeader = oracle::kHeaderV1;
constexpr std::size_t kGroup = 32;  // the default layout: eight 4-byte codes

using test::TempDir;

// Byte p of the recorded stream: depends on the position, so a byte out of
// place shows.
std::uint8_t StreamByte(std::uint64_t p) {
  std::uint64_t x = (p + 1) * 0x9E3779B97F4A7C15ull;
  return static_cast<std::uint8_t>((x ^ (x >> 31)) >> 24);
}
Bytes Stream(std::uint64_t from, std::size_t count) {
  Bytes b(count);
  for (std::size_t i = 0; i < count; ++i) b[i] = StreamByte(from + i);
  return b;
}

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
void WriteFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The files of the recording in chain order: <stem>_1.dat, _2.dat, ... up to
// the first number missing.
std::vector<fs::path> Chain(const fs::path& dir) {
  std::string first;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 6 && name.substr(name.size() - 6) == "_1.dat") first = name;
  }
  std::vector<fs::path> chain;
  if (first.empty()) return chain;
  const std::string stem = first.substr(0, first.size() - 6);
  for (int n = 1; fs::exists(dir / (stem + "_" + std::to_string(n) + ".dat")); ++n) {
    chain.push_back(dir / (stem + "_" + std::to_string(n) + ".dat"));
  }
  return chain;
}

// The recording's data as it lies on disk: each file's bytes after the
// first file's header length, joined in chain order.
Bytes DataOnDisk(const std::vector<fs::path>& chain, std::size_t header) {
  Bytes data;
  for (const fs::path& file : chain) {
    const Bytes bytes = ReadFile(file);
    if (bytes.size() > header) data.insert(data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(header), bytes.end());
  }
  return data;
}

// Plays the whole recording through the reader into the handle's ring and
// takes it out again.
struct Played {
  std::int32_t open = 0;
  std::int32_t read = 0;
  double total = -1;
  Bytes bytes;
};
Played PlayAll(const fs::path& first_file) {
  Played p;
  Device* device = KR2270_DeviceCreate();
  p.open = KR2270_DFROpen(device, first_file.c_str(), 0);
  if (p.open == 0) {
    KR2270_DFRGetGroupTotal(device, &p.total, nullptr);
    const auto group = static_cast<std::size_t>(KR2270_HcGetGroupBc(device));
    for (double start = 0;;) {
      std::int32_t got = 0;
      p.read = KR2270_DFRRead(device, start, 1000, &got);
      if (got <= 0) break;
      Bytes chunk(static_cast<std::size_t>(got) * group);
      FifoGet(device->stream_fifo, chunk.data(), static_cast<std::uint32_t>(chunk.size()));
      p.bytes.insert(p.bytes.end(), chunk.begin(), chunk.end());
      start += got;
    }
    KR2270_DFRClose(device);
  }
  KR2270_DeviceClose(device);
  return p;
}

std::int32_t Append(Device* device, const Bytes& block) {
  std::lock_guard<std::mutex> hold(device->file_lock);
  if (device->writer.file == nullptr) return -1;  // the receiver stops calling it
  return AppendRecording(device, block.data(), static_cast<std::int32_t>(block.size()));
}

// Blocks of a short recording: sizes that are not multiples of the group.
std::vector<std::size_t> BlockSizes() {
  std::mt19937 random(3);
  std::vector<std::size_t> sizes;
  for (int i = 0; i < 30; ++i) sizes.push_back(37 + random() % 400);
  return sizes;
}

// Records the blocks with rotation every `rotate` bytes; returns the stream
// bytes handed over.
std::size_t Record(Device* device, const fs::path& dir, std::int32_t rotate,
                   const std::vector<std::size_t>& sizes, std::vector<std::int32_t>* statuses) {
  SetRecordFileLimit(device, rotate);
  if (KR2270_DFWOpen(device, dir.c_str(), 0) != 0) return 0;
  std::size_t at = 0;
  for (std::size_t size : sizes) {
    statuses->push_back(Append(device, Stream(at, size)));
    at += size;
  }
  return at;
}

// --- the file system refusing bytes at every point ----------------------------

struct ChildRun {
  std::int32_t first_failure = -1;  // index of the first append that failed
  std::int32_t failure_status = 0;
  std::int32_t info_status = 0;
  std::int32_t close_status = 0;
  std::int64_t handed_over = 0;
};

// Runs the recording in a child whose files may not grow beyond `limit`
// bytes (RLIMIT_FSIZE: writes beyond fail with EFBIG), so that every write,
// flush, rotation and close meets the limit somewhere.
ChildRun RecordUnderFileSizeLimit(const fs::path& dir, rlim_t limit, std::int32_t rotate) {
  int channel[2];
  EXPECT_EQ(pipe(channel), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    signal(SIGXFSZ, SIG_IGN);
    const rlimit rl{limit, limit};
    ChildRun run;
    Device* device = KR2270_DeviceCreate();
    if (setrlimit(RLIMIT_FSIZE, &rl) == 0 && device != nullptr) {
      std::vector<std::int32_t> statuses;
      run.handed_over = static_cast<std::int64_t>(Record(device, dir, rotate, BlockSizes(), &statuses));
      for (std::size_t i = 0; i < statuses.size(); ++i) {
        if (statuses[i] != 0 && run.first_failure < 0) {
          run.first_failure = static_cast<std::int32_t>(i);
          run.failure_status = statuses[i];
        }
      }
      run.info_status = KR2270_DFWGetInfo(device, nullptr, nullptr);
      run.close_status = KR2270_DFWClose(device);
    }
    KR2270_DeviceClose(device);
    const bool sent = write(channel[1], &run, sizeof run) == static_cast<ssize_t>(sizeof run);
    _exit(sent ? 0 : 1);
  }
  close(channel[1]);
  ChildRun run;
  EXPECT_EQ(read(channel[0], &run, sizeof run), static_cast<ssize_t>(sizeof run));
  close(channel[0]);
  int wait_status = 0;
  EXPECT_EQ(waitpid(child, &wait_status, 0), child);
  EXPECT_TRUE(WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0);
  return run;
}

TEST(FaultsRecording, FileSizeLimitAtEveryPointOfARotatingRecording) {
  constexpr std::int32_t kRotate = 1200;  // header + about 900 bytes per file
  const std::size_t total = [] {
    std::size_t sum = 0;
    for (std::size_t s : BlockSizes()) sum += s;
    return sum;
  }();
  // From no byte at all to more than any file needs, in steps that land on
  // every phase of header, block, rotation and flush.
  for (rlim_t limit = 0; limit <= kRotate + 500; limit += limit < kHeader + 20 ? 1 : 11) {
    SCOPED_TRACE(testing::Message() << "file size limit " << limit);
    TempDir dir;
    const ChildRun run = RecordUnderFileSizeLimit(dir.path, limit, kRotate);
    ASSERT_EQ(run.handed_over, static_cast<std::int64_t>(total));
    const std::vector<fs::path> chain = Chain(dir.path);
    const Bytes on_disk = DataOnDisk(chain, kHeader);
    bool every_header_whole = true;
    // An empty last file is a rotation whose first block never came.
    for (const fs::path& file : chain) {
      const std::uintmax_t size = fs::file_size(file);
      every_header_whole &= size == 0 || size >= kHeader;
    }
    const bool complete = on_disk.size() == total && every_header_whole;
    if (complete) {
      EXPECT_EQ(run.first_failure, -1);
      EXPECT_EQ(run.close_status, 0);
      EXPECT_EQ(run.info_status, 0);
    } else {
      // Whatever was lost is reported, at the latest by the close.
      EXPECT_EQ(run.close_status, -202);
      if (run.first_failure >= 0) {
        EXPECT_TRUE(run.failure_status == -202 || run.failure_status == -201) << run.failure_status;
        EXPECT_EQ(run.info_status, -202);
      }
    }
    // The disk holds a prefix of the stream, never anything else.
    ASSERT_LE(on_disk.size(), total);
    EXPECT_TRUE(on_disk == Stream(0, on_disk.size())) << "data on disk is not the stream";
    if (chain.empty()) continue;
    // The reader plays exactly the whole groups on disk, or refuses a first
    // file whose header never made it.
    const Played played = PlayAll(chain.front());
    if (fs::file_size(chain.front()) < kHeader) {
      EXPECT_EQ(played.open, -203);
      continue;
    }
    ASSERT_EQ(played.open, 0);
    const std::size_t whole = on_disk.size() / kGroup * kGroup;
    EXPECT_EQ(played.total, static_cast<double>(whole / kGroup));
    EXPECT_EQ(played.bytes.size(), whole);
    EXPECT_TRUE(played.bytes == Stream(0, played.bytes.size()));
  }
}

// --- rotation and reads across files --------------------------------------------

TEST(FaultsRecording, ReadsCrossingTwoAndThreeFilesAreByteExact) {
  TempDir dir;
  Device* writer = KR2270_DeviceCreate();
  std::vector<std::size_t> sizes;
  std::mt19937 random(17);
  for (int i = 0; i < 60; ++i) sizes.push_back(100 + random() % 700);
  std::vector<std::int32_t> statuses;
  const std::size_t total = Record(writer, dir.path, 3 * 1024, sizes, &statuses);
  EXPECT_EQ(KR2270_DFWClose(writer), 0);
  KR2270_DeviceClose(writer);
  for (std::int32_t s : statuses) ASSERT_EQ(s, 0);
  const std::vector<fs::path> chain = Chain(dir.path);
  ASSERT_GE(chain.size(), 5u);

  // Where each file's data begins in the recording.
  std::vector<std::size_t> file_start;
  std::size_t at = 0;
  for (const fs::path& file : chain) {
    file_start.push_back(at);
    at += fs::file_size(file) - kHeader;
  }
  ASSERT_EQ(at, total);

  Device* device = KR2270_DeviceCreate();
  ASSERT_EQ(KR2270_DFROpen(device, chain.front().c_str(), 0), 0);
  double groups = 0;
  ASSERT_EQ(KR2270_DFRGetGroupTotal(device, &groups, nullptr), 0);
  EXPECT_EQ(groups, static_cast<double>(total / kGroup));
  // For each file boundary: a read from just before it through one and two
  // further files.
  for (std::size_t f = 1; f + 1 < chain.size(); ++f) {
    for (const std::size_t files_crossed : {1u, 2u}) {
      const std::size_t first_group = file_start[f] / kGroup - 1;
      const std::size_t end_byte =
          std::min(total, file_start[std::min(f + files_crossed, chain.size() - 1)] + 40);
      const std::size_t count = end_byte / kGroup - first_group;
      SCOPED_TRACE(testing::Message() << "from group " << first_group << ", " << count << " groups");
      std::int32_t got = 0;
      EXPECT_EQ(KR2270_DFRRead(device, static_cast<double>(first_group), static_cast<std::int32_t>(count), &got), 0);
      EXPECT_EQ(static_cast<std::size_t>(got), count);
      Bytes bytes(static_cast<std::size_t>(got) * kGroup);
      FifoGet(device->stream_fifo, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
      EXPECT_TRUE(bytes == Stream(first_group * kGroup, bytes.size()));
    }
  }
  // Everything at once, with a count of 2^31 - 1.
  std::int32_t got = 0;
  EXPECT_EQ(KR2270_DFRRead(device, 0, INT32_MAX, &got), 0);
  EXPECT_EQ(static_cast<std::size_t>(got), total / kGroup);
  Bytes bytes(static_cast<std::size_t>(got) * kGroup);
  FifoGet(device->stream_fifo, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  EXPECT_TRUE(bytes == Stream(0, bytes.size()));
  KR2270_DFRClose(device);
  KR2270_DeviceClose(device);
}

// --- files truncated at every length --------------------------------------------

TEST(FaultsRecording, LastOrMiddleFileTruncatedAtEveryLength) {
  TempDir dir;
  Device* writer = KR2270_DeviceCreate();
  std::vector<std::size_t> sizes(12, 300);
  std::vector<std::int32_t> statuses;
  Record(writer, dir.path, 1400, sizes, &statuses);
  EXPECT_EQ(KR2270_DFWClose(writer), 0);
  KR2270_DeviceClose(writer);
  const std::vector<fs::path> chain = Chain(dir.path);
  ASSERT_GE(chain.size(), 3u);
  for (const std::size_t victim : {chain.size() - 1, chain.size() / 2}) {
    const Bytes original = ReadFile(chain[victim]);
    for (std::size_t length = 0; length < original.size(); ++length) {
      SCOPED_TRACE(testing::Message() << "file " << victim + 1 << " cut to " << length);
      WriteFile(chain[victim], Bytes(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(length)));
      // The reader plays the whole groups of the data on disk, joined in
      // chain order, and nothing else.
      const Bytes on_disk = DataOnDisk(chain, kHeader);
      const Played played = PlayAll(chain.front());
      ASSERT_EQ(played.open, 0);
      const std::size_t whole = on_disk.size() / kGroup * kGroup;
      ASSERT_EQ(played.total, static_cast<double>(whole / kGroup));
      ASSERT_EQ(played.bytes.size(), whole);
      ASSERT_TRUE(std::equal(played.bytes.begin(), played.bytes.end(), on_disk.begin()));
    }
    WriteFile(chain[victim], original);
  }
}

// --- headers cut at every offset ------------------------------------------------

TEST(FaultsRecording, HeaderCutAtEveryOffsetIsRefused) {
  TempDir dir;
  for (const std::uint8_t version : {std::uint8_t{1}, std::uint8_t{0}}) {
    oracle::Header h;
    h.version = version;
    h.rate_code = 24;
    h.ad_enabled[2] = 0;
    const Bytes whole = oracle::HeaderBytes(h);
    Device* device = KR2270_DeviceCreate();
    const Settings before = device->settings;
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
      SCOPED_TRACE(testing::Message() << "version " << int{version} << " cut at " << cut);
      const fs::path file = fs::path(dir.path) / ("cut" + std::to_string(version) + "_" + std::to_string(cut) + "_1.dat");
      WriteFile(file, Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
      EXPECT_EQ(KR2270_DFROpen(device, file.c_str(), 0), -203);
      // The settings of the handle are those it had, field for field.
      EXPECT_EQ(std::memcmp(device->settings.ad_enabled, before.ad_enabled, 8), 0);
      EXPECT_EQ(device->settings.rate_code, before.rate_code);
      EXPECT_EQ(device->settings.ad_code_bytes, before.ad_code_bytes);
      std::int32_t got = -7;
      EXPECT_EQ(KR2270_DFRRead(device, 0, 10, &got), -203);
      EXPECT_EQ(FifoFilled(device->stream_fifo), 0u);
    }
    KR2270_DFRClose(device);
    KR2270_DeviceClose(device);
  }
}

// --- odd start values and counts ------------------------------------------------

TEST(FaultsRecording, OddStartsAreRefusedWithoutReading) {
  TempDir dir;
  oracle::Header h;
  Bytes file = oracle::HeaderBytes(h);
  const Bytes data = Stream(0, 100 * kGroup);
  file.insert(file.end(), data.begin(), data.end());
  const fs::path path = fs::path(dir.path) / "odd_1.dat";
  WriteFile(path, file);
  const double kNan = std::numeric_limits<double>::quiet_NaN();
  const double kInf = std::numeric_limits<double>::infinity();
  struct Row {
    double start;
    std::int32_t count;
    std::vector<std::int32_t> allowed;  // -1 refused; -203 beyond the end
  };
  const Row rows[] = {
      {kNan, 5, {-1}}, {kInf, 5, {-1, -203}}, {-kInf, 5, {-1}}, {1e300, 5, {-1, -203}},
      {-1e300, 5, {-1}}, {-2, 5, {-1}}, {-2.5, 5, {-1}}, {101, 5, {-203}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "start " << row.start);
    Device* device = KR2270_DeviceCreate();
    ASSERT_EQ(KR2270_DFROpen(device, path.c_str(), 0), 0);
    std::int32_t got = -7;
    const std::int32_t status = KR2270_DFRRead(device, row.start, row.count, &got);
    EXPECT_TRUE(std::count(row.allowed.begin(), row.allowed.end(), status) == 1) << status;
    EXPECT_TRUE(got == -7 || got == 0);
    EXPECT_EQ(FifoFilled(device->stream_fifo), 0u);
    // A refused start changes nothing; a start beyond the end sticks.
    const std::int32_t next = KR2270_DFRRead(device, 0, INT32_MAX, &got);
    EXPECT_EQ(next, status == -203 ? -203 : 0);
    EXPECT_EQ(got, 100);
    Bytes bytes(static_cast<std::size_t>(got) * kGroup);
    FifoGet(device->stream_fifo, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    EXPECT_TRUE(bytes == data);
    KR2270_DFRClose(device);
    KR2270_DeviceClose(device);
  }
}

// --- a recording opened while the stream runs -------------------------------------

TEST(FaultsRecording, RecordingOpenedWhileStreamingHoldsWholeGroupsInOrder) {
  sim::Options options;
  options.sequence = true;
  sim::Simulator sim(options);
  ASSERT_EQ(sim.Start(), 0);
  TempDir dir;
  oracle::StreamSetup setup;
  setup.analog_mask = 0x07;
  setup.digital = true;  // 18-byte groups
  setup.rate_code = 56;
  setup.transfer_bytes = 1000;  // blocks that end inside a group
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    TempDir rec;
    Device* device = KR2270_DeviceCreate();
    ASSERT_EQ(KR2270_CmdConnect(device, "127.0.0.1", 0, sim.command_port(), sim.data_port(), 2000), 0);
    ASSERT_EQ(oracle::Configure(device, setup, 2000), "");
    ASSERT_EQ(KR2270_HcStart(device, 1, 2000), 0);
    // Open once some stream went by, at a moment unrelated to the groups.
    ASSERT_TRUE(sim.WaitUntil([&](const sim::Simulator& s) { return s.bytes_sent() > 5000u + 777u * static_cast<unsigned>(round); },
                              std::chrono::milliseconds(5000)));
    ASSERT_EQ(KR2270_DFWOpen(device, rec.path.c_str(), 0), 0);
    const std::uint64_t from = sim.bytes_sent();
    ASSERT_TRUE(sim.WaitUntil([&](const sim::Simulator& s) { return s.bytes_sent() > from + 20000; },
                              std::chrono::milliseconds(5000)));
    EXPECT_EQ(KR2270_DFWClose(device), 0);
    EXPECT_EQ(KR2270_HcStart(device, 0, 2000), 0);
    KR2270_DeviceClose(device);

    // Played back, the recording must be groups of the pattern, each one
    // whole and in order with none missing after the first.
    const std::vector<fs::path> chain = Chain(rec.path);
    ASSERT_EQ(chain.size(), 1u);
    Device* player = KR2270_DeviceCreate();
    ASSERT_EQ(KR2270_DFROpen(player, chain.front().c_str(), 0), 0);
    std::int32_t got = 0;
    EXPECT_EQ(KR2270_DFRRead(player, 0, INT32_MAX, &got), 0);
    EXPECT_GT(got, 0);
    oracle::Collector collector(setup);
    while (collector.TakeSome(player) > 0) {
    }
    EXPECT_EQ(collector.failure(), "");
    EXPECT_EQ(collector.taken(), static_cast<std::uint64_t>(got));
    EXPECT_EQ(collector.removed(), collector.first_group());  // nothing missing after the first
    KR2270_DFRClose(player);
    KR2270_DeviceClose(player);
  }
}

}  // namespace
}  // namespace kr2270
