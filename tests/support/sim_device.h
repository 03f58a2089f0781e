// A simulated module in sequence mode on loopback, and a handle connected to
// it: the start of every test that streams from the simulator.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "kr2270c.h"
#include "sim/simulator.h"

namespace kr2270::test {

class SimDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Options options;
    options.sequence = true;
    sim_ = std::make_unique<sim::Simulator>(options);
    ASSERT_EQ(sim_->Start(), 0);
    device_ = KR2270_DeviceCreate();
    ASSERT_NE(device_, nullptr);
    ASSERT_EQ(KR2270_CmdConnect(device_, "127.0.0.1", 0, sim_->command_port(), sim_->data_port(),
                                kConnectTimeoutMs),
              0);
  }
  void TearDown() override { KR2270_DeviceClose(device_); }

  static constexpr std::int32_t kConnectTimeoutMs = 2000;
  std::unique_ptr<sim::Simulator> sim_;
  KR2270Device* device_ = nullptr;
};

// A simulated module with the test's own options, and a handle connected to
// it; the acquisition is stopped before the handle closes.
class ConnectedModule {
 public:
  explicit ConnectedModule(const sim::Options& options) : sim(options) {
    EXPECT_EQ(sim.Start(), 0);
    device = KR2270_DeviceCreate();
    EXPECT_EQ(KR2270_CmdConnect(device, "127.0.0.1", 0, sim.command_port(), sim.data_port(),
                                kTimeoutMs),
              0);
  }
  ~ConnectedModule() {
    KR2270_HcStart(device, 0, kTimeoutMs);
    KR2270_DeviceClose(device);
  }
  ConnectedModule(const ConnectedModule&) = delete;
  ConnectedModule& operator=(const ConnectedModule&) = delete;

  static constexpr std::int32_t kTimeoutMs = 2000;
  sim::Simulator sim;
  KR2270Device* device = nullptr;
};

}  // namespace kr2270::test
