// kr2270 play: show a recording's settings and timeline, and replay it to
// CSV.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "app/commands.h"
#include "output/csv.h"
#include "run/playback.h"
#include "output/metadata.h"
#include "output/recording_files.h"
#include "app/report.h"
#include "system/system.h"

namespace kr2270::tool {
namespace {

struct PlayOptions {
  std::string path;
  std::int64_t from = 0;
  std::int64_t count = -1;
  std::string csv_path;
  bool codes = false;
  bool overwrite = false;
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
  const KR2270ConversionSettings& c = s.first;
  for (std::size_t k = 0; k < kAnalogChannels; ++k)
    std::fprintf(out,
                 "ai%-2zu            %s range %u%s (%g V)  zero %d  full %d  end mode %d\n", k + 1,
                 OnOff((s.analog[k] & 1) != 0), c.range_code[k], c.extended_range[k] ? " ex" : "",
                 c.full_scale[k], c.zero_code[k], c.full_code[k], s.end_mode[k]);
  std::fprintf(out, "di              %s\n", OnOff((s.digital & 1) != 0));
  for (std::size_t k = 0; k < kCounters; ++k)
    std::fprintf(out, "ct%zu             %s mode %d  base %g ms\n", k + 1,
                 OnOff((s.counters[k] & 1) != 0), c.counter_mode[k], c.counter_base_ms[k]);
  for (std::size_t k = 0; k < kEncoders; ++k)
    std::fprintf(out, "ec%zu             %s\n", k + 1, OnOff((s.encoders[k] & 1) != 0));
  std::fprintf(out, "trigger         enable %d  mode %d  count %d\n", s.trigger_enable,
               s.trigger_mode, s.trigger_count);
  std::fprintf(out, "sleep           %d %d\n", s.sleep[0], s.sleep[1]);
}

// "2026-12-07T10:00:00.123456789Z", trailing zeros of the fraction dropped.
std::string UtcTextOf(std::int64_t unix_ns) {
  using namespace std::chrono;
  const sys_time<nanoseconds> moment{nanoseconds{unix_ns}};
  const auto day = floor<days>(moment);
  const year_month_day date{day};
  const hh_mm_ss<nanoseconds> time{moment - day};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%09lld", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()),
                static_cast<long long>(time.subseconds().count()));
  std::string out = text;
  while (out.back() == '0') out.pop_back();
  if (out.back() == '.') out.pop_back();
  return out + "Z";
}

const char* SourceName(std::int32_t source) {
  switch (source) {
    case 2: return "from its sidecar";
    case 3: return "no sidecar: positions are its indices, the start is not known";
    case 4: return "its sidecar could not be read: positions are its indices";
    default: return "unknown";
  }
}

// Gaps listed one a line, up to this many; the count gives the rest.
constexpr std::size_t kGapsShown = 20;

void PrintTimeline(std::FILE* out, const RecordedTimeline& t, double rate) {
  const KR2270Timeline& line = t.timeline;
  std::fprintf(out, "timeline        %s%s\n", SourceName(line.source),
               line.source == 2 && line.complete == 0 ? " (not closed orderly)" : "");
  if (line.start_unix_ns != 0)
    std::fprintf(out, "start           %s (index 0)\n", UtcTextOf(line.start_unix_ns).c_str());
  std::fprintf(out, "indices         %llu to %llu\n", static_cast<unsigned long long>(line.first_index),
               static_cast<unsigned long long>(line.next_index == 0 ? 0 : line.next_index - 1));
  std::fprintf(out, "gaps            %llu (%llu groups missing)\n",
               static_cast<unsigned long long>(line.gaps),
               static_cast<unsigned long long>(line.missing_groups));
  for (std::size_t g = 0; g < t.gaps.size() && g < kGapsShown; ++g) {
    const KR2270GapRecord& gap = t.gaps[g];
    std::fprintf(out, "gap %-11llu before group %llu: %llu groups missing from %.6f s (index %llu), %s%s\n",
                 static_cast<unsigned long long>(gap.number),
                 static_cast<unsigned long long>(gap.position),
                 static_cast<unsigned long long>(gap.missing),
                 rate > 0.0 ? static_cast<double>(gap.index) / rate : 0.0,
                 static_cast<unsigned long long>(gap.index), GapCauseName(gap.cause),
                 gap.estimated != 0 ? ", estimated" : "");
  }
  if (t.gaps.size() > kGapsShown)
    std::fprintf(out, "                ... %zu more\n", t.gaps.size() - kGapsShown);
  for (std::size_t k = 1; k < t.settings.size(); ++k)
    std::fprintf(out, "settings %-6llu from group %llu (index %llu)\n",
                 static_cast<unsigned long long>(t.settings[k].number),
                 static_cast<unsigned long long>(t.settings[k].position),
                 static_cast<unsigned long long>(t.settings[k].index));
}

// The span of groups to replay: a --count that runs past the end is cut to
// the end, with a note.
std::int64_t CountToReplay(const PlayOptions& o, std::int64_t total, std::FILE* report) {
  if (o.from > total)
    FailUsage("--from " + std::to_string(o.from) + " is beyond the recording's " +
              std::to_string(total) + " groups");
  const std::int64_t left = total - o.from;
  if (o.count > left) {
    std::fprintf(report, "note            --count %lld runs past the end: replaying the %lld groups from group %lld\n",
                 static_cast<long long>(o.count), static_cast<long long>(left),
                 static_cast<long long>(o.from));
    return left;
  }
  return o.count < 0 ? left : o.count;
}

void ReportReplayed(std::FILE* report, std::int64_t from, std::int64_t replayed, const std::string& to) {
  if (replayed == 0) {
    std::fprintf(report, "replayed        nothing (no groups asked for) into %s\n", to.c_str());
    return;
  }
  std::fprintf(report, "replayed        groups %lld to %lld (%lld) into %s\n", static_cast<long long>(from),
               static_cast<long long>(from + replayed - 1), static_cast<long long>(replayed), to.c_str());
}

void ReplayToCsv(KR2270Device* device, const PlayOptions& o, const RecordedSettings& settings,
                 const RecordedTimeline& timeline, std::FILE* report) {
  const StreamSelection selection = SelectionOfRecording(settings);
  if (settings.group_rate <= 0.0) Fail("cannot replay: the recording's rate is unknown");
  if (settings.group_bytes <= 0) Fail("cannot replay: the recording streams no channel");
  const std::int64_t count = CountToReplay(o, static_cast<std::int64_t>(settings.groups), report);
  auto csv = OpenCsv(o.csv_path, o.codes, o.overwrite);
  RemoveOnQuit(csv->partial);
  WriteCsvHeader(*csv, selection);
  // The first row's gap is the recorded one before it: its index less the
  // groups missing there.
  csv->next_index.reset();
  csv->missing_before_first = MissingBefore(timeline, o.from);
  const std::int64_t replayed = ReplayRecording(device, selection, o.from, count, {csv.get(), nullptr});
  csv->keep = true;
  if (const int error = FinishCsv(*csv); error != 0)
    Fail("writing " + o.csv_path + " failed: " + SystemErrorText(error));
  ReportReplayed(report, o.from, replayed, o.csv_path);
}

// A recording whose data does not end on a group boundary was cut short
// (a full disk, a crash): its last group is incomplete and is not replayed.
void WarnOfPartialGroup(std::FILE* report, const std::string& path, int group_bytes) {
  const RecordingOnDisk disk = MeasureRecording(path, group_bytes);
  if (disk.partial_bytes == 0) return;
  std::fprintf(report,
               "warning         the recording ends in a partial group (%lld of %d bytes): its last "
               "file is truncated\n",
               static_cast<long long>(disk.partial_bytes), group_bytes);
}

// The fields the recording application added to the sidecar (the tool's:
// the module, what was asked for, how the run ended).
void PrintApplicationFields(std::FILE* report, const std::string& path) {
  const std::string sidecar = MetadataPathOf(path);
  std::ifstream in(Utf8Path(sidecar), std::ios::binary);
  if (!in) return;
  std::ostringstream text;
  text << in.rdbuf();
  std::fprintf(report, "sidecar         %s\n", sidecar.c_str());
  const std::string fields = ApplicationFieldsOf(text.str());
  if (fields.empty() || fields == "{}") return;
  std::fprintf(report, "application     %s\n", fields.c_str());
}

int RunPlay(const PlayOptions& o) {
  SetQuitOnInterrupt(true);
  if (o.csv_path.empty() && (o.from != 0 || o.count >= 0))
    FailUsage("--from and --count choose groups to replay: give --csv FILE as well");
  DeviceHandle device = OpenRecording(o.path);
  const RecordedSettings settings = ReadRecordedSettings(device.get());
  const RecordedTimeline timeline = ReadRecordedTimeline(device.get());
  std::FILE* report = ReportStream(o.csv_path);
  PrintSettings(report, o.path, settings);
  WarnOfPartialGroup(report, o.path, settings.group_bytes);
  PrintTimeline(report, timeline, settings.group_rate);
  PrintApplicationFields(report, o.path);
  if (!o.csv_path.empty()) ReplayToCsv(device.get(), o, settings, timeline, report);
  return kExitOk;
}

}  // namespace

Command AddPlayCommand(CLI::App& app) {
  auto options = std::make_shared<PlayOptions>();
  PlayOptions& o = *options;
  CLI::App* cmd =
      app.add_subcommand("play", "show a recording's settings and timeline, replay it to CSV");
  cmd->add_option("FILE", o.path, "first file of the recording (..._1.dat)")->required();
  cmd->add_option("--from", o.from, "first group to replay")->check(NonNegativeNumber());
  cmd->add_option("--count", o.count, "number of groups to replay (default: to the end)")
      ->check(NonNegativeNumber());
  cmd->add_option("--csv", o.csv_path, "replay into FILE (- for standard output)")->type_name("FILE");
  cmd->add_flag("--codes", o.codes, "add the raw code of each analog channel to the CSV");
  cmd->add_flag("--overwrite", o.overwrite, "replace the --csv FILE when it exists");
  return {cmd, [options] { return RunPlay(*options); }};
}

}  // namespace kr2270::tool
