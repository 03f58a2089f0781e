// The C examples, run as their users would run them, against a simulated
// module started in the test process.
#include <cmath>
#include <sstream>

#include <gtest/gtest.h>

#include "run_process.h"
#include "sim/simulator.h"

namespace kr2270::testing {
namespace {

class Examples : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(module.Start(), 0); }
  std::vector<std::string> Args(const std::string& program) const {
    return {program, "127.0.0.1", std::to_string(module.command_port()),
            std::to_string(module.data_port())};
  }
  sim::Simulator module;
};

TEST(ExampleUsage, EveryExampleExplainsItsArguments) {
  for (const char* program :
       {KR2270_SNAPSHOT_PATH, KR2270_CONTINUOUS_PATH, KR2270_RECORD_PLAYBACK_PATH}) {
    const ProcessResult r = RunProcess({program});
    EXPECT_EQ(r.exit_code, 2) << program;
    EXPECT_NE(r.err.find("usage:"), std::string::npos) << program;
  }
}

TEST_F(Examples, SnapshotPrintsTheModelsCodesAndVolts) {
  const double t = 2.5;
  module.FreezeTime(t);
  const ProcessResult r = RunProcess(Args(KR2270_SNAPSHOT_PATH));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 9u) << r.out;
  for (int k = 1; k <= 8; ++k) {
    std::istringstream in(lines[static_cast<size_t>(k - 1)]);
    std::string name;
    int32_t code = 0;
    double volts = 0.0;
    in >> name >> code >> volts;
    EXPECT_EQ(name, "ai" + std::to_string(k));
    EXPECT_EQ(code, module.ExpectedCode(k, t));
    EXPECT_NEAR(volts, module.ExpectedVolts(k, t), 5e-6) << name;
  }
  std::istringstream in(lines[8]);
  std::string name;
  in >> name;
  EXPECT_EQ(name, "di");
  const uint16_t expected = module.ExpectedDigitalInputs(t);
  for (int i = 0; i < 16; ++i) {
    int bit = -1;
    in >> bit;
    EXPECT_EQ(bit, (expected >> i) & 1) << "input " << i + 1;
  }
}

TEST_F(Examples, ContinuousAveragesWholePeriodsToTheDcLevel) {
  // One second at 4000 groups/s holds whole periods of every channel's sine
  // (10*k Hz), so the mean is the DC level and the extremes are DC +- amplitude.
  const ProcessResult r = RunProcess(Join(Args(KR2270_CONTINUOUS_PATH), {"4000"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 5u) << r.out;
  EXPECT_EQ(lines[0], "groups 4000 lost 0");
  for (int k = 1; k <= 4; ++k) {
    std::istringstream in(lines[static_cast<size_t>(k)]);
    std::string name, mean_word, min_word, max_word;
    double mean = 0, min = 0, max = 0;
    in >> name >> mean_word >> mean >> min_word >> min >> max_word >> max;
    const sim::ChannelSignal signal = sim::DefaultSignal(k);
    EXPECT_EQ(name, "ai" + std::to_string(k));
    EXPECT_NEAR(mean, signal.dc_volts, 1e-4) << name;
    EXPECT_NEAR(min, signal.dc_volts - signal.amplitude_volts, 1e-3) << name;
    EXPECT_NEAR(max, signal.dc_volts + signal.amplitude_volts, 1e-3) << name;
  }
}

TEST_F(Examples, RecordPlaybackReplaysExactlyWhatArrivedLive) {
  TempDir dir;
  const ProcessResult r = RunProcess(Join(Args(KR2270_RECORD_PLAYBACK_PATH), {dir.path, "4000"}));
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("replay matches live: yes"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("recording " + dir.path + "/"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace kr2270::testing
