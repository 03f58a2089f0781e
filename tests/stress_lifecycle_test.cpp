// Lifecycle under load: a thousand rounds of create, connect, start, a short
// random wait and then one of stop, close while streaming, a recording
// opened or closed while streaming, or stop and start again; a thousand idle
// create/close pairs; commands from four threads on one handle while the
// module misbehaves; and the cost of an idle receiver.
#include <gtest/gtest.h>

#include <dirent.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../fuzz/stream_check.h"
#include "command/command.h"
#include "device/device.h"
#include "kr2270c.h"
#include "sim/simulator.h"

namespace kr2270 {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using oracle::Collector;
using oracle::StreamSetup;
constexpr std::int32_t T = 2000;

#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderTsan = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kUnderTsan = true;
#else
constexpr bool kUnderTsan = false;
#endif
#else
constexpr bool kUnderTsan = false;
#endif

// KR2270_STRESS_LIGHT=1 (set for the ThreadSanitizer run) cuts the rounds.
int Rounds(int full) {
  const char* light = std::getenv("KR2270_STRESS_LIGHT");
  return kUnderTsan || (light != nullptr && light[0] == '1') ? full / 10 : full;
}

long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

int EntriesIn(const char* directory) {
  int count = 0;
  if (DIR* d = opendir(directory)) {
    while (readdir(d) != nullptr) ++count;
    closedir(d);
  }
  return count;
}
int OpenDescriptors() { return EntriesIn("/proc/self/fd"); }
int Threads() { return EntriesIn("/proc/self/task"); }

// Closes the handle and checks that it came back within 1.1 s.
void TimedClose(Device* device, long* worst_ms) {
  const auto start = Clock::now();
  KR2270_DeviceClose(device);  // joins the receiver thread before it returns
  *worst_ms = std::max(*worst_ms, MsSince(start));
}

enum class Ending { kStop, kCloseStreaming, kRecordingWhileStreaming, kRestart };

TEST(StressLifecycle, ThousandRoundsOfStartAndOneWayToEnd) {
  sim::Options options;
  options.sequence = true;
  sim::Simulator sim(options);
  ASSERT_EQ(sim.Start(), 0);
  const fs::path dir = fs::temp_directory_path() / ("kr2270_lifecycle_" + std::to_string(getpid()));
  fs::create_directories(dir);

  StreamSetup setup;
  setup.analog_mask = 0x03;
  setup.rate_code = 56;  // 8000 groups/s: a few dozen per round
  setup.transfer_bytes = 600;

  // No client connected yet: the simulator holds only its listeners.
  const int descriptors = OpenDescriptors();
  const int threads = Threads();

  std::mt19937 random(99);
  long worst_close_ms = 0;
  int failures = 0;
  const int rounds = Rounds(1000);
  for (int round = 0; round < rounds && failures < 5; ++round) {
    SCOPED_TRACE(round);
    Device* device = KR2270_DeviceCreate();
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(KR2270_CmdConnect(device, "127.0.0.1", 0, sim.command_port(), sim.data_port(), T), 0);
    ASSERT_EQ(oracle::Configure(device, setup, T), "");
    ASSERT_EQ(KR2270_HcStart(device, 1, T), 0);
    Collector collector(setup);
    const auto wait = std::chrono::microseconds(random() % 5000);
    const auto ending = static_cast<Ending>(random() % 4);
    std::this_thread::sleep_for(wait);
    while (collector.TakeSome(device) > 0) {
    }
    switch (ending) {
      case Ending::kStop:
        EXPECT_EQ(KR2270_HcStart(device, 0, T), 0);
        while (collector.TakeSome(device) > 0) {
        }
        break;
      case Ending::kCloseStreaming:
        break;
      case Ending::kRecordingWhileStreaming:
        EXPECT_EQ(KR2270_DFWOpen(device, dir.c_str(), 0), 0);
        std::this_thread::sleep_for(wait);
        if (random() % 2 == 0) {
          EXPECT_EQ(KR2270_DFWClose(device), 0);
        }  // else the handle's close ends the recording
        break;
      case Ending::kRestart: {
        EXPECT_EQ(KR2270_HcStart(device, 0, T), 0);
        while (collector.TakeSome(device) > 0) {
        }
        EXPECT_EQ(collector.failure(), "");
        collector = Collector(setup);  // a new run starts at group 0
        EXPECT_EQ(KR2270_HcStart(device, 1, T), 0);
        std::this_thread::sleep_for(wait);
        while (collector.TakeSome(device) > 0) {
        }
        break;
      }
    }
    EXPECT_EQ(collector.failure(), "");
    EXPECT_EQ(collector.removed(), 0u);
    EXPECT_EQ(oracle::Lost(device), 0u);
    EXPECT_EQ(KR2270_HcIsDataLost(device), 0);
    if (::testing::Test::HasFailure()) ++failures;
    TimedClose(device, &worst_close_ms);
  }
  EXPECT_LE(worst_close_ms, 1100);
  EXPECT_EQ(Threads(), threads);
  // The library's descriptors are closed by the time each close returns;
  // the simulator closes its side of the last connections when it notices.
  const auto settle = Clock::now();
  while (OpenDescriptors() > descriptors && MsSince(settle) < 3000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);
  fs::remove_all(dir);
}

TEST(StressLifecycle, ThousandIdleCreateAndClose) {
  Device* warm = KR2270_DeviceCreate();
  KR2270_DeviceClose(warm);
  const int descriptors = OpenDescriptors();
  const int threads = Threads();
  long worst_close_ms = 0;
  const int rounds = Rounds(1000);
  for (int round = 0; round < rounds; ++round) {
    Device* device = KR2270_DeviceCreate();
    ASSERT_NE(device, nullptr);
    TimedClose(device, &worst_close_ms);
  }
  EXPECT_LE(worst_close_ms, 1100);
  EXPECT_EQ(OpenDescriptors(), descriptors);
  EXPECT_EQ(Threads(), threads);
  EXPECT_TRUE(DeviceListSnapshot().empty());
}

// Four threads read their own registers through one handle while the
// module delays, drops, splits, appends to and corrupts replies. A call that
// returns 0 must carry its own request's data.
TEST(StressCommands, FourThreadsWithReplyFaultsNeverGetAnotherRequestsData) {
  sim::Simulator sim;
  ASSERT_EQ(sim.Start(), 0);
  sim.FreezeTime(0.5);
  Device* device = KR2270_DeviceCreate();
  ASSERT_EQ(KR2270_CmdConnect(device, "127.0.0.1", 0, sim.command_port(), sim.data_port(), T), 0);
  // Each thread owns a register block with values only it writes: the
  // reference value (60), the calibration block (200..231, through channel
  // numbers), the counter base periods (40..47) and the pulse count (96..98).
  std::atomic<int> crossed{0};
  std::atomic<int> succeeded{0};
  std::atomic<bool> stop{false};
  std::thread faults([&] {
    std::mt19937 random(5);
    while (!stop.load()) {
      // Mostly faults the channel shrugs off at once; a dropped reply costs
      // the next request the 500 ms grace, so it is rare.
      const unsigned pick = random() % 20;
      if (pick < 6) {
        sim.InjectReplyFault(sim::ReplyFault::Delay(60));  // past the 40 ms time-out
      } else if (pick < 10) {
        sim.InjectReplyFault(sim::ReplyFault::Split({3, 9}, 2));
      } else if (pick < 14) {
        sim.InjectReplyFault(sim::ReplyFault::Append({0, 0, 0, 0, 0, 7, 1, 3, 4, 1, 2, 3, 4}));
      } else if (pick < 17) {
        sim.InjectReplyFault(sim::ReplyFault::Rewrite([](std::vector<std::uint8_t> r) {
          r[3] = 9;  // protocol identifier
          return r;
        }));
      } else if (pick < 19) {
        sim.InjectReplyFault(sim::ReplyFault::Exception(4));
      } else {
        sim.InjectReplyFault(sim::ReplyFault::Drop());
      }
      // About one fault in three requests, never a backlog.
      const std::uint64_t served = sim.requests_served();
      sim.WaitUntil([&](const sim::Simulator& s) { return stop.load() || s.requests_served() >= served + 3; },
                    std::chrono::milliseconds(2000));
    }
  });
  const int per_thread = Rounds(60);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t));
      for (int i = 0; i < per_thread; ++i) {
        // Thread t writes a value that names itself and the iteration, then
        // reads it back; whatever comes back with status 0 must be a value
        // this thread wrote to its own registers.
        const auto value = static_cast<std::int32_t>((t + 1) << 24 | i);
        std::int32_t got = 0;
        std::int32_t status = 0;
        switch (t) {
          case 0:
            if (KR2270_AdWriteRef(device, value, 40) != 0) continue;
            status = KR2270_AdReadRef(device, &got, 40);
            break;
          case 1: {
            std::int32_t zero[8], full[8];
            if (KR2270_AdWriteZero(device, 3, value, 40) != 0) continue;
            status = KR2270_AdReadZeroFull(device, zero, full, 40);
            got = zero[2];
            break;
          }
          case 2: {
            std::uint8_t bytes[4];
            if (WriteRegisters(device, 44, {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                                            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)}, 40) != 0) {
              continue;
            }
            status = ReadRegisters(device, 44, bytes, 40);
            got = static_cast<std::int32_t>(std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
                                            std::uint32_t{bytes[2]} << 8 | bytes[3]);
            break;
          }
          default: {
            std::uint8_t bytes[6];
            if (KR2270_PwmSetCount(device, 2, value, 40) != 0) continue;
            status = ReadRegisters(device, 96, bytes, 40);
            got = static_cast<std::int32_t>(std::uint32_t{bytes[2]} << 24 | std::uint32_t{bytes[3]} << 16 |
                                            std::uint32_t{bytes[4]} << 8 | bytes[5]);
            break;
          }
        }
        if (status != 0) continue;
        ++succeeded;
        // Only this thread writes these registers: another thread's reply
        // or a stale one of an earlier iteration would carry another value.
        if (got != value) ++crossed;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  stop.store(true);
  faults.join();
  KR2270_DeviceClose(device);
  EXPECT_EQ(crossed.load(), 0);
  EXPECT_GT(succeeded.load(), per_thread);  // the faults did not drown everything
}

// CPU time of the handle's receiver thread alone, so that the sanitizers'
// own threads and the test do not count.
double ReceiverCpuSeconds(Device* device) {
  clockid_t clock{};
  if (pthread_getcpuclockid(device->receiver_thread.native_handle(), &clock) != 0) return -1;
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

TEST(StressIdle, IdleReceiverUsesUnderOnePercentOfACore) {
  Device* device = KR2270_DeviceCreate();
  ASSERT_NE(device, nullptr);
  const double cpu_before = ReceiverCpuSeconds(device);
  ASSERT_GE(cpu_before, 0.0);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(2));  // the measuring window
  const double cpu = ReceiverCpuSeconds(device) - cpu_before;
  const double seconds = static_cast<double>(MsSince(start)) / 1000.0;
  KR2270_DeviceClose(device);
  EXPECT_LT(cpu, 0.01 * seconds) << cpu << " s of CPU in " << seconds << " s";
}

}  // namespace
}  // namespace kr2270
