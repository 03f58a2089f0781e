// The kr2270 tool as a user runs it: each subcommand against a simulated
// module, its output parsed and checked against the module's signal model.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "run_process.h"
#include "sim/simulator.h"

namespace kr2270::testing {
namespace {

const std::string kTool = KR2270_TOOL_PATH;

ProcessResult Tool(std::vector<std::string> args) {
  args.insert(args.begin(), kTool);
  return RunProcess(args);
}

std::vector<std::string> HostArgs(const sim::Simulator& module) {
  return {"--host", "127.0.0.1", "--port", std::to_string(module.command_port()), "--data-port",
          std::to_string(module.data_port())};
}

// A loopback port with nothing listening on it.
int RefusedPort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  close(s);
  return ntohs(address.sin_port);
}

// "key   value" lines of a report, keyed by the first word.
std::map<std::string, std::string> ReportFields(const std::string& text) {
  std::map<std::string, std::string> fields;
  for (const std::string& line : Lines(text)) {
    std::istringstream in(line);
    std::string key;
    in >> key;
    std::string rest;
    std::getline(in >> std::ws, rest);
    fields[key] = rest;
  }
  return fields;
}

struct Csv {
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;
};

Csv ParseCsv(const std::string& text) {
  Csv csv;
  const auto lines = Lines(text);
  if (lines.empty()) return csv;
  csv.header = SplitCsvRow(lines[0]);
  for (size_t i = 1; i < lines.size(); ++i) csv.rows.push_back(SplitCsvRow(lines[i]));
  return csv;
}

size_t Column(const Csv& csv, const std::string& name) {
  for (size_t i = 0; i < csv.header.size(); ++i)
    if (csv.header[i] == name) return i;
  ADD_FAILURE() << "no column " << name;
  return 0;
}

// Volts of a code through a calibration pair: the two-point line from the
// zero code (0 V) to the full-scale code (span).
double VoltsOfCode(int32_t code, sim::CalibrationPair cal, double span) {
  return static_cast<double>(code - cal.zero) * span / static_cast<double>(cal.full - cal.zero);
}

// A 2-byte stream code carries the upper 16 of the 24 bits.
int32_t UpperSixteenBits(int32_t code) { return code & ~0xFF; }

std::string FindFirstRecordingFile(const std::string& dir) {
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 6 && name.compare(name.size() - 6, 6, "_1.dat") == 0) return entry.path();
  }
  return {};
}

// ---- help ------------------------------------------------------------------------

struct HelpCase {
  std::string command;
  std::vector<std::string> options;
};

TEST(ToolHelp, EverySubcommandDescribesItsOptions) {
  const std::vector<HelpCase> cases = {
      {"sim", {"--command-port", "--data-port", "--sequence", "--flood", "--data-nodelay",
               "--ex-ranges", "--clock-scale", "--dc", "--amplitude", "--frequency", "--stall-ms"}},
      {"info", {"--host", "--port", "--data-port", "--timeout", "--range"}},
      {"set",
       {"--do", "--pulse", "--pulse-count", "--pulse-phase", "--pulse-run", "--counter-mode",
        "--counter-base", "--counter-clear", "--encoder-clear", "--watchdog", "milliseconds"}},
      {"acquire",
       {"--seconds", "--groups", "--rate", "--channels", "--code-bytes", "--di", "--counters",
        "--encoders", "--average", "--transfer-bytes", "--range", "--range-ex", "--csv", "--record"}},
      {"play", {"FILE", "--from", "--count", "--csv"}},
      {"demo", {"--seconds", "--rate", "--keep"}},
  };
  for (const HelpCase& c : cases) {
    const ProcessResult r = Tool({c.command, "--help"});
    EXPECT_EQ(r.exit_code, 0) << c.command;
    for (const std::string& option : c.options)
      EXPECT_NE(r.out.find(option), std::string::npos) << c.command << " --help lacks " << option;
  }
  const ProcessResult top = Tool({"--help"});
  EXPECT_EQ(top.exit_code, 0);
  for (const HelpCase& c : cases) EXPECT_NE(top.out.find(c.command), std::string::npos) << c.command;

  const ProcessResult bare = Tool({});
  EXPECT_EQ(bare.exit_code, 0) << "a bare kr2270 asks for help";
  EXPECT_EQ(bare.out, top.out);
  const ProcessResult version = Tool({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out.rfind("kr2270 1.", 0), 0u) << version.out;
  EXPECT_NE(version.out.find("(library "), std::string::npos) << version.out;
  EXPECT_NE(Tool({"acquire", "--help"}).out.find("56 = 8000/s"), std::string::npos)
      << "--help gives the rate codes with their group rates";
}

// Option errors are one line a user reads: no bounds printed as doubles.
bool HasLongNumber(const std::string& text) {
  size_t run = 0;
  for (char c : text) {
    run = std::isdigit(static_cast<unsigned char>(c)) ? run + 1 : 0;
    if (run > 12) return true;
  }
  return false;
}

// ---- bad input -------------------------------------------------------------------

struct BadInputCase {
  std::vector<std::string> args;  // {DIR} is a scratch directory, {REFUSED} a closed port
  int exit_code;
  std::vector<std::string> message;  // all in the first line of stderr
};

class ToolBadInput : public ::testing::Test {
 protected:
  TempDir dir;
  std::string Expand(const std::string& arg, int refused) const {
    std::string out = arg;
    for (auto at = out.find("{DIR}"); at != std::string::npos; at = out.find("{DIR}"))
      out.replace(at, 5, dir.path);
    if (out == "{REFUSED}") out = std::to_string(refused);
    return out;
  }
};

TEST_F(ToolBadInput, OneClearLineAndNonZeroExitAndNoOutputFile) {
  std::ofstream(dir.File("text.dat")) << "not a recording at all\n";
  const std::vector<BadInputCase> cases = {
      {{"acquire", "--rate", "9", "--groups", "10", "--csv", "{DIR}/out.csv"}, 2,
       {"--rate 9 is neither a rate code nor a group rate", "8 = 256000/s", "56 = 8000/s"}},
      {{"acquire", "--rate", "7k", "--groups", "10", "--csv", "{DIR}/out.csv"}, 2,
       {"--rate 7k is neither"}},
      {{"acquire", "--seconds", "-1", "--csv", "{DIR}/out.csv"}, 2,
       {"--seconds: '-1' is not a number above 0"}},
      {{"acquire", "--groups", "0", "--csv", "{DIR}/out.csv"}, 2, {"--groups: '0' is not a number above 0"}},
      // Not finite, or more groups than a count holds: never "one group and success".
      {{"acquire", "--seconds", "inf", "--csv", "{DIR}/out.csv"}, 2,
       {"--seconds: 'inf' is not a number above 0"}},
      {{"acquire", "--seconds", "nan", "--csv", "{DIR}/out.csv"}, 2,
       {"--seconds: 'nan' is not a number above 0"}},
      {{"acquire", "--seconds", "1e300", "--csv", "{DIR}/out.csv"}, 2,
       {"--seconds", "more groups than can be counted"}},
      {{"acquire", "--groups", "inf", "--csv", "{DIR}/out.csv"}, 2, {"--groups: 'inf'"}},
      {{"acquire", "--groups", "1e30", "--csv", "{DIR}/out.csv"}, 2, {"--groups"}},
      {{"acquire", "--reconnect", "nan", "--groups", "10", "--csv", "{DIR}/out.csv"}, 2,
       {"--reconnect: 'nan' is not a number of seconds in 0..3600"}},
      {{"play", "{DIR}/text.dat", "--from", "-3", "--csv", "{DIR}/out.csv"}, 2, {"--from: '-3'"}},
      {{"acquire", "--channels", "1,9", "--groups", "10", "--csv", "{DIR}/out.csv"}, 2,
       {"--channels", "9 is outside 1..8"}},
      {{"acquire", "--channels", "1,x", "--groups", "10", "--csv", "{DIR}/out.csv"}, 2,
       {"--channels", "'x' is not a number"}},
      {{"acquire", "--channels", "5-2", "--groups", "10", "--csv", "{DIR}/out.csv"}, 2,
       {"--channels", "runs backwards"}},
      {{"acquire", "--counters", "5", "--groups", "10", "--csv", "{DIR}/out.csv"}, 2,
       {"--counters", "5 is outside 1..4"}},
      {{"acquire", "--encoders", "0", "--groups", "10", "--csv", "{DIR}/out.csv"}, 2,
       {"--encoders", "0 is outside 1..2"}},
      {{"acquire", "--average", "4", "--di", "--groups", "10", "--csv", "{DIR}/out.csv"}, 2,
       {"--average works with analog channels only"}},
      {{"acquire", "--channels", "none", "--groups", "10", "--csv", "{DIR}/out.csv"}, 2,
       {"nothing to acquire"}},
      {{"acquire", "--range", "1", "--groups", "10", "--csv", "{DIR}/out.csv"}, 2,
       {"--range", "not CHANNELS=CODE"}},
      {{"acquire", "--groups", "10"}, 2, {"nowhere to put the data"}},
      {{"acquire", "--code-bytes", "3", "--groups", "10", "--csv", "{DIR}/out.csv"}, 2,
       {"--code-bytes"}},
      {{"acquire", "--groups", "10", "--csv", "{DIR}/missing/out.csv"}, 1,
       {"cannot write", "missing/out.csv.partial"}},
      {{"acquire", "--groups", "10", "--record", "/proc/kr2270-none"}, 1,
       {"--record: cannot create directory /proc/kr2270-none"}},
      {{"info", "--host", "127.0.0.1", "--port", "{REFUSED}", "--data-port", "{REFUSED}"}, 1,
       {"cannot connect to 127.0.0.1", "status -101"}},
      {{"acquire", "--host", "127.0.0.1", "--port", "{REFUSED}", "--data-port", "{REFUSED}",
        "--groups", "10", "--csv", "{DIR}/out.csv"},
       1,
       {"cannot connect to 127.0.0.1", "status -101"}},
      {{"info", "--port", "5000"}, 2, {"--port and --data-port need --host"}},
      {{"info", "--host", "127.0.0.1"}, 2, {"needs --port and --data-port"}},
      {{"play", "{DIR}/missing.dat"}, 1, {"missing.dat: no such file"}},
      {{"play", "{DIR}/text.dat"}, 1, {"text.dat is not a recording", "status -203"}},
      {{"play", "{DIR}"}, 1, {"is a directory"}},
      {{"play", "{DIR}/text.dat", "--count", "5"}, 2, {"give --csv FILE"}},
      {{"frobnicate"}, 2, {"unknown subcommand 'frobnicate'"}},
  };
  const int refused = RefusedPort();
  for (const BadInputCase& c : cases) {
    std::vector<std::string> args;
    std::string shown;
    for (const std::string& a : c.args) {
      args.push_back(Expand(a, refused));
      shown += " " + args.back();
    }
    const ProcessResult r = Tool(args);
    EXPECT_EQ(r.exit_code, c.exit_code) << shown << "\n" << r.err;
    const auto lines = Lines(r.err);
    ASSERT_FALSE(lines.empty()) << shown;
    for (const std::string& text : c.message)
      EXPECT_NE(lines[0].find(text), std::string::npos) << shown << ": " << lines[0];
    EXPECT_FALSE(HasLongNumber(r.err)) << shown << ": " << r.err;
    EXPECT_FALSE(FileExists(dir.File("out.csv"))) << shown;
    EXPECT_FALSE(FileExists(dir.File("out.csv.partial"))) << shown;
  }
}

// ---- against an in-process module ----------------------------------------------

class ToolWithModule : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(module.Start(), 0); }
  sim::Simulator module;
  TempDir dir;
};

TEST_F(ToolWithModule, InfoReportsTheModelsSnapshot) {
  const double t = 1.25;
  module.FreezeTime(t);
  const ProcessResult r = Tool(Join({"info", "--range", "2=1"}, HostArgs(module)));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const auto fields = ReportFields(r.out);
  for (int k = 1; k <= 8; ++k) {
    const auto line = fields.find("ai" + std::to_string(k));
    ASSERT_NE(line, fields.end()) << r.out;
    std::istringstream in(line->second);
    int32_t code = 0, zero = 0, full = 0;
    double volts = 0.0;
    in >> code >> volts >> zero >> full;
    EXPECT_EQ(code, module.ExpectedCode(k, t)) << "ai" << k;
    EXPECT_EQ(zero, module.Calibration(k).zero) << "ai" << k;
    EXPECT_EQ(full, module.Calibration(k).full) << "ai" << k;
    EXPECT_NEAR(volts, VoltsOfCode(code, module.Calibration(k), module.Span(k)), 1e-6) << "ai" << k;
  }
  EXPECT_DOUBLE_EQ(module.Span(2), 5.0) << "--range 2=1 sets channel 2 to 5 V";
  EXPECT_EQ(std::stoul(fields.at("di").substr(2), nullptr, 16), module.ExpectedDigitalInputs(t));
  for (int c = 1; c <= 4; ++c)
    EXPECT_EQ(std::stoul(fields.at("ct" + std::to_string(c))), module.ExpectedCounter(c, t));
  for (int e = 1; e <= 2; ++e)
    EXPECT_EQ(std::stol(fields.at("ec" + std::to_string(e))),
              static_cast<int32_t>(module.ExpectedEncoder(e, t)));
  EXPECT_TRUE(fields.count("reference"));
}

TEST_F(ToolWithModule, AcquireCsvFollowsTheSignalModel) {
  const std::string csv_path = dir.File("out.csv");
  const ProcessResult r =
      Tool(Join({"acquire", "--rate", "52", "--groups", "2000", "--channels", "1,3", "--di",
                 "--counters", "2", "--encoders", "1,2", "--codes", "--csv", csv_path},
                HostArgs(module)));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err.find('\r'), std::string::npos) << "no status line when stderr is not a terminal";
  const auto summary = ReportFields(r.out);
  EXPECT_EQ(summary.at("groups:"), "2000");
  EXPECT_EQ(summary.at("lost"), "groups:     0");
  EXPECT_EQ(summary.at("data"), "connection: kept");
  EXPECT_NE(summary.at("health:").find("dropped 0, gaps 0, reconnects 0,"), std::string::npos)
      << r.out;
  EXPECT_FALSE(FileExists(csv_path + ".partial"));

  const Csv csv = ParseCsv(ReadFile(csv_path));
  const std::vector<std::string> header = {"time_s", "ai1_V", "ai1_code", "ai3_V", "ai3_code",
                                           "di",     "ct2",   "ec1",      "ec2",      "gap"};
  EXPECT_EQ(csv.header, header);
  ASSERT_EQ(csv.rows.size(), 2000u);
  for (size_t i = 0; i < csv.rows.size(); ++i) {
    const auto& row = csv.rows[i];
    ASSERT_EQ(row.size(), header.size()) << "row " << i;
    const double t = module.StreamGroupTime(i);
    EXPECT_EQ(std::stod(row[0]), static_cast<double>(i) / 4000.0) << "row " << i;
    for (int k : {1, 3}) {
      const int32_t code = std::stoi(row[Column(csv, "ai" + std::to_string(k) + "_code")]);
      ASSERT_EQ(code, module.ExpectedCode(k, t)) << "row " << i << " ai" << k;
      EXPECT_NEAR(std::stod(row[Column(csv, "ai" + std::to_string(k) + "_V")]),
                  VoltsOfCode(code, module.Calibration(k), module.Span(k)), 1e-7);
    }
    ASSERT_EQ(std::stoul(row[5]), module.ExpectedDigitalInputs(t)) << "row " << i;
    ASSERT_EQ(std::stoul(row[6]), module.ExpectedCounter(2, t)) << "row " << i;
    ASSERT_EQ(std::stol(row[7]), static_cast<int32_t>(module.ExpectedEncoder(1, t))) << "row " << i;
    ASSERT_EQ(std::stol(row[8]), static_cast<int32_t>(module.ExpectedEncoder(2, t))) << "row " << i;
    ASSERT_EQ(row[9], "0") << "row " << i << ": no gap";
  }
}

TEST_F(ToolWithModule, AcquireDecimatedRateWithTwoByteCodes) {
  // Rate code 48 keeps every 4th group of the module's 4000 per second.
  const ProcessResult r =
      Tool(Join({"acquire", "--rate", "48", "--groups", "300", "--channels", "2", "--code-bytes",
                 "2", "--codes", "--csv", "-"},
                HostArgs(module)));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const Csv csv = ParseCsv(r.out);
  ASSERT_EQ(csv.header, (std::vector<std::string>{"time_s", "ai2_V", "ai2_code", "gap"}));
  ASSERT_EQ(csv.rows.size(), 300u);
  for (size_t i = 0; i < csv.rows.size(); ++i) {
    EXPECT_EQ(std::stod(csv.rows[i][0]), static_cast<double>(i) / 1000.0);
    ASSERT_EQ(std::stoi(csv.rows[i][2]),
              UpperSixteenBits(module.ExpectedCode(2, module.StreamGroupTime(4 * i))))
        << "row " << i;
  }
  EXPECT_NE(r.err.find("groups:          300"), std::string::npos)
      << "the summary moves to stderr when the CSV takes stdout: " << r.err;
}

TEST_F(ToolWithModule, AveragingGivesTheMeanOfEachBlockUnderItsOwnChannel) {
  // Channels 1 and 6, with a gap between them: each channel's block means
  // must come out under that channel, not under its place in the group.
  const int f = 4;
  const ProcessResult r =
      Tool(Join({"acquire", "--rate", "52", "--groups", "400", "--channels", "1,6", "--average",
                 std::to_string(f), "--codes", "--csv", "-"},
                HostArgs(module)));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const Csv csv = ParseCsv(r.out);
  ASSERT_EQ(csv.header, (std::vector<std::string>{"time_s", "ai1_V", "ai1_code", "ai6_V", "ai6_code", "gap"}));
  ASSERT_EQ(csv.rows.size(), 100u);
  for (size_t m = 0; m < csv.rows.size(); ++m) {
    EXPECT_EQ(std::stod(csv.rows[m][0]), static_cast<double>(m * f) / 4000.0);
    for (int k : {1, 6}) {
      int64_t sum = 0;
      for (int i = 0; i < f; ++i) sum += module.ExpectedCode(k, module.StreamGroupTime(m * f + i));
      const double mean = static_cast<double>(sum) / f;
      EXPECT_NEAR(std::stoi(csv.rows[m][Column(csv, "ai" + std::to_string(k) + "_code")]), mean, 1.0)
          << "output " << m << " ai" << k;
    }
  }
}

TEST_F(ToolWithModule, RecordingPlaysBackWithItsSettingsAndGroups) {
  const std::string rec = dir.File("rec");
  const ProcessResult acquired =
      Tool(Join({"acquire", "--rate", "56", "--groups", "1000", "--channels", "1-2", "--counters",
                 "1", "--record", rec},
                HostArgs(module)));
  ASSERT_EQ(acquired.exit_code, 0) << acquired.err;
  const std::string first = FindFirstRecordingFile(rec);
  ASSERT_FALSE(first.empty());
  EXPECT_NE(acquired.out.find(first), std::string::npos) << "the summary names the file";

  const ProcessResult shown = Tool({"play", first});
  ASSERT_EQ(shown.exit_code, 0) << shown.err;
  const auto settings = ReportFields(shown.out);
  EXPECT_GE(std::stol(settings.at("groups")), 1000);
  EXPECT_EQ(settings.at("rate"), "8000 groups/s");
  EXPECT_EQ(settings.at("group"), "bytes     12");
  EXPECT_EQ(settings.at("ai1").substr(0, 3), "on ");
  EXPECT_EQ(settings.at("ai3").substr(0, 3), "off");
  EXPECT_EQ(settings.at("ct1").substr(0, 3), "on ");
  EXPECT_EQ(settings.at("di").substr(0, 3), "off");
  for (const char* key : {"duration", "trigger", "sleep", "ec1", "ct4", "ai8"})
    EXPECT_TRUE(settings.count(key)) << key;

  const std::string csv_path = dir.File("replay.csv");
  const ProcessResult replayed =
      Tool({"play", first, "--from", "100", "--count", "50", "--codes", "--csv", csv_path});
  ASSERT_EQ(replayed.exit_code, 0) << replayed.err;
  EXPECT_NE(replayed.out.find("replayed        groups 100 to 149 (50)"), std::string::npos) << replayed.out;
  const Csv csv = ParseCsv(ReadFile(csv_path));
  ASSERT_EQ(csv.header, (std::vector<std::string>{"time_s", "ai1_V", "ai1_code", "ai2_V", "ai2_code", "ct1",
                                                  "gap"}));
  ASSERT_EQ(csv.rows.size(), 50u);
  for (size_t i = 0; i < csv.rows.size(); ++i) {
    const uint64_t g = 100 + i;
    const double t = module.StreamGroupTime(g);
    EXPECT_EQ(std::stod(csv.rows[i][0]), static_cast<double>(g) / 8000.0);
    EXPECT_EQ(std::stoi(csv.rows[i][2]), module.ExpectedCode(1, t)) << "group " << g;
    EXPECT_EQ(std::stoi(csv.rows[i][4]), module.ExpectedCode(2, t)) << "group " << g;
    EXPECT_EQ(std::stoul(csv.rows[i][5]), module.ExpectedCounter(1, t)) << "group " << g;
    EXPECT_EQ(csv.rows[i][6], "0") << "a recording without gaps";
  }

  // With the CSV on stdout, the settings go to stderr and stdout stays CSV.
  const ProcessResult piped = Tool({"play", first, "--count", "3", "--csv", "-"});
  ASSERT_EQ(piped.exit_code, 0) << piped.err;
  EXPECT_EQ(Lines(piped.out).size(), 4u) << piped.out;
  EXPECT_EQ(Lines(piped.out)[0].rfind("time_s,", 0), 0u);
  EXPECT_NE(piped.err.find("rate            8000 groups/s"), std::string::npos);

  const int64_t total = std::stol(settings.at("groups"));
  const ProcessResult none = Tool({"play", first, "--from", "5", "--count", "0", "--csv", dir.File("none.csv")});
  ASSERT_EQ(none.exit_code, 0) << none.err;
  EXPECT_NE(none.out.find("replayed        nothing"), std::string::npos) << none.out;
  EXPECT_EQ(ParseCsv(ReadFile(dir.File("none.csv"))).rows.size(), 0u);
  const ProcessResult past =
      Tool({"play", first, "--from", "900", "--count", "1000000", "--csv", dir.File("past.csv")});
  ASSERT_EQ(past.exit_code, 0) << past.err;
  EXPECT_NE(past.out.find("runs past the end"), std::string::npos) << past.out;
  EXPECT_NE(past.out.find("groups 900 to " + std::to_string(total - 1)), std::string::npos) << past.out;
  EXPECT_EQ(static_cast<int64_t>(ParseCsv(ReadFile(dir.File("past.csv"))).rows.size()), total - 900);
  EXPECT_EQ(past.out.find("partial group"), std::string::npos) << "a whole recording warns of nothing";

  // The same recording cut 5 bytes short, as a full disk leaves it.
  const std::string cut = dir.File("cut_1.dat");
  std::filesystem::copy_file(first, cut);
  std::filesystem::resize_file(cut, std::filesystem::file_size(cut) - 5);
  const ProcessResult truncated = Tool({"play", cut});
  ASSERT_EQ(truncated.exit_code, 0) << truncated.err;
  EXPECT_NE(truncated.out.find("ends in a partial group (7 of 12 bytes)"), std::string::npos)
      << truncated.out;

  const ProcessResult beyond =
      Tool({"play", first, "--from", "100000000", "--csv", dir.File("beyond.csv")});
  EXPECT_EQ(beyond.exit_code, 2);
  EXPECT_NE(beyond.err.find("--from 100000000 is beyond the recording"), std::string::npos);
  EXPECT_FALSE(FileExists(dir.File("beyond.csv")));
}

TEST_F(ToolWithModule, LostDataConnectionKeepsEveryGroupAndSaysTheCsvIsIncomplete) {
  // 500 groups of 32 bytes, then the module closes the data connection.
  module.InjectDataFault(sim::DataFault::CloseAfter(500 * 32));
  const std::string csv_path = dir.File("out.csv");
  const ProcessResult r = Tool(
      Join({"acquire", "--rate", "52", "--groups", "100000", "--csv", csv_path}, HostArgs(module)));
  EXPECT_EQ(r.exit_code, 3) << r.err;
  EXPECT_NE(r.out.find("data connection: lost"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("the module closed the data connection after 500 groups"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(csv_path + " (incomplete: the run ended early)"), std::string::npos) << r.out;
  EXPECT_FALSE(FileExists(csv_path + ".partial"));
  EXPECT_EQ(ParseCsv(ReadFile(csv_path)).rows.size(), 500u);
}

TEST_F(ToolWithModule, ReconnectMarksTheGapInTheCsvTheMetadataAndTheSummary) {
  // 500 groups of channel 1 (4 bytes each), then the module drops the stream once.
  module.InjectDataFault(sim::DataFault::CloseAfter(500 * 4));
  const std::string csv_path = dir.File("out.csv");
  const std::string rec = dir.File("rec");
  const ProcessResult r =
      Tool(Join({"acquire", "--rate", "52", "--channels", "1", "--groups", "2000", "--reconnect=10",
                 "--codes", "--csv", csv_path, "--record", rec},
                HostArgs(module)));
  EXPECT_EQ(r.exit_code, 3) << "groups of the span are missing: " << r.out << r.err;
  EXPECT_NE(r.out.find("data connection: kept"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("reconnects 1,"), std::string::npos) << r.out;
  const auto fields = ReportFields(r.out);
  ASSERT_TRUE(fields.count("gaps:")) << r.out;
  EXPECT_EQ(fields.at("gaps:").rfind("1 (", 0), 0u) << r.out;
  // The span was taken: the file is short by the gap, not cut off.
  EXPECT_NE(r.out.find(csv_path + " (incomplete: groups are missing in the gaps)"), std::string::npos)
      << r.out;

  const Csv csv = ParseCsv(ReadFile(csv_path));
  ASSERT_EQ(csv.header.back(), "gap");
  ASSERT_EQ(csv.rows.size(), 2000u);
  const size_t gap = Column(csv, "gap");
  long csv_missing = 0;
  for (size_t i = 0; i < csv.rows.size(); ++i) {
    const long missing = std::stol(csv.rows[i][gap]);
    if (i != 500) {
      ASSERT_EQ(missing, 0) << "row " << i;
      continue;
    }
    ASSERT_GT(missing, 0) << "the first group after the drop carries the gap";
    csv_missing = missing;
    EXPECT_EQ(std::stod(csv.rows[i][0]), static_cast<double>(500 + missing) / 4000.0)
        << "its time counts the missing groups";
    EXPECT_NE(fields.at("gaps:").find("(" + std::to_string(missing) + " groups missing"), std::string::npos);
  }
  const std::string json = ReadFile(FindFirstRecordingFile(rec).replace(FindFirstRecordingFile(rec).size() - 4, 4, ".json"));
  // The library's sidecar: the one gap at its place in the recording, as
  // long as the CSV says, and the tool's own fields beside it.
  const std::regex one_gap(R"re("gaps": \[\s*\{"number": 0, "position": 500, "index": 500, "missing": (\d+), "cause": "link lost", "estimated": true\}\s*\])re");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(json, m, one_gap)) << json;
  EXPECT_EQ(std::stol(m[1]), csv_missing);
  EXPECT_NE(json.find("\"reconnect_ms\": 10000"), std::string::npos) << json;
  EXPECT_NE(json.find("\"complete\": true"), std::string::npos) << json;
}

TEST_F(ToolWithModule, RateTakesACodeOrAGroupRate) {
  for (const auto& [given, code] : std::vector<std::pair<std::string, int>>{
           {"52", 52}, {"8k", 56}, {"1000", 48}, {"256000", 8}, {"16K", 16}}) {
    const ProcessResult r =
        Tool(Join({"acquire", "--rate", given, "--groups", "8", "--channels", "1", "--csv", "-"},
                  HostArgs(module)));
    ASSERT_EQ(r.exit_code, 0) << given << ": " << r.err;
    EXPECT_NE(r.err.find("(rate code " + std::to_string(code) + ":"), std::string::npos)
        << given << ": " << r.err;
  }
}

// ---- built-in module, demo and the sim subcommand ----------------------------------

TEST(ToolBuiltinModule, InfoWithoutHostStartsOneAndSaysSo) {
  const ProcessResult r = Tool({"info"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("built-in simulated module"), std::string::npos);
  const auto fields = ReportFields(r.out);
  for (int k = 1; k <= 8; ++k) {
    std::istringstream in(fields.at("ai" + std::to_string(k)));
    int32_t code = 0;
    double volts = 0.0;
    in >> code >> volts;
    const sim::ChannelSignal signal = sim::DefaultSignal(k);
    EXPECT_LE(std::fabs(volts - signal.dc_volts), signal.amplitude_volts + 1e-3) << "ai" << k;
  }
}

TEST(ToolDemo, ReplayOfTheRecordingMatchesTheLiveGroups) {
  TempDir dir;
  const ProcessResult r = Tool({"demo", "--seconds", "0.5", "--rate", "52", "--keep", dir.path});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("replay matches: yes"), std::string::npos) << r.out;
  const auto summary = ReportFields(r.out);
  EXPECT_GE(std::stol(summary.at("groups:")), 2000) << "0.5 s at 4000 groups/s, and what came before the stop";
  EXPECT_NE(r.out.find("lost groups:     0"), std::string::npos) << r.out;
  EXPECT_FALSE(FindFirstRecordingFile(dir.path).empty());
}

TEST(ToolSimCommand, ServesAModuleUntilInterrupted) {
  RunningProcess sim_process =
      StartProcess({kTool, "sim", "--dc", "1-2=0.25", "--amplitude", "1,2=0"});
  const SimulatorPorts ports = ParsePortLine(ReadLine(sim_process, std::chrono::seconds(20)));
  ASSERT_FALSE(ports.command.empty()) << "no port line";

  const ProcessResult r =
      Tool({"info", "--host", "localhost", "--port", ports.command, "--data-port", ports.data});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const auto fields = ReportFields(r.out);
  for (const char* channel : {"ai1", "ai2"}) {
    std::istringstream in(fields.count(channel) ? fields.at(channel) : "");
    int32_t code = 0;
    double volts = 0.0;
    in >> code >> volts;
    EXPECT_NEAR(volts, 0.25, 1e-6) << channel << ": --dc and --amplitude set a flat 0.25 V";
  }
  EXPECT_EQ(StopProcess(sim_process, SIGINT, std::chrono::seconds(20)), 0);
}

// kr2270 sim and kr2270-sim are one interface: the same options, the same
// port line, the same fault signals with the same effects.
TEST(ToolSimCommand, IsTheSameInterfaceAsTheStandAloneSimulator) {
  const std::vector<std::vector<std::string>> programs = {{kTool, "sim"}, {KR2270_SIM_PATH}};
  std::vector<std::string> helps;
  for (const auto& program : programs) {
    helps.push_back(RunProcess(Join(program, {"--help"})).out);
    RunningProcess sim_process =
        StartProcess(Join(program, {"--sequence", "--stall-ms", "100"}), true);
    const SimulatorPorts ports = ParsePortLine(ReadLine(sim_process, std::chrono::seconds(20)));
    ASSERT_FALSE(ports.command.empty()) << program[0] << " printed no port line";
    const std::pair<int, const char*> faults[] = {{SIGHUP, ": restarted (a power cycle"},
                                                  {SIGUSR1, ": data connection closed"},
                                                  {SIGUSR2, ": stream stalled"}};
    for (const auto& [signal_number, said] : faults) {
      kill(sim_process.pid, signal_number);
      const std::string line = ReadErrorLine(sim_process, std::chrono::seconds(20));
      EXPECT_NE(line.find(said), std::string::npos) << program[0] << ": " << line;
      const ProcessResult probe =
          Tool({"info", "--host", "127.0.0.1", "--port", ports.command, "--data-port", ports.data});
      EXPECT_EQ(probe.exit_code, 0) << program[0] << " serves on after " << said << probe.err;
    }
    EXPECT_EQ(StopProcess(sim_process, SIGINT, std::chrono::seconds(20)), 0) << program[0];
  }
  // The same option table, whichever program shows it.
  const auto options_of = [](const std::string& help) {
    std::vector<std::string> options;
    for (const std::string& line : Lines(help)) {
      const auto at = line.find("--");
      if (at != std::string::npos && line.find_first_not_of(' ') == at)
        options.push_back(line.substr(at, line.find(' ', at) - at));
    }
    return options;
  };
  EXPECT_EQ(options_of(helps[0]), options_of(helps[1]));
  EXPECT_GE(options_of(helps[0]).size(), 11u);
}

}  // namespace
}  // namespace kr2270::testing
