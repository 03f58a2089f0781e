// Device lifecycle: defaults, the device list, prompt release, no leaks.
#include <gtest/gtest.h>


#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "device/device.h"
#include "kr2270c.h"
#include "platform/platform.h"

namespace kr2270 {
namespace {

using Clock = std::chrono::steady_clock;

TEST(Device, NewDeviceHasTheDocumentedDefaults) {
  Device* device = KR2270_DeviceCreate();
  ASSERT_NE(device, nullptr);
  const Settings& s = device->settings;
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(s.ad_enabled[i], 1);
    EXPECT_EQ(s.ad_span[i], 10.0);
    EXPECT_EQ(s.ad_offset[i], 0.0);
    EXPECT_EQ(s.ad_full_code[i], 8388607);
    EXPECT_EQ(s.ad_zero_code[i], 4194303);
    EXPECT_EQ(s.ad_range[i] | s.ad_range_ex[i] | s.ad_end_mode[i], 0);
    EXPECT_EQ(s.ad_reserved[i], 0);
  }
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(s.ct_freq_base[i], 1000.0);
    EXPECT_EQ(s.ct_mode[i] | s.ct_in_fifo[i], 0);
  }
  EXPECT_EQ(s.ad_code_bytes, 4);
  EXPECT_EQ(s.ad_sleep[0] | s.ad_sleep[1] | s.di_in_fifo | s.ec_in_fifo[0] | s.ec_in_fifo[1], 0);
  EXPECT_EQ(s.rate_code | s.trigger_count, 0);
  EXPECT_EQ(s.trigger_enable | s.trigger_mode | s.trigger_reserved, 0);
  EXPECT_EQ(device->transfer_bytes.load(), 0);
  EXPECT_EQ(device->filter_times, 0);
  EXPECT_EQ(device->streaming.load(), 0);
  EXPECT_EQ(device->cmd.socket, platform::kNoSocket);
  EXPECT_EQ(device->data_socket, platform::kNoSocket);
  EXPECT_EQ(device->data_port, 0);
  EXPECT_EQ(device->ip_address[0], '\0');
  EXPECT_EQ(device->writer.file, nullptr);
  EXPECT_EQ(device->writer.file_limit, 524288000);
  EXPECT_EQ(device->reader, nullptr);
  EXPECT_EQ(device->stream_fifo.size, 33554432u);
  EXPECT_EQ(FifoFilled(device->stream_fifo), 0u);
  EXPECT_TRUE(device->receiver_thread.joinable());
  EXPECT_EQ(device->thread_run.load(), 1);
  KR2270_DeviceClose(device);
}

TEST(Device, ListKeepsCreationOrder) {
  Device* first = KR2270_DeviceCreate();
  Device* second = KR2270_DeviceCreate();
  ASSERT_NE(first, second);
  auto list = DeviceListSnapshot();
  auto a = std::find(list.begin(), list.end(), first);
  auto b = std::find(list.begin(), list.end(), second);
  ASSERT_NE(a, list.end());
  ASSERT_NE(b, list.end());
  EXPECT_LT(a, b);
  KR2270_DeviceClose(first);
  list = DeviceListSnapshot();
  EXPECT_EQ(std::count(list.begin(), list.end(), first), 0);
  EXPECT_EQ(std::count(list.begin(), list.end(), second), 1);
  KR2270_DeviceClose(second);
  KR2270_DeviceClose(nullptr);
}

TEST(Device, ThousandCreateCloseCyclesAreEachPrompt) {
  const std::size_t devices_before = DeviceListSnapshot().size();
  long slowest_us = 0;
  for (int i = 0; i < 1000; ++i) {
    Device* device = KR2270_DeviceCreate();
    ASSERT_NE(device, nullptr);
    const auto start = Clock::now();
    KR2270_DeviceClose(device);
    slowest_us = std::max<long>(
        slowest_us,
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
  }
  EXPECT_LT(slowest_us, 1100000);
  EXPECT_EQ(DeviceListSnapshot().size(), devices_before);
}

double ProcessCpuSeconds() {
  const std::int64_t ns = platform::ProcessCpuNs();
  EXPECT_GE(ns, 0);
  return static_cast<double>(ns) / 1e9;
}

// The smallest step of the process CPU clock, found by spinning until it
// moves twice: nanoseconds on Linux, a scheduler tick of 10-16 ms on
// Windows and under Wine.
double CpuClockStep() {
  const auto give_up = Clock::now() + std::chrono::seconds(2);
  double first = ProcessCpuSeconds();
  double second = first;
  while (second == first && Clock::now() < give_up) second = ProcessCpuSeconds();
  double third = second;
  while (third == second && Clock::now() < give_up) third = ProcessCpuSeconds();
  return third - second;
}

TEST(Device, IdleDevicesUseNoMeasurableCpu) {
  std::vector<Device*> devices;
  for (int i = 0; i < 8; ++i) devices.push_back(KR2270_DeviceCreate());
  const double step = CpuClockStep();
  // Measuring idleness is the one thing that needs the clock to pass.
  const double cpu_before = ProcessCpuSeconds();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = ProcessCpuSeconds() - cpu_before;
  for (Device* device : devices) KR2270_DeviceClose(device);
  // 1 % of the window, plus one step of the clock: a tick that the test
  // itself or the runtime started before the window is not the devices'.
  EXPECT_LT(cpu, 0.01 * wall + step)
      << "eight idle devices used " << cpu << " s of CPU in " << wall << " s (clock step " << step
      << " s)";
}

TEST(Device, StatusTextsAreReadable) {
  EXPECT_STREQ(KR2270_StatusText(-2), "reply time-out");
  for (int code : {0, -1, -2, -3, -4, -5, -6, -7, -8, -100, -101, -201, -202, -203, -204, -205}) {
    EXPECT_STRNE(KR2270_StatusText(code), "unknown status") << code;
  }
  EXPECT_STREQ(KR2270_StatusText(-9), "unknown status");
}

}  // namespace
}  // namespace kr2270
