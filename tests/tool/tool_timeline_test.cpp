// The timeline as `kr2270 acquire` writes it and `kr2270 play` replays it,
// against `kr2270 sim` in a process of its own: its counter 4 counts 4000
// per second of model time, which runs on through a reset data connection
// and a module restart, so every row's time_s can be checked against the
// module's own clock.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cmath>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_process.h"

namespace kr2270::testing {
namespace {

using std::chrono::seconds;

const std::string kTool = KR2270_TOOL_PATH;

ProcessResult Tool(std::vector<std::string> args) {
  args.insert(args.begin(), kTool);
  return RunProcess(args);
}

struct Table {
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;
  std::size_t Column(const std::string& name) const {
    const auto at = std::find(header.begin(), header.end(), name);
    EXPECT_NE(at, header.end()) << "no column " << name;
    return static_cast<std::size_t>(at - header.begin());
  }
  double Number(std::size_t row, const std::string& name) const {
    return std::stod(rows[row][Column(name)]);
  }
};

Table ParseTable(const std::string& text) {
  Table t;
  const auto lines = Lines(text);
  if (lines.empty()) return t;
  t.header = SplitCsvRow(lines[0]);
  for (std::size_t i = 1; i < lines.size(); ++i) t.rows.push_back(SplitCsvRow(lines[i]));
  return t;
}

// Rows whose gap column is not 0.
std::vector<std::size_t> GapRows(const Table& t) {
  std::vector<std::size_t> rows;
  for (std::size_t i = 0; i < t.rows.size(); ++i)
    if (t.Number(i, "gap") != 0.0) rows.push_back(i);
  return rows;
}

// The module's clock less the row's time: constant while the module's
// clock and time_s agree, up to the counter's 1/4000 s steps.
double ClockLessTime(const Table& t, std::size_t row) {
  return t.Number(row, "ct4") / 4000.0 - t.Number(row, "time_s");
}

double HighestOffset(const Table& t, std::size_t first, std::size_t end) {
  double highest = -1e300;
  for (std::size_t i = first; i < end; ++i) highest = std::max(highest, ClockLessTime(t, i));
  return highest;
}

// The recording's first file in `directory`; empty when there is none.
std::string FirstRecordingFile(const std::string& directory) {
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    if (entry.path().filename().string().ends_with("_1.dat")) return entry.path().string();
  return {};
}

constexpr double kCounterStep = 1.0 / 4000.0;
constexpr std::size_t kWindow = 200;  // rows each side of a gap: 25 ms

// Across each gap, the groups after it sit where the groups before it put
// them: within a millisecond (and the counter's step) of the module's time.
void ExpectTrueTimesAcrossGaps(const Table& t, const std::vector<std::size_t>& gaps) {
  std::size_t segment = 0;
  for (std::size_t g = 0; g <= gaps.size(); ++g) {
    const std::size_t end = g < gaps.size() ? gaps[g] : t.rows.size();
    // Within a segment the offset only steps with the counter.
    const double top = HighestOffset(t, segment, end);
    for (std::size_t i = segment; i < end; ++i)
      ASSERT_NEAR(ClockLessTime(t, i), top - kCounterStep / 2, kCounterStep / 2 + 1e-9) << "row " << i;
    segment = end;
  }
  for (const std::size_t row : gaps) {
    ASSERT_GE(row, kWindow);
    ASSERT_LE(row + kWindow, t.rows.size());
    const double before = HighestOffset(t, row - kWindow, row);
    const double after = HighestOffset(t, row, row + kWindow);
    EXPECT_LE(std::fabs(after - before), 0.001 + kCounterStep)
        << "the groups after the gap at row " << row << " are " << (after - before) * 1e3
        << " ms off the module's clock";
  }
}

TEST(ToolTimeline, EveryGroupSitsAtItsTrueTimeAcrossAResetAndARestart) {
  TempDir dir;
  const std::string live = dir.File("live.csv");
  const std::string rec = dir.File("rec");
  SimProcess module(kTool);
  ASSERT_FALSE(module.port.empty());
  RunningProcess tool = StartProcess(
      Join({kTool, "acquire", "--rate", "8k", "--channels", "1", "--counters", "4", "--groups",
            "40000", "--reconnect", "10", "--csv", live, "--record", rec},
           module.HostArgs()),
      true);
  const std::string partial = live + ".partial";
  ASSERT_TRUE(WaitFor([&] { return FileSize(partial) > 64 * 1024; })) << "no rows arrived";
  kill(module.process.pid, SIGUSR1);  // the data connection is reset
  const std::int64_t at_reset = FileSize(partial);
  // Rows after the reconnect: about half a second of them.
  ASSERT_TRUE(WaitFor([&] { return FileSize(partial) > at_reset + 160 * 1024; }))
      << "no rows after the reset";
  kill(module.process.pid, SIGHUP);  // the module restarts
  const ProcessResult r = WaitProcess(tool, seconds(60));
  EXPECT_EQ(r.exit_code, 3) << "groups of the span are missing in the gaps" << r.out << r.err;
  EXPECT_NE(r.out.find("gaps:            2 ("), std::string::npos) << r.out;

  const Table rows = ParseTable(ReadFile(live));
  ASSERT_EQ(rows.rows.size(), 40000u);
  const std::vector<std::size_t> gaps = GapRows(rows);
  ASSERT_EQ(gaps.size(), 2u) << "one gap for the reset, one for the restart";
  ExpectTrueTimesAcrossGaps(rows, gaps);

  // The sidecar places both where the CSV has them (the recording holds
  // every group, as the CSV does without ring overflows).
  const std::string first = FirstRecordingFile(rec);
  ASSERT_FALSE(first.empty());
  const std::string sidecar = ReadFile(first.substr(0, first.size() - 4) + ".json");
  const std::regex gap_entry(
      R"re(\{"number": (\d+), "position": (\d+), "index": (\d+), "missing": (\d+), "cause": "([a-z ]+)")re");
  std::vector<std::smatch> entries;
  for (auto it = std::sregex_iterator(sidecar.begin(), sidecar.end(), gap_entry);
       it != std::sregex_iterator(); ++it)
    entries.push_back(*it);
  ASSERT_EQ(entries.size(), 2u) << sidecar;
  const char* causes[] = {"link lost", "module restart"};
  for (std::size_t g = 0; g < 2; ++g) {
    EXPECT_EQ(std::stoul(entries[g][2]), gaps[g]) << sidecar;
    EXPECT_EQ(std::stod(entries[g][4]), rows.Number(gaps[g], "gap")) << sidecar;
    EXPECT_EQ(entries[g][5], causes[g]) << sidecar;
    // The first missing index follows the last row before the gap.
    EXPECT_EQ(std::stoll(entries[g][3]), std::llround(rows.Number(gaps[g] - 1, "time_s") * 8000.0) + 1);
  }

  // The replay is the live CSV, row for row.
  const std::string played = dir.File("play.csv");
  const ProcessResult replay = Tool({"play", first, "--count", "40000", "--csv", played});
  ASSERT_EQ(replay.exit_code, 0) << replay.err;
  EXPECT_EQ(ReadFile(played), ReadFile(live));
  EXPECT_NE(replay.out.find("gaps            2 ("), std::string::npos) << replay.out;
  EXPECT_NE(replay.out.find("link lost, estimated"), std::string::npos) << replay.out;
  EXPECT_NE(replay.out.find("\"reconnect_ms\": 10000"), std::string::npos)
      << "play shows the tool's fields of the sidecar: " << replay.out;

  // A replay that starts at a gap marks it on its first row; one that
  // starts after it does not.
  for (const std::size_t from : {gaps[1], gaps[1] + 1}) {
    const ProcessResult part = Tool({"play", first, "--from", std::to_string(from), "--count", "3",
                                     "--csv", "-"});
    ASSERT_EQ(part.exit_code, 0) << part.err;
    const Table t = ParseTable(part.out);
    ASSERT_EQ(t.rows.size(), 3u) << part.out;
    EXPECT_EQ(t.rows[0], rows.rows[from]) << "from " << from;
  }
}

// The row's group as the sequence pattern names it: the digital word is the
// group number's low 16 bits, counter 1 four times the number (mod 2^32).
std::uint64_t SequenceGroupOf(const Table& t, std::size_t row, std::uint64_t near) {
  const auto di = static_cast<std::uint64_t>(t.Number(row, "di"));
  const auto ct1 = static_cast<std::uint64_t>(t.Number(row, "ct1"));
  EXPECT_EQ(ct1 % 4, 0u) << "row " << row;
  // The number whose low bits both give, nearest to the row's own index.
  const std::uint64_t low = (ct1 / 4) & 0x3FFFFFFF;
  const std::uint64_t number = (near & ~std::uint64_t{0x3FFFFFFF}) | low;
  EXPECT_EQ(number & 0xFFFF, di) << "row " << row;
  return number;
}

// A module that sends its counting pattern as fast as the connection takes:
// every row is the group the module sent at its time_s, exactly. Should the
// module outrun the tool's CSV (the ring then drops groups; how often
// depends on the machine), the gap column is the jump between the groups
// and the run says that groups were lost; either way the replay of the
// recording has each live row at its index.
TEST(ToolTimeline, AtFullSpeedEveryRowIsTheGroupSentAtItsTime) {
  TempDir dir;
  const std::string live = dir.File("live.csv");
  const std::string rec = dir.File("rec");
  SimProcess module(kTool, {"--sequence", "--flood"});
  ASSERT_FALSE(module.port.empty());
  constexpr double kRate = 256000.0;
  const ProcessResult run = Tool(Join({"acquire", "--rate", "256k", "--channels", "none", "--di",
                                       "--counters", "1", "--groups", "300000", "--csv", live,
                                       "--record", rec},
                                      module.HostArgs()));
  ASSERT_TRUE(run.exit_code == 0 || run.exit_code == 3) << run.out << run.err;
  const Table rows = ParseTable(ReadFile(live));
  ASSERT_EQ(rows.rows.size(), 300000u);
  std::uint64_t expected = 0, missing = 0;
  std::size_t gap_rows = 0;
  for (std::size_t i = 0; i < rows.rows.size(); ++i) {
    const auto index = static_cast<std::uint64_t>(std::llround(rows.Number(i, "time_s") * kRate));
    ASSERT_EQ(SequenceGroupOf(rows, i, index), index) << "row " << i << " is not at its time";
    ASSERT_GE(index, expected) << "row " << i;
    ASSERT_EQ(rows.Number(i, "gap"), static_cast<double>(index - expected)) << "row " << i;
    gap_rows += index != expected ? 1 : 0;
    missing += index - expected;
    expected = index + 1;
  }
  std::printf("flood: %zu gaps, %llu groups dropped before the last row\n", gap_rows,
              static_cast<unsigned long long>(missing));
  if (gap_rows > 0) {
    EXPECT_EQ(run.exit_code, 3) << "groups of the span were dropped" << run.out;
  }

  const std::string played = dir.File("play.csv");
  const ProcessResult replay =
      Tool({"play", FirstRecordingFile(rec), "--count", std::to_string(expected), "--csv", played});
  ASSERT_EQ(replay.exit_code, 0) << replay.err;
  const Table all = ParseTable(ReadFile(played));
  ASSERT_GE(all.rows.size(), expected);
  const std::size_t gap_column = rows.Column("gap");
  for (std::size_t i = 0; i < rows.rows.size(); ++i) {
    const auto index = static_cast<std::size_t>(std::llround(rows.Number(i, "time_s") * kRate));
    std::vector<std::string> live_row = rows.rows[i], replayed = all.rows[index];
    EXPECT_EQ(replayed[gap_column], "0") << "the recording holds group " << index;
    live_row.erase(live_row.begin() + static_cast<std::ptrdiff_t>(gap_column));
    replayed.erase(replayed.begin() + static_cast<std::ptrdiff_t>(gap_column));
    ASSERT_EQ(live_row, replayed) << "row " << i;
  }
}

// The first file of the recording a run's summary names.
std::string RecordingNamedIn(const std::string& summary) {
  std::smatch m;
  static const std::regex line(R"(recorded groups: \d+ \(timeline in (.+)\.json\))");
  return std::regex_search(summary, m, line) ? m[1].str() + ".dat" : std::string();
}

// Two runs recording into one folder at once, from two modules (one sends
// its counting pattern, the other its signals): each names its own
// recording, whose replay is that run's CSV.
TEST(ToolTimeline, TwoRunsRecordingIntoOneFolderEachNameTheirOwnRecording) {
  TempDir dir;
  const std::string rec = dir.File("rec");
  SimProcess counting(kTool, {"--sequence"});
  SimProcess signals(kTool);
  ASSERT_FALSE(counting.port.empty());
  ASSERT_FALSE(signals.port.empty());
  const std::string csv[2] = {dir.File("a.csv"), dir.File("b.csv")};
  const SimProcess* modules[2] = {&counting, &signals};
  RunningProcess runs[2];
  for (int k = 0; k < 2; ++k)
    runs[k] = StartProcess(Join({kTool, "acquire", "--channels", "1,2", "--di", "--groups", "8000",
                                 "--csv", csv[k], "--record", rec},
                                modules[k]->HostArgs()),
                           true);
  std::string recordings[2];
  for (int k = 0; k < 2; ++k) {
    const ProcessResult r = WaitProcess(runs[k], seconds(60));
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    recordings[k] = RecordingNamedIn(r.out);
    ASSERT_FALSE(recordings[k].empty()) << r.out;
  }
  EXPECT_NE(recordings[0], recordings[1]);
  for (int k = 0; k < 2; ++k) {
    const ProcessResult replay =
        Tool({"play", recordings[k], "--count", "8000", "--csv", dir.File("play" + std::to_string(k))});
    ASSERT_EQ(replay.exit_code, 0) << replay.err;
    EXPECT_EQ(ReadFile(dir.File("play" + std::to_string(k))), ReadFile(csv[k]))
        << "the replay of " << recordings[k] << " is not run " << k << "'s CSV";
  }
}

}  // namespace
}  // namespace kr2270::testing
