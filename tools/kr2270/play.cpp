// kr2270 play: show a recording's settings and replay it to CSV.
#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <memory>

#include "commands.h"
#include "csv.h"
#include "playback.h"
#include "report.h"

namespace kr2270::tool {
namespace {

struct PlayOptions {
  std::string path;
  std::int64_t from = 0;
  std::int64_t count = -1;
  std::string csv_path;
  bool codes = false;
};

const char* OnOff(bool on) { return on ? "on " : "off"; }

void PrintSettings(std::FILE* out, const std::string& path, const RecordedSettings& s) {
  std::fprintf(out, "recording       %s\n", path.c_str());
  if (s.group_rate > 0.0)
    std::fprintf(out, "rate            %.0f groups/s\n", s.group_rate);
  else
    std::fprintf(out, "rate            unknown (the recorded rate code is not in the table)\n");
  std::fprintf(out, "groups          %.0f\n", s.groups);
  std::fprintf(out, "duration        %.6f s\n", s.seconds);
  std::fprintf(out, "group bytes     %d\n", s.group_bytes);
  for (std::size_t k = 0; k < kAnalogChannels; ++k)
    std::fprintf(out,
                 "ai%-2zu            %s range %u (%g V)  zero %d  full %d  end mode %d\n", k + 1,
                 OnOff((s.analog[k] & 1) != 0), s.range[k], s.full_scale[k], s.zero[k], s.full[k],
                 s.end_mode[k]);
  std::fprintf(out, "di              %s\n", OnOff((s.digital & 1) != 0));
  for (std::size_t k = 0; k < kCounters; ++k)
    std::fprintf(out, "ct%zu             %s mode %d  base %g ms\n", k + 1,
                 OnOff((s.counters[k] & 1) != 0), s.counter_modes[k], s.counter_base_ms[k]);
  for (std::size_t k = 0; k < kEncoders; ++k)
    std::fprintf(out, "ec%zu             %s\n", k + 1, OnOff((s.encoders[k] & 1) != 0));
  std::fprintf(out, "trigger         enable %d  mode %d  count %d\n", s.trigger_enable,
               s.trigger_mode, s.trigger_count);
  std::fprintf(out, "sleep           %d %d\n", s.sleep[0], s.sleep[1]);
}

// The span of groups to replay, checked against the recording's length.
std::int64_t CheckedCount(const PlayOptions& o, std::int64_t total) {
  if (o.from > total)
    FailUsage("--from " + std::to_string(o.from) + " is beyond the recording's " +
              std::to_string(total) + " groups");
  const std::int64_t left = total - o.from;
  if (o.count > left)
    FailUsage("--count " + std::to_string(o.count) + " runs past the end: " + std::to_string(left) +
              " groups from group " + std::to_string(o.from));
  return o.count < 0 ? left : o.count;
}

void ReplayToCsv(KR2270Device* device, const PlayOptions& o, const RecordedSettings& settings,
                 std::FILE* report) {
  const StreamSelection selection = SelectionOfRecording(settings);
  if (settings.group_rate <= 0.0) Fail("cannot replay: the recording's rate is unknown");
  if (settings.group_bytes <= 0) Fail("cannot replay: the recording streams no channel");
  const std::int64_t count = CheckedCount(o, static_cast<std::int64_t>(settings.groups));
  auto csv = OpenCsv(o.csv_path, o.codes);
  WriteCsvHeader(*csv, selection);
  const std::int64_t replayed = ReplayRecording(device, selection, o.from, count, {csv.get(), nullptr});
  CommitCsv(*csv);
  std::fprintf(report, "replayed        groups %lld to %lld into %s\n", static_cast<long long>(o.from),
               static_cast<long long>(o.from + replayed), o.csv_path.c_str());
}

int RunPlay(const PlayOptions& o) {
  if (o.csv_path.empty() && (o.from != 0 || o.count >= 0))
    FailUsage("--from and --count choose groups to replay: give --csv FILE as well");
  DeviceHandle device = OpenRecording(o.path);
  const RecordedSettings settings = ReadRecordedSettings(device.get());
  std::FILE* report = ReportStream(o.csv_path);
  PrintSettings(report, o.path, settings);
  if (!o.csv_path.empty()) ReplayToCsv(device.get(), o, settings, report);
  return kExitOk;
}

}  // namespace

Command AddPlayCommand(CLI::App& app) {
  auto options = std::make_shared<PlayOptions>();
  PlayOptions& o = *options;
  CLI::App* cmd = app.add_subcommand("play", "show a recording's settings and replay it to CSV");
  cmd->add_option("FILE", o.path, "first file of the recording (..._1.dat)")->required();
  cmd->add_option("--from", o.from, "first group to replay")->check(CLI::NonNegativeNumber);
  cmd->add_option("--count", o.count, "number of groups to replay (default: to the end)")
      ->check(CLI::NonNegativeNumber);
  cmd->add_option("--csv", o.csv_path, "replay into FILE (- for standard output)")->type_name("FILE");
  cmd->add_flag("--codes", o.codes, "add the raw code of each analog channel to the CSV");
  return {cmd, [options] { return RunPlay(*options); }};
}

}  // namespace kr2270::tool
