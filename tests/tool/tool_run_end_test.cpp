// How `kr2270 acquire` ends: against a simulated module in a process of its
// own, which the tests stall, kill or starve of disk, and with a pipe that
// closes or a Ctrl-C. Every case checks the files left, their contents, the
// exit status and the message.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "run_process.h"

namespace kr2270::testing {
namespace {

using std::chrono::seconds;

const std::string kTool = KR2270_TOOL_PATH;

// `kr2270 sim` in a child process.
struct Module : SimProcess {
  explicit Module(std::vector<std::string> args = {}) : SimProcess(kTool, std::move(args)) {}
};

ProcessResult Tool(std::vector<std::string> args) {
  args.insert(args.begin(), kTool);
  return RunProcess(args);
}

RunningProcess StartTool(std::vector<std::string> args) {
  args.insert(args.begin(), kTool);
  return StartProcess(args, true);
}

std::string FileEndingIn(const std::string& dir, const std::string& suffix) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    const std::string name = entry.path().string();
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      return name;
  }
  return {};
}

// The value after "key:" in a summary.
std::string SummaryValue(const std::string& text, const std::string& key) {
  for (const std::string& line : Lines(text))
    if (line.rfind(key + ":", 0) == 0) {
      const auto start = line.find_first_not_of(' ', key.size() + 1);
      return start == std::string::npos ? "" : line.substr(start);
    }
  return {};
}

std::int64_t SummaryGroups(const std::string& text) {
  const std::string value = SummaryValue(text, "groups");
  return value.empty() ? -1 : std::stoll(value);
}

// Data rows of a CSV text; each must have the header's column count.
std::int64_t CheckedCsvRows(const std::string& text) {
  const auto lines = Lines(text);
  if (lines.empty()) return -1;
  const size_t columns = SplitCsvRow(lines[0]).size();
  for (size_t i = 1; i < lines.size(); ++i)
    if (SplitCsvRow(lines[i]).size() != columns) {
      ADD_FAILURE() << "row " << i << " is cut short: " << lines[i];
      return -1;
    }
  return static_cast<std::int64_t>(lines.size()) - 1;
}

std::string JsonValue(const std::string& json, const std::string& key) {
  const auto at = json.find("\"" + key + "\": ");
  if (at == std::string::npos) return {};
  const auto start = at + key.size() + 4;
  const auto end = json.find_first_of(",\n}", start);
  return json.substr(start, end - start);
}

// The recording the run left replays, and its metadata says why it ended.
void ExpectPlayableRecording(const std::string& dir, const std::string& reason) {
  const std::string first = FileEndingIn(dir, "_1.dat");
  ASSERT_FALSE(first.empty()) << "no recording in " << dir;
  const ProcessResult shown = Tool({"play", first, "--csv", dir + "/replay.csv"});
  EXPECT_EQ(shown.exit_code, 0) << shown.err;
  EXPECT_GT(CheckedCsvRows(ReadFile(dir + "/replay.csv")), 0);
  const std::string json = ReadFile(FileEndingIn(dir, "_1.json"));
  EXPECT_EQ(JsonValue(json, "reason"), "\"" + reason + "\"") << json;
  EXPECT_NE(shown.out.find("\"reason\": \"" + reason + "\""), std::string::npos)
      << "play shows the metadata: " << shown.out;
}

// ---- the module goes away --------------------------------------------------------

class ToolRunEnd : public ::testing::Test {
 protected:
  TempDir dir;
  std::string csv = dir.File("out.csv");
  std::string rec = dir.File("rec");
};

TEST_F(ToolRunEnd, StalledOrKilledModuleKeepsTheCsvAndTheRecording) {
  struct Case {
    int signal;
    int exit_code;
    std::string message;
    std::string reason;
  };
  for (const Case& c : {Case{SIGSTOP, 1, "no data from the module for 3 s after", "module stalled"},
                        Case{SIGKILL, 3, "the module closed the data connection after", "data connection lost"}}) {
    TempDir run;
    const std::string out = run.File("out.csv");
    const std::string record = run.File("rec");
    Module module({"--sequence"});
    ASSERT_FALSE(module.port.empty());
    RunningProcess tool = StartTool(Join({"acquire", "--rate", "52", "--channels", "1-2", "--csv", out,
                                          "--record", record},
                                         module.HostArgs()));
    // The CSV file grows in buffer-sized steps: past the first one, rows flow.
    ASSERT_TRUE(WaitFor([&] { return FileSize(out + ".partial") > 64 * 1024; })) << "no rows arrived";
    kill(module.process.pid, c.signal);
    const ProcessResult r = WaitProcess(tool, seconds(60));
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out << r.err;
    ASSERT_TRUE(FileExists(out)) << "the CSV is kept under its name";
    EXPECT_FALSE(FileExists(out + ".partial"));
    EXPECT_NE(r.out.find(out + " (incomplete"), std::string::npos) << r.out;
    const std::int64_t groups = SummaryGroups(r.out);
    EXPECT_GT(groups, 0);
    EXPECT_EQ(CheckedCsvRows(ReadFile(out)), groups) << "every group taken is in the CSV";
    ExpectPlayableRecording(record, c.reason);
  }
}

// ---- the module is silent or away while --reconnect holds ------------------------------

// A module that is alive but sends nothing (frozen: its connections stay
// up) is given the reconnect window, not the 3 s stall rule.
TEST_F(ToolRunEnd, ASilentModuleIsGivenTheReconnectWindow) {
  Module module({"--sequence"});
  ASSERT_FALSE(module.port.empty());
  RunningProcess tool = StartTool(Join({"acquire", "--rate", "52", "--channels", "1-2", "--groups",
                                        "30000", "--reconnect", "10", "--csv", csv},
                                       module.HostArgs()));
  ASSERT_TRUE(WaitFor([&] { return FileSize(csv + ".partial") > 64 * 1024; })) << "no rows arrived";
  kill(module.process.pid, SIGSTOP);
  std::this_thread::sleep_for(std::chrono::milliseconds(4500));  // the outage itself
  kill(module.process.pid, SIGCONT);
  const ProcessResult r = WaitProcess(tool, seconds(60));
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(SummaryValue(r.out, "ended"), "the requested 30000 groups were taken") << r.out;
  EXPECT_EQ(CheckedCsvRows(ReadFile(csv)), 30000);
}

// A module that went away for longer than the stall rule: while the library
// reconnects, the run waits for it, and goes on once the module is back.
TEST_F(ToolRunEnd, AnOutageLongerThanTheStallRuleIsRiddenOut) {
  auto module = std::make_unique<Module>(std::vector<std::string>{"--sequence"});
  ASSERT_FALSE(module->port.empty());
  const std::vector<std::string> host = module->HostArgs();
  const std::vector<std::string> same_ports = {"--sequence", "--command-port", module->port,
                                               "--data-port", module->data_port};
  RunningProcess tool = StartTool(Join({"acquire", "--rate", "52", "--channels", "1-2", "--groups",
                                        "30000", "--reconnect", "15", "--csv", csv, "--record", rec},
                                       host));
  ASSERT_TRUE(WaitFor([&] { return FileSize(csv + ".partial") > 64 * 1024; })) << "no rows arrived";
  kill(module->process.pid, SIGKILL);
  module.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(4500));  // the outage itself
  Module back(same_ports);
  ASSERT_EQ(back.port, host[3]) << "the module came back on other ports";
  const ProcessResult r = WaitProcess(tool, seconds(60));
  EXPECT_EQ(r.exit_code, 3) << "groups are missing in the gap" << r.out << r.err;
  EXPECT_EQ(SummaryValue(r.out, "ended"), "the requested 30000 groups were taken") << r.out;
  EXPECT_NE(SummaryValue(r.out, "health").find("reconnects 1"), std::string::npos) << r.out;
  EXPECT_EQ(CheckedCsvRows(ReadFile(csv)), 30000);
  ExpectPlayableRecording(rec, "span taken");
}

// ---- the disk fills ---------------------------------------------------------------

// A small tmpfs, unmounted at the end.
struct SmallDisk {
  std::string path;
  bool mounted = false;
  SmallDisk(const std::string& at, const char* size) : path(at) {
    std::filesystem::create_directories(path);
    const std::string options = std::string("size=") + size;
    mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted) umount2(path.c_str(), MNT_DETACH);
  }
};

TEST_F(ToolRunEnd, FullRecordingDiskStopsTheRunAndKeepsTheCsvElsewhere) {
  SmallDisk disk(dir.File("small"), "96k");
  if (!disk.mounted) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  Module module;
  const ProcessResult r = Tool(Join({"acquire", "--rate", "40", "--channels", "1-4", "--csv", csv,
                                     "--record", disk.path},
                                    module.HostArgs()));
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(SummaryValue(r.out, "ended").find("No space left on device"), std::string::npos) << r.out;
  ASSERT_TRUE(FileExists(csv));
  const std::int64_t groups = SummaryGroups(r.out);
  EXPECT_GT(groups, 0);
  EXPECT_EQ(CheckedCsvRows(ReadFile(csv)), groups);
  EXPECT_FALSE(FileEndingIn(disk.path, "_1.dat").empty()) << "the recording is kept";
}

TEST_F(ToolRunEnd, FullCsvDiskStopsTheRunAndFinishesTheRecording) {
  SmallDisk disk(dir.File("small"), "96k");
  if (!disk.mounted) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  Module module;
  const std::string full_csv = disk.path + "/out.csv";
  const ProcessResult r = Tool(Join({"acquire", "--rate", "40", "--channels", "1-4", "--csv", full_csv,
                                     "--record", rec},
                                    module.HostArgs()));
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(SummaryValue(r.out, "ended").find("writing " + full_csv + " failed: No space left on device"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(FileExists(full_csv)) << "what reached the CSV stays";
  ExpectPlayableRecording(rec, "CSV write failed");
}

// ---- the reader goes away, or the user stops ---------------------------------------

TEST_F(ToolRunEnd, ClosedPipeEndsLikeCtrlCAndLeavesAReadableRecording) {
  Module module;
  RunningProcess tool =
      StartTool(Join({"acquire", "--rate", "52", "--csv", "-", "--record", rec}, module.HostArgs()));
  EXPECT_EQ(ReadLine(tool, seconds(30)).rfind("time_s,", 0), 0u);
  EXPECT_FALSE(ReadLine(tool, seconds(30)).empty());
  CloseOutput(tool);  // as `| head -2` does
  const ProcessResult r = WaitProcess(tool, seconds(60));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(SummaryValue(r.err, "ended").find("the reader of standard output went away"), std::string::npos)
      << r.err;
  ExpectPlayableRecording(rec, "output closed");
}

TEST_F(ToolRunEnd, CtrlCDuringTheRunCompletesEveryFile) {
  Module module;
  RunningProcess tool = StartTool(
      Join({"acquire", "--rate", "52", "--csv", csv, "--record", rec}, module.HostArgs()));
  ASSERT_TRUE(WaitFor([&] { return FileSize(csv + ".partial") > 64 * 1024; })) << "no rows arrived";
  kill(tool.pid, SIGINT);
  const ProcessResult r = WaitProcess(tool, seconds(60));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(SummaryValue(r.out, "ended").find("interrupted after"), std::string::npos) << r.out;
  EXPECT_EQ(CheckedCsvRows(ReadFile(csv)), SummaryGroups(r.out));
  EXPECT_EQ(SummaryValue(r.out, "lost groups"), "0");
  ExpectPlayableRecording(rec, "interrupted");
}

TEST_F(ToolRunEnd, CtrlCWithAModuleThatNoLongerAnswersEndsWithinASecondOrSo) {
  Module module;
  RunningProcess tool = StartTool(Join(
      {"acquire", "--rate", "52", "--timeout", "10000", "--csv", csv, "--record", rec}, module.HostArgs()));
  ASSERT_TRUE(WaitFor([&] { return FileSize(csv + ".partial") > 64 * 1024; })) << "no rows arrived";
  kill(module.process.pid, SIGSTOP);
  kill(tool.pid, SIGINT);
  // The stop is not answered; waiting the 10 s time-out for it would fail here.
  const ProcessResult r = WaitProcess(tool, seconds(5));
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(CheckedCsvRows(ReadFile(csv)), SummaryGroups(r.out));
}

// A loopback port whose listener completes connections but never reads:
// a module that accepts and never answers.
struct SilentModule {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int accepted = -1;
  std::string port;
  SilentModule() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 4);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = std::to_string(ntohs(address.sin_port));
  }
  bool AcceptWithin(std::chrono::milliseconds limit) {
    pollfd fd = {listener, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(limit.count())) <= 0) return false;
    accepted = accept(listener, nullptr, nullptr);
    return accepted >= 0;
  }
  ~SilentModule() {
    if (accepted >= 0) close(accepted);
    close(listener);
  }
};

TEST_F(ToolRunEnd, CtrlCWhileWaitingForTheFirstReplyExitsAtOnceAndLeavesNothing) {
  SilentModule silent;
  RunningProcess tool = StartTool({"acquire", "--host", "127.0.0.1", "--port", silent.port,
                                   "--data-port", silent.port, "--timeout", "10000", "--groups",
                                   "10", "--csv", csv});
  ASSERT_TRUE(silent.AcceptWithin(seconds(20))) << "the tool never connected";
  kill(tool.pid, SIGINT);
  // Well inside the 10 s the reply may take: the interrupt did not wait for it.
  const ProcessResult r = WaitProcess(tool, seconds(5));
  EXPECT_FALSE(r.timed_out) << "still waiting for the reply after Ctrl-C";
  EXPECT_EQ(r.exit_code, 130) << r.err;
  EXPECT_NE(r.err.find("interrupted before any data was taken"), std::string::npos) << r.err;
  EXPECT_FALSE(FileExists(csv));
  EXPECT_FALSE(FileExists(csv + ".partial"));
}

// ---- what the messages say ----------------------------------------------------------

TEST_F(ToolRunEnd, FirstReplyFailuresCarryAHint) {
  SilentModule silent;
  const ProcessResult silent_run = Tool({"info", "--host", "127.0.0.1", "--port", silent.port,
                                         "--data-port", silent.port, "--timeout", "200"});
  EXPECT_EQ(silent_run.exit_code, 1);
  EXPECT_NE(silent_run.err.find("status -2"), std::string::npos) << silent_run.err;
  EXPECT_NE(silent_run.err.find("the module serves one command connection"), std::string::npos)
      << silent_run.err;

  Module module;
  const ProcessResult swapped = Tool({"info", "--host", "127.0.0.1", "--port", module.data_port,
                                      "--data-port", module.port, "--timeout", "2000"});
  EXPECT_EQ(swapped.exit_code, 1);
  EXPECT_NE(swapped.err.find("is --port the command port and --data-port the data port?"),
            std::string::npos)
      << swapped.err;
}

// ---- settings and span ---------------------------------------------------------------

TEST_F(ToolRunEnd, EveryRunConvertsWithTheRangesItWrote) {
  // A flat 1.5 V on channel 4: within the 2 V range and the 10 V one.
  Module module({"--dc", "4=1.5", "--amplitude", "4=0"});
  const auto volts_of_ai4 = [](const std::string& report) -> double {
    for (const std::string& line : Lines(report))
      if (line.rfind("ai4 ", 0) == 0) {
        std::istringstream in(line.substr(4));
        long code = 0;
        double volts = 0.0;
        in >> code >> volts;
        return volts;
      }
    return std::nan("");
  };
  const ProcessResult narrow = Tool(Join({"info", "--range", "4=2"}, module.HostArgs()));
  ASSERT_EQ(narrow.exit_code, 0) << narrow.err;
  EXPECT_NEAR(volts_of_ai4(narrow.out), 1.5, 1e-3);
  // The module keeps range 2 from the run before; a plain run sets 10 V again.
  const ProcessResult plain = Tool(Join({"info"}, module.HostArgs()));
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  EXPECT_NEAR(volts_of_ai4(plain.out), 1.5, 1e-3);

  ASSERT_EQ(Tool(Join({"info", "--range", "4=2"}, module.HostArgs())).exit_code, 0);
  const ProcessResult acquired =
      Tool(Join({"acquire", "--channels", "4", "--groups", "50", "--csv", "-"}, module.HostArgs()));
  ASSERT_EQ(acquired.exit_code, 0) << acquired.err;
  const auto rows = Lines(acquired.out);
  ASSERT_EQ(rows.size(), 51u);
  for (size_t i = 1; i < rows.size(); ++i)
    ASSERT_NEAR(std::stod(SplitCsvRow(rows[i])[1]), 1.5, 1e-3) << "row " << i;
}

TEST_F(ToolRunEnd, ASlowReaderLosesNothingOfTheSpan) {
  Module module;
  // 0.25 s at 256000 groups/s: 64000 rows, far more than a pipe holds.
  RunningProcess tool = StartTool(Join({"acquire", "--seconds", "0.25", "--rate", "256k", "--channels",
                                        "1", "--csv", "-", "--record", rec},
                                       module.HostArgs()));
  // The run is over (its metadata has an end) while nobody has read the pipe.
  const auto ended = [&] {
    const std::string json = FileEndingIn(rec, "_1.json");
    return !json.empty() && JsonValue(ReadFile(json), "end") != "null";
  };
  EXPECT_TRUE(WaitFor(ended, seconds(60))) << "the acquisition ran on while the pipe was full";
  const ProcessResult r = WaitProcess(tool, seconds(60));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(CheckedCsvRows(r.out), 64000);
  EXPECT_EQ(SummaryValue(r.err, "lost groups"), "0") << r.err;
  EXPECT_EQ(JsonValue(ReadFile(FileEndingIn(rec, "_1.json")), "groups_lost"), "0");
}

}  // namespace
}  // namespace kr2270::testing
