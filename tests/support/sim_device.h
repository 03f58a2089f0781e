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

}  // namespace kr2270::test
