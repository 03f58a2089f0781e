// Data that can be trusted across runs, threads and files: one layout per
// run, one producer per ring, every recording failure reported, odd files
// in a chain refused without blocking.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "eventually.h"
#include "kr2270c.h"
#include "scripted_peer.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using kr2270::test::Bytes;
using kr2270::test::Eventually;
using kr2270::test::ScriptedPeer;
using kr2270::test::TempDir;

constexpr int32_t kTimeout = 2000;
constexpr int64_t kHeaderBytes = 318;

// Groups of `channels` analog codes of `code_bytes` each; code c of group g
// is a distinct positive 24-bit value (its upper 16 bits for 2-byte codes).
std::int32_t CodeOf(std::int64_t g, int c) { return static_cast<std::int32_t>((g * 8 + c) % 0x7FFF) << 8; }

Bytes Groups(std::int64_t first, std::int64_t count, int channels, int code_bytes) {
  Bytes bytes;
  for (std::int64_t g = first; g < first + count; ++g) {
    for (int c = 0; c < channels; ++c) {
      const auto code = static_cast<std::uint32_t>(CodeOf(g, c));
      if (code_bytes == 2) {
        bytes.push_back(static_cast<std::uint8_t>(code >> 8));
        bytes.push_back(static_cast<std::uint8_t>(code >> 16));
      } else {
        for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<std::uint8_t>(code >> (8 * b)));
      }
    }
  }
  return bytes;
}

std::vector<std::int32_t> Expected(std::int64_t first, std::int64_t count, int c) {
  std::vector<std::int32_t> codes;
  for (std::int64_t g = first; g < first + count; ++g) codes.push_back(CodeOf(g, c));
  return codes;
}

std::vector<std::int32_t> FetchAd(KR2270Device* device, int32_t channel, int32_t n) {
  std::vector<std::int32_t> codes(static_cast<std::size_t>(std::max(n, 1)));
  const int32_t got = KR2270_HcCodeGetAd(device, channel, codes.data());
  codes.resize(static_cast<std::size_t>(std::max(got, 0)));
  return codes;
}

std::int64_t RecordedBytes(KR2270Device* device) {
  int64_t bytes = -1;
  KR2270_DFWGetInfo(device, &bytes, nullptr);
  return bytes;
}

// A handle connected to a scripted module that echoes every write; 8000
// groups per second, all eight channels with 4-byte codes (32-byte groups).
struct Rig {
  ScriptedPeer peer;
  KR2270Device* device = KR2270_DeviceCreate();

  Rig() {
    EXPECT_EQ(KR2270_CmdConnect(device, "127.0.0.1", 0, peer.port(), peer.data_port(), kTimeout), 0);
    EXPECT_EQ(KR2270_HcSetTranBytesCount(device, 4096, kTimeout), 0);
    EXPECT_EQ(KR2270_HcSetFreq(device, 56, kTimeout), 0);
  }
  ~Rig() { KR2270_DeviceClose(device); }

  void Start() {
    const int before = peer.data_connections();
    ASSERT_EQ(KR2270_HcStart(device, 1, kTimeout), 0);
    ASSERT_TRUE(peer.WaitForDataConnection(before + 1, kTimeout));
  }
  // Streams the bytes and waits until the recording took them all.
  void StreamRecorded(const Bytes& bytes, std::int64_t recorded_after) {
    ASSERT_TRUE(peer.SendData(bytes));
    ASSERT_TRUE(Eventually([&] { return RecordedBytes(device) == recorded_after; }))
        << RecordedBytes(device);
  }
};

std::vector<std::string> FirstFiles(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().string();
    if (name.size() > 6 && name.compare(name.size() - 6, 6, "_1.dat") == 0) found.push_back(name);
  }
  std::sort(found.begin(), found.end());
  return found;
}

// A recording of ten 32-byte groups; returns its first file.
std::string MakeRecording(const std::string& dir) {
  Rig rig;
  EXPECT_EQ(KR2270_DFWOpen(rig.device, dir.c_str(), 0), 0);
  rig.Start();
  rig.StreamRecorded(Groups(0, 10, 8, 4), kHeaderBytes + 320);
  EXPECT_EQ(KR2270_HcStart(rig.device, 0, kTimeout), 0);
  EXPECT_EQ(KR2270_DFWClose(rig.device), 0);
  const std::vector<std::string> files = FirstFiles(dir);
  return files.size() == 1 ? files[0] : std::string();
}

struct Replay {
  double groups = -1.0;
  double rate = 0.0;
  uint8_t enabled[8] = {};
  std::vector<std::int32_t> ad[8];
};

Replay ReplayOf(const std::string& path) {
  Replay replay;
  KR2270Device* device = KR2270_DeviceCreate();
  EXPECT_EQ(KR2270_DFROpen(device, path.c_str(), 0), 0);
  EXPECT_EQ(KR2270_DFRGetGroupTotal(device, &replay.groups, nullptr), 0);
  EXPECT_EQ(KR2270_DFRGetFreq(device, &replay.rate), 0);
  EXPECT_EQ(KR2270_DFRGetAdInFifo(device, replay.enabled), 0);
  int32_t read = 0;
  EXPECT_EQ(KR2270_DFRRead(device, 0, 1 << 20, &read), 0);
  const int32_t n = KR2270_HcCodeSplit(device, read);
  EXPECT_EQ(n, read);
  for (int32_t k = 1; k <= 8; ++k) replay.ad[k - 1] = FetchAd(device, k, n);
  KR2270_DeviceClose(device);
  return replay;
}

TEST(RunIntegrity, TwoRunsWithALayoutChangeInOneRecordingReplayEachAsSent) {
  TempDir dir;
  Rig rig;
  ASSERT_EQ(KR2270_DFWOpen(rig.device, dir.path.c_str(), 0), 0);
  rig.Start();
  rig.StreamRecorded(Groups(0, 100, 8, 4), kHeaderBytes + 3200);
  ASSERT_EQ(KR2270_HcStart(rig.device, 0, kTimeout), 0);

  // Stopped: channels 1 and 3 with 2-byte codes at 4000 groups per second.
  const uint8_t two[8] = {1, 0, 1, 0, 0, 0, 0, 0};
  ASSERT_EQ(KR2270_AdInFifo(rig.device, two, 2, kTimeout), 0);
  ASSERT_EQ(KR2270_HcSetFreq(rig.device, 52, kTimeout), 0);
  rig.Start();
  rig.StreamRecorded(Groups(1000, 50, 2, 2), kHeaderBytes + 3200 + kHeaderBytes + 200);
  ASSERT_EQ(KR2270_HcStart(rig.device, 0, kTimeout), 0);
  int32_t files = 0;
  ASSERT_EQ(KR2270_DFWGetInfo(rig.device, nullptr, &files), 0);
  EXPECT_EQ(files, 2);
  ASSERT_EQ(KR2270_DFWClose(rig.device), 0);

  const std::vector<std::string> first = FirstFiles(dir.path);
  ASSERT_EQ(first.size(), 2u) << "each run begins its own recording";
  Replay a = ReplayOf(first[0]);
  Replay b = ReplayOf(first[1]);
  if (a.groups != 100.0) std::swap(a, b);  // names of one second sort by suffix
  EXPECT_EQ(a.groups, 100.0);
  EXPECT_EQ(a.rate, 8000.0);
  EXPECT_EQ(a.ad[0], Expected(0, 100, 0));
  EXPECT_EQ(a.ad[7], Expected(0, 100, 7));
  EXPECT_EQ(b.groups, 50.0);
  EXPECT_EQ(b.rate, 4000.0);
  EXPECT_EQ(std::vector<uint8_t>(b.enabled, b.enabled + 8), std::vector<uint8_t>(two, two + 8));
  EXPECT_EQ(b.ad[0], Expected(1000, 50, 0));
  EXPECT_EQ(b.ad[2], Expected(1000, 50, 1));
  EXPECT_TRUE(b.ad[1].empty());
}

TEST(RunIntegrity, LayoutSettersAreRefusedWhileStreamingAndBufferedGroupsKeepTheirLayout) {
  Rig rig;
  rig.Start();
  const std::size_t sent = rig.peer.requests().size();
  const uint8_t one[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  uint8_t counters[4] = {1, 1, 0, 0};
  uint8_t encoders[2] = {1, 0};
  EXPECT_EQ(KR2270_AdInFifo(rig.device, one, 2, kTimeout), KR2270_ERROR_ARGUMENT);
  EXPECT_EQ(KR2270_DiInFifo(rig.device, 1, kTimeout), KR2270_ERROR_ARGUMENT);
  EXPECT_EQ(KR2270_CtInFifo(rig.device, counters, kTimeout), KR2270_ERROR_ARGUMENT);
  EXPECT_EQ(KR2270_EcInFifo(rig.device, encoders, kTimeout), KR2270_ERROR_ARGUMENT);
  EXPECT_EQ(KR2270_HcSetFreq(rig.device, 8, kTimeout), KR2270_ERROR_ARGUMENT);
  EXPECT_EQ(rig.peer.requests().size(), sent) << "a refused setter sends nothing";
  EXPECT_EQ(KR2270_HcGetGroupBc(rig.device), 32);

  ASSERT_TRUE(rig.peer.SendData(Groups(0, 20, 8, 4)));
  ASSERT_TRUE(Eventually([&] { return KR2270_HcCodeCanReadGroupCount(rig.device) == 20; }));
  ASSERT_EQ(KR2270_HcStart(rig.device, 0, kTimeout), 0);
  // Stopped, the setter is accepted; the buffered groups are still the run's.
  ASSERT_EQ(KR2270_AdInFifo(rig.device, one, 2, kTimeout), 0);
  EXPECT_EQ(KR2270_HcGetGroupBc(rig.device), 2);
  EXPECT_EQ(KR2270_HcCodeCanReadGroupCount(rig.device), 20);
  ASSERT_EQ(KR2270_HcCodeSplit(rig.device, 1000), 20);
  EXPECT_EQ(FetchAd(rig.device, 1, 20), Expected(0, 20, 0));
  EXPECT_EQ(FetchAd(rig.device, 8, 20), Expected(0, 20, 7));
}

// The recording's last buffered bytes cannot reach the disk (the file-size
// limit lies below them): the next open must say so.
TEST(RunIntegrity, FailedFinalFlushIsReportedByTheNextOpenAndOnlyOnce) {
  TempDir dir;
  Rig rig;
  ASSERT_EQ(KR2270_DFWOpen(rig.device, dir.path.c_str(), 0), 0);
  rig.Start();
  // The first groups reach the file with the sidecar's first writing; the
  // rest stay in the file's buffer until the close.
  rig.StreamRecorded(Groups(0, 10, 8, 4), kHeaderBytes + 320);
  rig.StreamRecorded(Groups(10, 90, 8, 4), kHeaderBytes + 3200);
  ASSERT_EQ(KR2270_HcStart(rig.device, 0, kTimeout), 0);

  signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 1000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
  const int32_t reopened = KR2270_DFWOpen(rig.device, dir.path.c_str(), 0);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_EQ(reopened, KR2270_ERROR_FILE_WRITE);
  // Reported once; the open that reported it opened nothing.
  EXPECT_EQ(KR2270_DFWGetInfo(rig.device, nullptr, nullptr), 0);
  EXPECT_EQ(KR2270_DFWClose(rig.device), 0);
  EXPECT_EQ(FirstFiles(dir.path).size(), 1u);
  ASSERT_EQ(KR2270_DFWOpen(rig.device, dir.path.c_str(), 0), 0);
  EXPECT_EQ(KR2270_DFWClose(rig.device), 0);
}

TEST(RunIntegrity, PlaybackIsRefusedWhileStreamingEvenWithoutACommandConnection) {
  TempDir dir;
  const std::string recording = MakeRecording(dir.path);
  ASSERT_FALSE(recording.empty());
  Rig rig;
  rig.Start();
  KR2270_CmdClose(rig.device);  // the stream goes on
  EXPECT_EQ(KR2270_DFROpen(rig.device, recording.c_str(), 0), KR2270_ERROR_ARGUMENT);
  EXPECT_EQ(KR2270_DFRRead(rig.device, 0, 10, nullptr), KR2270_ERROR_ARGUMENT);
  ASSERT_TRUE(rig.peer.SendData(Groups(0, 5, 8, 4)));
  ASSERT_TRUE(Eventually([&] { return KR2270_HcCodeCanReadGroupCount(rig.device) == 5; }));
  // The stop cannot tell the module (-4), but the stream is stopped.
  EXPECT_EQ(KR2270_HcStart(rig.device, 0, kTimeout), KR2270_ERROR_SOCKET);
  EXPECT_EQ(KR2270_HcCodeCanReadGroupCount(rig.device), 5);
  // The reader attaches once the stream stopped; what was buffered live is
  // dropped rather than parsed with the recording's layout.
  ASSERT_EQ(KR2270_DFROpen(rig.device, recording.c_str(), 0), 0);
  EXPECT_EQ(KR2270_HcCodeCanReadGroupCount(rig.device), 0);
  int32_t read = 0;
  EXPECT_EQ(KR2270_DFRRead(rig.device, 0, 100, &read), 0);
  EXPECT_EQ(read, 10);
  ASSERT_EQ(KR2270_HcCodeSplit(rig.device, 100), 10);
  EXPECT_EQ(FetchAd(rig.device, 1, 10), Expected(0, 10, 0));
}

TEST(RunIntegrity, StartIsRefusedWhileAReaderIsAttached) {
  TempDir dir;
  const std::string recording = MakeRecording(dir.path);
  ASSERT_FALSE(recording.empty());
  ScriptedPeer peer;
  KR2270Device* device = KR2270_DeviceCreate();
  ASSERT_EQ(KR2270_DFROpen(device, recording.c_str(), 0), 0);
  ASSERT_EQ(KR2270_CmdConnect(device, "127.0.0.1", 0, peer.port(), peer.data_port(), kTimeout), 0);
  ASSERT_EQ(KR2270_HcSetTranBytesCount(device, 4096, kTimeout), 0);
  const std::size_t sent = peer.requests().size();
  EXPECT_EQ(KR2270_HcStart(device, 1, kTimeout), KR2270_ERROR_ARGUMENT);
  EXPECT_EQ(peer.requests().size(), sent) << "a refused start sends nothing";
  EXPECT_EQ(peer.data_connections(), 0);
  ASSERT_EQ(KR2270_DFRClose(device), 0);
  EXPECT_EQ(KR2270_HcStart(device, 1, kTimeout), 0);
  EXPECT_TRUE(peer.WaitForDataConnection(1, kTimeout));
  EXPECT_EQ(KR2270_HcStart(device, 0, kTimeout), 0);
  KR2270_DeviceClose(device);
}

// Opens the recording on another thread so that an open that blocks fails
// the test instead of hanging it; a FIFO is released by opening its other end.
int32_t OpenBounded(KR2270Device* device, const std::string& path, const std::string& fifo) {
  auto open = std::async(std::launch::async,
                         [&] { return KR2270_DFROpen(device, path.c_str(), 0); });
  if (open.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    open.wait();
    if (writer >= 0) ::close(writer);
    ADD_FAILURE() << "the open blocked on " << fifo;
    return 1;
  }
  return open.get();
}

TEST(RunIntegrity, FifosAndDirectoriesEndAChainOrAreRefusedWithoutBlocking) {
  TempDir dir;
  const std::string recording = MakeRecording(dir.path);
  ASSERT_FALSE(recording.empty());
  const std::string second = recording.substr(0, recording.size() - 6) + "_2.dat";
  struct Case {
    const char* name;
    bool fifo;
  };
  for (const Case c : {Case{"FIFO", true}, Case{"directory", false}}) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.fifo ? mkfifo(second.c_str(), 0600) : mkdir(second.c_str(), 0700), 0);
    KR2270Device* device = KR2270_DeviceCreate();
    // Named like the next file of the chain: the chain ends before it.
    EXPECT_EQ(OpenBounded(device, recording, second), 0);
    double groups = 0;
    EXPECT_EQ(KR2270_DFRGetGroupTotal(device, &groups, nullptr), 0);
    EXPECT_EQ(groups, 10.0);
    // Passed as the recording itself: refused.
    EXPECT_EQ(OpenBounded(device, second, second), KR2270_ERROR_FILE);
    KR2270_DeviceClose(device);
    ASSERT_TRUE(fs::remove(second));
  }
}

// The descriptors of a file this process holds open, by path.
std::vector<int> DescriptorsOf(const std::string& path) {
  std::vector<int> found;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const fs::path target = fs::read_symlink(entry.path(), error);
    if (!error && target == fs::path(path)) found.push_back(std::stoi(entry.path().filename()));
  }
  return found;
}

TEST(RunIntegrity, RecordingAndPlaybackFilesAreClosedOnExec) {
  TempDir dir;
  Rig rig;
  ASSERT_EQ(KR2270_DFWOpen(rig.device, dir.path.c_str(), 0), 0);
  const std::vector<std::string> files = FirstFiles(dir.path);
  ASSERT_EQ(files.size(), 1u);
  std::vector<int> written = DescriptorsOf(files[0]);
  ASSERT_EQ(written.size(), 1u);
  EXPECT_NE(fcntl(written[0], F_GETFD) & FD_CLOEXEC, 0);
  rig.Start();
  rig.StreamRecorded(Groups(0, 10, 8, 4), kHeaderBytes + 320);
  ASSERT_EQ(KR2270_HcStart(rig.device, 0, kTimeout), 0);
  ASSERT_EQ(KR2270_DFWClose(rig.device), 0);

  KR2270Device* player = KR2270_DeviceCreate();
  ASSERT_EQ(KR2270_DFROpen(player, files[0].c_str(), 0), 0);
  int32_t read = 0;
  ASSERT_EQ(KR2270_DFRRead(player, 0, 5, &read), 0);
  const std::vector<int> reading = DescriptorsOf(files[0]);
  ASSERT_EQ(reading.size(), 1u);
  EXPECT_NE(fcntl(reading[0], F_GETFD) & FD_CLOEXEC, 0);
  KR2270_DeviceClose(player);
}

}  // namespace
