// The recording writer and playback beside dd on the same disk, in the same
// rounds: into the page cache, with a final sync, and reading back.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <mutex>

#include "bench_util.h"
#include "device/device.h"
#include "recording/recording.h"
#include "sections.h"
#include "stream_consumer.h"

namespace kr2270::bench {
namespace {

// Whole groups just under 1 MiB: the block is appended again and again, and
// recorded group i carries pattern index i mod kBlockGroups.
constexpr std::uint32_t kBlockGroups = 18078;
// Playback reads 10 ms of the highest load at a time, the rhythm of live data.
constexpr std::uint32_t kReadGroups = 2560;
constexpr double kMiB = 1048576.0;

struct RecordingRun {
  double bytes_per_second = kNone;
  std::string path;
};

std::vector<std::uint8_t> PatternBlock() {
  const sim::StreamLayout layout = FullLayout();
  std::vector<std::uint8_t> block(kBlockGroups * sim::GroupSize(layout));
  std::uint8_t* out = block.data();
  for (std::uint32_t g = 0; g < kBlockGroups; ++g) out = sim::WriteSequenceGroup(layout, g, out);
  return block;
}

bool SyncFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

// Appends the block `blocks` times as the receiver thread does, under the
// file lock, from the open to the close (and the sync).
RecordingRun WriteRecording(KR2270Device* device, const std::string& dir,
                            const std::vector<std::uint8_t>& block, int blocks, bool sync) {
  RecordingRun run;
  const double t0 = NowSeconds();
  if (KR2270_DFWOpen(device, dir.c_str(), 0) != 0) return run;
  bool ok = true;
  {
    std::lock_guard<std::mutex> hold(device->file_lock);
    for (int i = 0; i < blocks && ok; ++i) {
      ok = AppendRecording(device, block.data(), static_cast<std::int32_t>(block.size())) == 0;
    }
    run.path = device->writer.path;
  }
  ok = KR2270_DFWClose(device) == 0 && ok;
  if (sync) ok = SyncFile(run.path) && ok;
  const double t1 = NowSeconds();
  if (ok) run.bytes_per_second = static_cast<double>(block.size()) * blocks / (t1 - t0);
  return run;
}

// Replays the recording kReadGroups groups at a time through the split;
// checks the ends of every split against the pattern outside the timing.
double PlayBack(const std::string& path, std::uint64_t expected_groups, Report& report) {
  KR2270Device* device = KR2270_DeviceCreate();
  if (device == nullptr) return kNone;
  std::vector<std::uint32_t> counter(kReadGroups);
  std::uint64_t groups = 0;
  std::uint64_t off_pattern = 0;
  double checking = 0.0;
  const double t0 = NowSeconds();
  if (KR2270_DFROpen(device, path.c_str(), 0) == 0) {
    for (;;) {
      std::int32_t read = 0;
      const std::int32_t status = KR2270_DFRRead(device, static_cast<double>(groups),
                                                 static_cast<std::int32_t>(kReadGroups), &read);
      if (status != 0 || read <= 0) break;
      const std::int32_t k = KR2270_HcCodeSplit(device, read);
      if (k <= 0) break;
      const double c0 = NowSeconds();
      KR2270_HcCodeGetCt(device, 1, counter.data());
      const auto last = static_cast<std::size_t>(k - 1);
      if (counter[0] != sim::SequenceCounter(groups % kBlockGroups, 1) ||
          counter[last] != sim::SequenceCounter((groups + last) % kBlockGroups, 1)) {
        ++off_pattern;
      }
      checking += NowSeconds() - c0;
      groups += static_cast<std::uint64_t>(k);
    }
    KR2270_DFRClose(device);
  }
  const double seconds = NowSeconds() - t0 - checking;
  KR2270_DeviceClose(device);
  if (groups != expected_groups || off_pattern != 0) {
    report.notes.push_back("Playback: " + std::to_string(groups) + " of " +
                           std::to_string(expected_groups) + " groups, " +
                           std::to_string(off_pattern) + " splits off the pattern");
    return kNone;
  }
  return static_cast<double>(groups) * 58.0 / seconds;
}

double Dd(const std::vector<std::string>& argv) {
  double rate = kNone;
  const ProcessResult run = RunProcess(argv);
  if (run.exit_status != 0 || !ParseDdRate(run.output, &rate)) return kNone;
  return rate;
}

}  // namespace

void RunRecordingSection(const Config& config, Report& report) {
  const std::string dir = config.temp_dir + "/recording";
  mkdir(dir.c_str(), 0755);
  KR2270Device* writer = KR2270_DeviceCreate();
  if (writer == nullptr) return;
  UseFullLayout(writer, 8);
  const std::vector<std::uint8_t> block = PatternBlock();
  const int blocks = std::max(32, static_cast<int>(256 * config.scale));
  const int rounds = config.scale >= 1.0 ? 3 : 1;
  const std::string dd_file = dir + "/dd.bin";
  const std::string count = "count=" + std::to_string(blocks);
  std::vector<double> dd_cache, writer_cache, dd_sync, writer_sync, dd_read, playback;
  for (int r = 0; r < rounds; ++r) {
    dd_cache.push_back(Dd({"dd", "if=/dev/zero", "of=" + dd_file, "bs=1M", count}));
    unlink(dd_file.c_str());
    RecordingRun cached = WriteRecording(writer, dir, block, blocks, false);
    writer_cache.push_back(cached.bytes_per_second);
    unlink(cached.path.c_str());

    dd_sync.push_back(Dd({"dd", "if=/dev/zero", "of=" + dd_file, "bs=1M", count, "conv=fsync"}));
    unlink(dd_file.c_str());
    RecordingRun synced = WriteRecording(writer, dir, block, blocks, true);
    writer_sync.push_back(synced.bytes_per_second);

    // The synced recording is clean in the page cache: both read it from there.
    dd_read.push_back(Dd({"dd", "if=" + synced.path, "of=/dev/null", "bs=1M"}));
    playback.push_back(PlayBack(
        synced.path, std::uint64_t{kBlockGroups} * static_cast<std::uint64_t>(blocks), report));
    unlink(synced.path.c_str());
  }
  KR2270_DeviceClose(writer);
  rmdir(dir.c_str());

  const auto mb = [](const std::vector<double>& rates) { return Median(rates) / 1e6; };
  const std::string size = std::to_string(blocks) + " MiB";
  report.rows.push_back({"Recording writer into the page cache (" + size + ")", mb(writer_cache),
                         "MB/s", "dd bs=1M", mb(dd_cache), Bound::kAtLeast, GoalOn::kRatio, 0.6});
  report.rows.push_back({"Recording writer with a final sync", mb(writer_sync), "MB/s",
                         "dd bs=1M conv=fsync", mb(dd_sync), Bound::kAtLeast, GoalOn::kRatio, 0.9});
  report.rows.push_back({"Playback (KR2270_DFRRead + split) from the page cache", mb(playback),
                         "MB/s", "dd bs=1M reading it", mb(dd_read), Bound::kAtLeast,
                         GoalOn::kRatio, 0.5});
  char note[160];
  std::snprintf(note, sizeof note,
                "Recording: %d rounds, medians; blocks of %u groups (%.3f MiB) appended as the "
                "receiver does; playback reads and splits %u groups at a time",
                rounds, kBlockGroups, static_cast<double>(block.size()) / kMiB, kReadGroups);
  report.notes.push_back(note);
}

}  // namespace kr2270::bench
