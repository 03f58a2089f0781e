// kr2270 demo: acquire a few seconds of every channel type while recording,
// replay the recording and check that it matches what was received live.
#include <CLI/CLI.hpp>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>

#include "run/acquisition.h"
#include "app/commands.h"
#include "app/connection.h"
#include "system/console.h"
#include "run/playback.h"
#include "output/recording_files.h"
#include "app/report.h"
#include "system/system.h"

namespace fs = std::filesystem;

namespace kr2270::tool {
namespace {

struct DemoOptions {
  ConnectionOptions connection;
  double seconds = 2.0;
  std::string rate = "24";
  std::string keep_dir;
};

AcquisitionPlan DemoPlan(const DemoOptions& o) {
  const std::optional<RateInfo> rate = ParseRate(o.rate);
  AcquisitionPlan plan;
  StreamSelection& s = plan.selection;
  s.analog.fill(true);
  s.digital = true;
  s.counters.fill(true);
  s.encoders.fill(true);
  s.group_rate = rate->group_rate;
  plan.rate_code = rate->code;
  plan.transfer_bytes = DefaultTransferBytes(GroupBytes(s), *rate);
  plan.target = std::max<std::int64_t>(1, std::llround(o.seconds * rate->group_rate));
  return plan;
}

// A fresh directory under $TMPDIR, removed again unless --keep was given.
struct DemoDirectory {
  std::string path;
  bool keep = false;
  ~DemoDirectory() {
    std::error_code error;
    if (!keep && !path.empty()) fs::remove_all(path, error);
  }
};

void MakeDemoDirectory(DemoDirectory& dir, const std::string& keep_dir) {
  if (!keep_dir.empty()) {
    PrepareRecordingDirectory(keep_dir);
    dir.path = keep_dir;
    dir.keep = true;
    return;
  }
  dir.path = MakeTemporaryDirectory("kr2270-demo-");
  if (dir.path.empty())
    Fail("cannot make a temporary directory in " + fs::temp_directory_path().string());
}

template <typename T>
std::optional<std::int64_t> FirstDifference(const std::vector<T>& a, const std::vector<T>& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return static_cast<std::int64_t>(i);
  if (a.size() != b.size()) return static_cast<std::int64_t>(n);
  return std::nullopt;
}

// Empty when the replay holds exactly the live groups, else where it differs.
std::string CompareStores(const StreamSelection& s, const GroupStore& live, const GroupStore& replay) {
  if (live.count != replay.count)
    return std::to_string(live.count) + " groups live, " + std::to_string(replay.count) + " replayed";
  const auto at = [](const std::string& name, std::int64_t i) {
    return name + " differs at group " + std::to_string(i);
  };
  if (auto i = FirstDifference(live.index, replay.index)) return at("the timeline index", *i);
  for (std::size_t k = 0; k < kAnalogChannels; ++k)
    if (s.analog[k])
      if (auto i = FirstDifference(live.analog[k], replay.analog[k])) return at("ai" + std::to_string(k + 1), *i);
  if (s.digital)
    if (auto i = FirstDifference(live.digital, replay.digital)) return at("di", *i);
  for (std::size_t k = 0; k < kCounters; ++k)
    if (s.counters[k])
      if (auto i = FirstDifference(live.counters[k], replay.counters[k])) return at("ct" + std::to_string(k + 1), *i);
  for (std::size_t k = 0; k < kEncoders; ++k)
    if (s.encoders[k])
      if (auto i = FirstDifference(live.encoders[k], replay.encoders[k])) return at("ec" + std::to_string(k + 1), *i);
  return {};
}

GroupStore ReplayAll(const std::string& first_file) {
  DeviceHandle device = OpenRecording(first_file);
  const RecordedSettings settings = ReadRecordedSettings(device.get());
  const StreamSelection selection = SelectionOfRecording(settings);
  GroupStore replay;
  ReplayRecording(device.get(), selection, 0, static_cast<std::int64_t>(settings.groups),
                  {nullptr, &replay});
  return replay;
}

int RunDemo(const DemoOptions& o) {
  SetQuitOnInterrupt(true);
  AcquisitionPlan plan = DemoPlan(o);
  DemoDirectory dir;
  MakeDemoDirectory(dir, o.keep_dir);
  plan.record_dir = dir.path;

  std::printf("demo: %g s at rate code %d (%.0f groups/s) of 8 analog channels, the digital "
              "inputs, 4 counters and 2 encoders, recorded to %s\n",
              o.seconds, plan.rate_code, plan.selection.group_rate, dir.path.c_str());
  std::fflush(stdout);
  GroupStore live;
  AcquisitionResult result;
  {
    Connection connection = Connect(o.connection);
    plan.module = AddressOf(connection);
    ConfigureAcquisition(connection.device.get(), plan, connection.timeout_ms);
    result = RunAcquisition(connection.device.get(), plan, connection.timeout_ms,
                            {nullptr, &live}, true);
  }
  if (result.recording.empty()) Fail("the recording wrote no first file (..._1.dat)");
  const std::vector<WrittenFile> files = FilesOfRecording(result.recording, result.sidecar);
  SetQuitOnInterrupt(true);
  const std::string mismatch = CompareStores(plan.selection, live, ReplayAll(result.recording));

  RunSummary summary{&plan, &result, DescribeFiles(files)};
  if (!dir.keep) summary.files.push_back("(temporary: removed at exit)");
  PrintRunSummary(stdout, summary);
  std::printf("replay matches: %s\n", mismatch.empty() ? "yes" : ("no: " + mismatch).c_str());
  const int status = ExitCodeOf(result);
  if (status != kExitOk) return status;
  return mismatch.empty() ? kExitOk : kExitDataLost;
}

}  // namespace

Command AddDemoCommand(CLI::App& app) {
  auto options = std::make_shared<DemoOptions>();
  DemoOptions& o = *options;
  CLI::App* cmd = app.add_subcommand(
      "demo", "acquire every channel type while recording, replay and compare (built-in module)");
  AddConnectionOptions(*cmd, o.connection);
  cmd->add_option("--seconds", o.seconds, "seconds of stream")
      ->check(CLI::Range(0.001, 3600.0))
      ->capture_default_str();
  cmd->add_option("--rate", o.rate, "rate code or group rate: " + RateTable())
      ->type_name("RATE")
      ->capture_default_str();
  cmd->add_option("--keep", o.keep_dir, "record into DIR and keep the files")->type_name("DIR");
  return {cmd, [options] { return RunDemo(*options); }};
}

}  // namespace kr2270::tool
