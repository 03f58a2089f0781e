// kr2270 capture in a process of its own against a simulated module's sine:
// trigger groups where the model crosses the level, exact pre and post
// lengths, repeated captures a period apart, a gap inside a capture flagged,
// a digital edge, and the run's ends (bad options, a trigger that never
// comes).
#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "run_process.h"
#include "sim/simulator.h"

namespace kr2270::testing {
namespace {

const std::string kTool = KR2270_TOOL_PATH;
constexpr double kRate = 8000.0;  // rate code 56
constexpr int kPeriod = 800;      // groups of the 10 Hz sine

ProcessResult Tool(std::vector<std::string> args) {
  args.insert(args.begin(), kTool);
  return RunProcess(args);
}

struct Table {
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;
  const std::string& At(size_t row, const std::string& column) const {
    for (size_t c = 0; c < header.size(); ++c)
      if (header[c] == column) return rows.at(row).at(c);
    ADD_FAILURE() << "no column " << column;
    static const std::string none = "0";
    return none;
  }
  std::uint64_t Number(size_t row, const std::string& column) const {
    return std::stoull(At(row, column));
  }
};

Table ReadTable(const std::string& path) {
  Table table;
  const auto lines = Lines(ReadFile(path));
  if (lines.empty()) return table;
  table.header = SplitCsvRow(lines[0]);
  for (size_t i = 1; i < lines.size(); ++i) table.rows.push_back(SplitCsvRow(lines[i]));
  return table;
}

class CaptureCommand : public ::testing::Test {
 protected:
  static sim::Options Sine() {
    sim::Options options;
    options.signal[0] = {0.0, 2.0, 10.0};
    return options;
  }
  void SetUp() override { ASSERT_EQ(module.Start(), 0); }

  std::vector<std::string> Args(std::vector<std::string> args) {
    return Join(std::move(args), {"--host", "127.0.0.1", "--port", std::to_string(module.command_port()),
                                  "--data-port", std::to_string(module.data_port()), "--out", out});
  }
  double ModelVolts(std::uint64_t index) {
    const std::int32_t code = module.ExpectedCode(1, module.StreamGroupTime(index));
    const sim::CalibrationPair cal = module.Calibration(1);
    return static_cast<double>(code - cal.zero) * module.Span(1) / static_cast<double>(cal.full - cal.zero);
  }
  // From `from` on: the first index below level - hysteresis, then the first
  // at or above the level.
  std::uint64_t ModelRisingTrigger(double level, double hysteresis, std::uint64_t from) {
    std::uint64_t i = from;
    while (!(ModelVolts(i) < level - hysteresis)) ++i;
    while (!(ModelVolts(i) >= level)) ++i;
    return i;
  }

  sim::Simulator module{Sine()};
  TempDir dir;
  std::string out = dir.File("captures");
};

TEST_F(CaptureCommand, RepeatedCapturesStartAtTheModelsCrossingsAPeriodApart) {
  const ProcessResult r = Tool(Args({"capture", "--rate", "56", "--channels", "1", "--on", "ai1",
                                     "--level", "0.7", "--hysteresis", "0.2", "--pre", "300",
                                     "--post", "62.5ms", "--count", "3", "--codes"}));
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("captures:  3 of 3"), std::string::npos) << r.out;
  const Table summary = ReadTable(out + "/captures.csv");
  ASSERT_EQ(summary.rows.size(), 3u);
  std::uint64_t search_from = 0;
  for (size_t k = 0; k < 3; ++k) {
    SCOPED_TRACE("capture " + std::to_string(k + 1));
    const std::uint64_t trigger = summary.Number(k, "trigger_index");
    EXPECT_EQ(trigger, ModelRisingTrigger(0.7, 0.2, search_from));
    if (k > 0) {
      EXPECT_EQ(trigger - summary.Number(k - 1, "trigger_index"), std::uint64_t{kPeriod});
    }
    // The stream's first groups are all the history an early trigger has.
    const std::uint64_t pre = std::min<std::uint64_t>(300, trigger);
    EXPECT_EQ(summary.Number(k, "pre_short"), pre < 300 ? 1u : 0u);
    EXPECT_EQ(summary.Number(k, "trigger_row"), pre);
    EXPECT_EQ(summary.Number(k, "groups"), pre + 500) << "62.5 ms is 500 groups";
    EXPECT_EQ(summary.Number(k, "gaps"), 0u);
    EXPECT_NEAR(std::stod(summary.At(k, "trigger_s")), static_cast<double>(trigger) / kRate, 1e-9);
    EXPECT_GT(std::stoll(summary.At(k, "trigger_unix_ns")), 0);

    const Table capture = ReadTable(out + "/" + summary.At(k, "file"));
    const std::vector<std::string> header = {"time_s", "ai1_V", "ai1_code", "gap"};
    ASSERT_EQ(capture.header, header);
    ASSERT_EQ(capture.rows.size(), pre + 500);
    const std::uint64_t first = trigger - pre;
    for (size_t row = 0; row < capture.rows.size(); ++row) {
      const std::uint64_t index = first + row;
      const auto from_trigger = static_cast<double>(static_cast<std::int64_t>(row) - static_cast<std::int64_t>(pre));
      ASSERT_EQ(std::stod(capture.At(row, "time_s")), from_trigger / kRate) << "row " << row;
      ASSERT_EQ(std::stoi(capture.At(row, "ai1_code")),
                module.ExpectedCode(1, module.StreamGroupTime(index)))
          << "row " << row;
      ASSERT_NEAR(std::stod(capture.At(row, "ai1_V")), ModelVolts(index), 1e-7) << "row " << row;
      ASSERT_EQ(capture.At(row, "gap"), "0") << "row " << row;
    }
    EXPECT_GE(std::stod(capture.At(pre, "ai1_V")), 0.7);
    if (pre > 0) {
      EXPECT_LT(std::stod(capture.At(pre - 1, "ai1_V")), 0.7);
    }
    search_from = first + pre + 500;  // no hold-off
  }
}

TEST(CaptureCommandDigital, AnInputsRisingEdgeTriggersAtTheFirstGroupThatShowsIt) {
  sim::Options options;
  options.clock_scale = 10.0;  // input 15 toggles every model second: every 0.1 s here
  sim::Simulator module(options);
  ASSERT_EQ(module.Start(), 0);
  TempDir dir;
  const std::string out = dir.File("captures");
  const ProcessResult r =
      Tool({"capture", "--rate", "52", "--channels", "1", "--on", "di15", "--pre", "10", "--post",
            "20", "--count", "2", "--host", "127.0.0.1", "--port", std::to_string(module.command_port()),
            "--data-port", std::to_string(module.data_port()), "--out", out});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  const Table summary = ReadTable(out + "/captures.csv");
  ASSERT_EQ(summary.rows.size(), 2u);
  // A rising edge every two model seconds, 4000 groups each.
  EXPECT_EQ(summary.Number(1, "trigger_index") - summary.Number(0, "trigger_index"), 8000u);
  constexpr std::uint16_t kInput15 = 1u << 14;
  for (size_t k = 0; k < 2; ++k) {
    SCOPED_TRACE("capture " + std::to_string(k + 1));
    const Table capture = ReadTable(out + "/" + summary.At(k, "file"));
    ASSERT_EQ(capture.rows.size(), 30u);
    ASSERT_EQ(summary.Number(k, "trigger_row"), 10u);
    const std::uint64_t first = summary.Number(k, "trigger_index") - 10;
    for (size_t row = 0; row < 30; ++row) {
      const auto di = static_cast<std::uint16_t>(std::stoul(capture.At(row, "di")));
      ASSERT_EQ(di, module.ExpectedDigitalInputs(module.StreamGroupTime(first + row))) << "row " << row;
      ASSERT_EQ((di & kInput15) != 0, row >= 10) << "row " << row;
    }
  }
}

TEST_F(CaptureCommand, ACaptureAcrossAReconnectKeepsItsLengthAndFlagsTheGap) {
  // 1000 groups of channel 1 (4 bytes each), then the module drops the stream
  // once. The model's clock starts again with the new connection, so the rows
  // are checked against the level, not the model.
  module.InjectDataFault(sim::DataFault::CloseAfter(1000 * 4));
  const ProcessResult r = Tool(Args({"capture", "--rate", "56", "--channels", "1", "--level", "0.7",
                                     "--pre", "100", "--post", "4000", "--reconnect=10", "--wait", "30"}));
  EXPECT_EQ(r.exit_code, 3) << "a capture holds a gap: " << r.out << r.err;
  EXPECT_NE(r.out.find("with gaps: 1"), std::string::npos) << r.out;
  const Table summary = ReadTable(out + "/captures.csv");
  ASSERT_EQ(summary.rows.size(), 1u);
  const std::uint64_t trigger = summary.Number(0, "trigger_index");
  const std::uint64_t pre = summary.Number(0, "trigger_row");
  ASSERT_LT(trigger, 1000u) << "the trigger comes before the drop";
  EXPECT_EQ(pre, std::min<std::uint64_t>(100, trigger));
  EXPECT_EQ(summary.Number(0, "groups"), pre + 4000) << "a gap does not shorten a capture";
  EXPECT_EQ(summary.Number(0, "gaps"), 1u);
  const std::uint64_t missing = summary.Number(0, "missing_groups");
  EXPECT_GT(missing, 0u);

  const Table capture = ReadTable(out + "/capture_0001.csv");
  ASSERT_EQ(capture.rows.size(), pre + 4000);
  EXPECT_GE(std::stod(capture.At(pre, "ai1_V")), 0.7);
  ASSERT_GT(pre, 0u);
  EXPECT_LT(std::stod(capture.At(pre - 1, "ai1_V")), 0.7);
  const size_t after_drop = 1000 - (trigger - pre);
  for (size_t row = 0; row < capture.rows.size(); ++row) {
    const std::uint64_t gap = row == after_drop ? missing : 0;
    ASSERT_EQ(std::stoull(capture.At(row, "gap")), gap) << "row " << row;
    const auto from_trigger = static_cast<double>(static_cast<std::int64_t>(row + (row >= after_drop ? missing : 0)) -
                                                  static_cast<std::int64_t>(pre));
    ASSERT_EQ(std::stod(capture.At(row, "time_s")), from_trigger / kRate) << "row " << row;
  }
}

TEST_F(CaptureCommand, ATriggerThatNeverComesEndsAtTheWaitAndSaysSo) {
  const ProcessResult r =
      Tool(Args({"capture", "--rate", "52", "--channels", "1", "--level", "5", "--wait", "0.5"}));
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_NE(r.out.find("captures:  0 of 1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("no more triggers within 0.5 s"), std::string::npos) << r.out;
  const Table summary = ReadTable(out + "/captures.csv");
  EXPECT_EQ(summary.header.front(), "capture");
  EXPECT_TRUE(summary.rows.empty());
}

std::string LastOption(const std::vector<std::string>& args) {
  std::string last;
  for (const std::string& arg : args)
    if (arg.rfind("--", 0) == 0) last = arg;
  return last;
}

// Exit 2 is the tool's usage class: a refusal from the module would be 1.
TEST_F(CaptureCommand, OptionsItCannotHonourAreRefusedBeforeTheModuleIsTouched) {
  const std::vector<std::vector<std::string>> cases = {
      {"--on", "ai9"},         {"--on", "do1"},          {"--channels", "1", "--on", "ai2"},
      {"--pre", "1.5"},        {"--pre", "-3"},          {"--post", "0"},
      {"--post", "10x"},       {"--pre", "200000", "--post", "100000"},
      {"--hysteresis", "-1"},  {"--slope", "up"},        {"--count", "0"},
  };
  for (const auto& c : cases) {
    const ProcessResult r = Tool(Args(Join({"capture"}, c)));
    std::string given;
    for (const std::string& word : c) given += word + " ";
    EXPECT_EQ(r.exit_code, 2) << given << r.out << r.err;
    const auto lines = Lines(r.err);
    ASSERT_FALSE(lines.empty()) << given;
    EXPECT_NE(lines[0].find(LastOption(c)), std::string::npos) << given << r.err;
    EXPECT_FALSE(FileExists(out + "/captures.csv")) << given;
  }
}

}  // namespace
}  // namespace kr2270::testing
