// The recording writer: the receiver thread appends each completed block; the
// header goes in front of the first block of every file.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "device/export.h"
#include "device/lifecycle.h"
#include "acquisition/group_layout.h"
#include "acquisition/timeline.h"
#include "recording/header.h"
#include "recording/json.h"
#include "recording/recording.h"
#include "recording/sidecar.h"

namespace kr2270 {
namespace {

constexpr std::size_t kIoBufferBytes = std::size_t{1} << 20;
constexpr std::int32_t kMaxDirectoryBytes = 259;
// Recordings begun within one second get "-2", "-3" ... on their time stamp.
constexpr int kMaxStampAttempts = 1000;
// The sidecar is rewritten at least this often while groups arrive, and
// never so often that the rewrites take more than a twentieth of the time.
constexpr std::int64_t kSidecarIntervalNs = 2000000000;
constexpr std::int64_t kSidecarCostShare = 20;
constexpr std::size_t kMaxFieldBytes = std::size_t{1} << 20;
constexpr int kMaxFieldDepth = 32;

std::string JoinPath(std::string directory, const std::string& name) {
  if (directory.empty() || !platform::IsPathSeparator(directory.back())) {
    directory += platform::kPathSeparator;
  }
  return directory + name;
}

// "YY-MM-DD-hh-mm-ss" of the local time, "-N" added for the N-th attempt.
std::string TimeStamp(const std::tm& t, int attempt) {
  char text[64];
  const int length = std::snprintf(text, sizeof text, "%02d-%02d-%02d-%02d-%02d-%02d",
                                   t.tm_year % 100, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                                   t.tm_sec);
  // Formatted in one go: GCC 12 at -O3 takes "-" + to_string() for an overlap.
  if (attempt > 1 && length > 0 && static_cast<std::size_t>(length) < sizeof text) {
    std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), "-%d", attempt);
  }
  return text;
}

std::FILE* CreateFirstFile(const std::string& directory, std::string* path) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (!platform::LocalTime(now, &local)) return nullptr;
  for (int attempt = 1; attempt <= kMaxStampAttempts; ++attempt) {
    const std::string stem = JoinPath(directory, TimeStamp(local, attempt));
    // A leftover _2 would be read as this recording's continuation.
    if (platform::FileExists((stem + "_2.dat").c_str())) continue;
    // An earlier recording is never truncated, not even by a race.
    const platform::FileOpen created = platform::CreateNewFile((stem + "_1.dat").c_str());
    if (created.file != nullptr) {
      *path = stem + "_1.dat";
      return created.file;
    }
    if (!platform::IsExistsError(created.error)) return nullptr;
  }
  return nullptr;
}

void UseIoBuffer(RecordingWriter& writer) {
  if (!writer.io_buffer) writer.io_buffer.reset(new char[kIoBufferBytes]);
  std::setvbuf(writer.file, writer.io_buffer.get(), _IOFBF, kIoBufferBytes);
}

// The stream's error flag too: stdio drops the buffer a failed flush could
// not write, and whatever follows would land after the hole.
bool WriteWhole(RecordingWriter& writer, const void* bytes, std::size_t length) {
  const std::size_t written = std::fwrite(bytes, 1, length, writer.file);
  writer.total_bytes += static_cast<std::int64_t>(written);
  return written == length && std::ferror(writer.file) == 0;
}

std::int32_t StopRecording(RecordingWriter& writer, std::int32_t status);

// Rewrites the sidecar of the recording being written. A sidecar that cannot
// be written leaves the previous one in place; the recording itself goes on.
bool WriteSidecar(RecordingWriter& writer) {
  if (writer.sidecar_path.empty()) return false;
  const std::int64_t start = platform::MonotonicNs();
  // The files first: after a crash they hold at least what the sidecar
  // describes. A flush that fails has lost what it held: the recording ends.
  if (writer.file != nullptr && std::fflush(writer.file) != 0) {
    StopRecording(writer, KR2270_ERROR_FILE_WRITE);
    return false;
  }
  writer.timeline.application = writer.fields;
  const bool written = ReplaceWholeFile(writer.sidecar_path, SidecarJson(writer.timeline));
  writer.sidecar_written_ns = platform::MonotonicNs();
  writer.sidecar_cost_ns = writer.sidecar_written_ns - start;
  return written;
}

void WriteSidecarWhenDue(RecordingWriter& writer) {
  const std::int64_t interval =
      std::max(kSidecarIntervalNs, kSidecarCostShare * writer.sidecar_cost_ns);
  if (platform::MonotonicNs() - writer.sidecar_written_ns >= interval) WriteSidecar(writer);
}

// A new recording's timeline: empty until its first group arrives.
void BeginTimeline(RecordingWriter& writer) {
  writer.first_path = writer.path;
  writer.sidecar_path = SidecarPathOf(writer.path);
  writer.timeline = RecordingTimeline{};
  writer.timeline.recording = FileNameOf(writer.path);
  writer.timeline.library_version = KR2270_GetVersion();
  writer.timeline.files.push_back(SidecarFile{FileNameOf(writer.path), 0});
  writer.timeline_begun = false;
  writer.sidecar_written_ns = 0;
  writer.data_bytes = 0;
}

KR2270ConversionSettings SettingsEntry(const Settings& settings, std::uint64_t number,
                                       std::uint64_t position, std::uint64_t index) {
  KR2270ConversionSettings entry = ConversionOf(settings);
  entry.number = number;
  entry.position = position;
  entry.index = index;
  return entry;
}

// The block's place, before its groups are written: a jump of the index is
// a gap of the recording, a new number of the run's settings a change.
void NoteBlock(Device* device, const BlockTimeline* where) {
  RecordingWriter& writer = device->writer;
  RecordingTimeline& t = writer.timeline;
  const std::uint64_t index = where != nullptr ? where->index : t.next_index;
  const Settings& settings = where != nullptr && where->settings != nullptr
                                 ? *where->settings : device->stream_settings;
  const std::uint64_t settings_number = where != nullptr ? where->settings_number : writer.settings_number;
  if (!writer.timeline_begun) {
    writer.timeline_begun = true;
    t.start_unix_ns = where != nullptr ? where->start_unix_ns : 0;
    t.rate_code = device->stream_settings.rate_code;
    t.group_rate = where != nullptr ? where->group_rate : SampleRateOfCode(t.rate_code);
    t.group_bytes = GroupSize(device->stream_settings);
    t.first_index = index;
    t.next_index = index;
    t.settings.push_back(SettingsEntry(settings, 0, 0, index));
    writer.settings_number = settings_number;
    return;
  }
  if (index > t.next_index) {
    KR2270GapRecord gap{};
    gap.number = t.gaps.size();
    gap.index = t.next_index;
    gap.missing = index - t.next_index;
    gap.position = t.groups;
    gap.cause = where->jump_cause;
    gap.estimated = 1;
    t.gaps.push_back(gap);
    t.missing += gap.missing;
    t.next_index = index;
  }
  if (settings_number != writer.settings_number) {
    t.settings.push_back(SettingsEntry(settings, t.settings.size(), t.groups, t.next_index));
    writer.settings_number = settings_number;
  }
}

void CountWritten(RecordingWriter& writer, std::int32_t length) {
  RecordingTimeline& t = writer.timeline;
  t.files.back().data_bytes += length;
  writer.data_bytes += length;
  if (t.group_bytes > 0) t.groups = static_cast<std::uint64_t>(writer.data_bytes / t.group_bytes);
  t.next_index = t.first_index + t.groups + t.missing;
}

// Only the first failure is kept: it is where the recording stopped being
// whole.
void RememberFailure(RecordingWriter& writer, std::int32_t status) {
  if (writer.failure == 0) writer.failure = status;
}

// Returns the failure kept since the last report, and forgets it.
std::int32_t TakeFailure(RecordingWriter& writer) {
  const std::int32_t failure = writer.failure;
  writer.failure = 0;
  return failure;
}

// fclose flushes: a full disk shows here at the latest.
bool CloseCurrentFile(RecordingWriter& writer) {
  const bool whole = std::ferror(writer.file) == 0;
  const bool closed = std::fclose(writer.file) == 0 && whole;
  writer.file = nullptr;
  if (!closed) RememberFailure(writer, KR2270_ERROR_FILE_WRITE);
  return closed;
}

// Ends a recording that lost data; nothing later may pass for a good file.
std::int32_t StopRecording(RecordingWriter& writer, std::int32_t status) {
  if (writer.file != nullptr) std::fclose(writer.file);
  writer.file = nullptr;
  writer.bytes = 0;
  RememberFailure(writer, status);
  writer.timeline.end_status = status;
  WriteSidecar(writer);
  return status;
}

// The end of a recording written whole: its sidecar says so.
void FinishTimeline(RecordingWriter& writer) {
  if (writer.first_path.empty()) return;
  writer.timeline.complete = writer.timeline.end_status == 0;
  WriteSidecar(writer);
}

// The first file of a recording in the directory of the open.
bool BeginRecording(RecordingWriter& writer) {
  writer.bytes = 0;
  writer.file = CreateFirstFile(writer.directory, &writer.path);
  if (writer.file == nullptr) return false;
  UseIoBuffer(writer);
  ++writer.files;
  BeginTimeline(writer);
  return true;
}

std::int32_t RotateFile(RecordingWriter& writer) {
  if (!CloseCurrentFile(writer)) return StopRecording(writer, KR2270_ERROR_FILE_WRITE);
  writer.bytes = 0;
  if (!NextRecordingFileName(&writer.path, nullptr)) {
    return StopRecording(writer, KR2270_ERROR_FILE);
  }
  // A file of that name from elsewhere is neither overwritten nor extended.
  writer.file = platform::CreateNewFile(writer.path.c_str()).file;
  if (writer.file == nullptr) return StopRecording(writer, KR2270_ERROR_FILE);
  UseIoBuffer(writer);
  ++writer.files;
  writer.timeline.files.push_back(SidecarFile{FileNameOf(writer.path), 0});
  WriteSidecar(writer);
  return KR2270_OK;
}

// Groups of a later run than the ones recorded have their own layout and
// rate: they begin a new recording, under their own header.
std::int32_t FollowRun(RecordingWriter& writer, std::uint64_t run) {
  if (writer.run != 0 && writer.run != run) {
    CloseCurrentFile(writer);  // a failure stays for the close to report
    FinishTimeline(writer);
    if (!BeginRecording(writer)) return StopRecording(writer, KR2270_ERROR_FILE);
  }
  writer.run = run;
  return KR2270_OK;
}

std::int32_t DFWOpen(Device* device, const char* dir, std::int32_t length) {
  if (device == nullptr || dir == nullptr) return KR2270_ERROR_ARGUMENT;
  if (length < 0 || length > kMaxDirectoryBytes) return KR2270_ERROR_FILE;
  const std::string directory = PathText(dir, length);
  if (!platform::IsDirectory(directory.c_str())) return KR2270_ERROR_FILE;

  std::lock_guard<std::mutex> hold(device->file_lock);
  RecordingWriter& writer = device->writer;
  if (writer.file != nullptr) {
    CloseCurrentFile(writer);
    FinishTimeline(writer);
  }
  // Data the earlier recording lost is reported before anything new begins.
  if (writer.failure != 0) return TakeFailure(writer);
  writer.directory = directory;
  writer.total_bytes = 0;
  writer.files = 0;
  writer.run = 0;
  writer.fields.clear();
  return BeginRecording(writer) ? KR2270_OK : KR2270_ERROR_FILE;
}

std::int32_t DFWClose(Device* device) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  std::lock_guard<std::mutex> hold(device->file_lock);
  RecordingWriter& writer = device->writer;
  if (writer.file != nullptr) {
    CloseCurrentFile(writer);
    FinishTimeline(writer);
  }
  return TakeFailure(writer);
}

std::int32_t DFWSetField(Device* device, const char* name, const char* json_value) {
  if (device == nullptr || name == nullptr || json_value == nullptr) return KR2270_ERROR_ARGUMENT;
  const std::string_view value(json_value, strnlen(json_value, kMaxFieldBytes + 1));
  JsonValue parsed;
  if (!IsFieldName(name) || value.size() > kMaxFieldBytes ||
      !ParseJson(value, &parsed, kMaxFieldDepth)) {
    return KR2270_ERROR_ARGUMENT;
  }
  std::lock_guard<std::mutex> hold(device->file_lock);
  RecordingWriter& writer = device->writer;
  if (writer.file == nullptr) return KR2270_ERROR_FILE;
  auto same = std::find_if(writer.fields.begin(), writer.fields.end(),
                           [&](const auto& field) { return field.first == name; });
  if (same != writer.fields.end()) {
    same->second = std::string(value);
  } else {
    writer.fields.emplace_back(name, std::string(value));
  }
  if (!writer.timeline_begun) return KR2270_OK;
  return WriteSidecar(writer) ? KR2270_OK : KR2270_ERROR_FILE_WRITE;
}

std::int32_t DFWGetFileName(Device* device, std::int32_t which, char* path, std::int32_t size) {
  if (device == nullptr || path == nullptr || which < 0 || which > 2 || size <= 0) {
    return KR2270_ERROR_ARGUMENT;
  }
  std::lock_guard<std::mutex> hold(device->file_lock);
  const RecordingWriter& writer = device->writer;
  if (writer.first_path.empty()) return KR2270_ERROR_FILE;
  const std::string& name =
      which == 0 ? writer.first_path : which == 1 ? writer.path : writer.sidecar_path;
  if (name.size() >= static_cast<std::size_t>(size)) return KR2270_ERROR_ARGUMENT;
  std::memcpy(path, name.c_str(), name.size() + 1);
  return static_cast<std::int32_t>(name.size());
}

std::int32_t DFWGetInfo(Device* device, std::int64_t* bytes, std::int32_t* files) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  std::lock_guard<std::mutex> hold(device->file_lock);
  const RecordingWriter& writer = device->writer;
  if (bytes != nullptr) *bytes = writer.total_bytes;
  if (files != nullptr) *files = writer.files;
  return writer.failure;
}

}  // namespace

std::int32_t WriteRecordingHeader(Device* device, const Settings& settings) {
  RecordingWriter& writer = device->writer;
  std::uint8_t header[kHeaderBytes];
  BuildRecordingHeader(settings, header);
  writer.bytes = 0;
  if (!WriteWhole(writer, header, sizeof header)) {
    return StopRecording(writer, KR2270_ERROR_FILE_WRITE);
  }
  writer.bytes = kHeaderBytes;
  return KR2270_OK;
}

std::int32_t AppendRecording(Device* device, const std::uint8_t* block, std::int32_t length,
                             std::uint64_t run, const BlockTimeline* timeline) {
  if (device == nullptr || device->writer.file == nullptr || block == nullptr || length < 0) {
    return KR2270_ERROR_ARGUMENT;
  }
  RecordingWriter& writer = device->writer;
  const std::int32_t followed = FollowRun(writer, run);
  if (followed != KR2270_OK) return followed;
  if (writer.bytes == 0) {
    const bool in_force = timeline != nullptr && timeline->settings != nullptr;
    const std::int32_t status =
        WriteRecordingHeader(device, in_force ? *timeline->settings : device->stream_settings);
    if (status != KR2270_OK) return status;
  }
  const bool first_groups = !writer.timeline_begun;
  NoteBlock(device, timeline);
  if (!WriteWhole(writer, block, static_cast<std::size_t>(length))) {
    return StopRecording(writer, KR2270_ERROR_FILE_WRITE);
  }
  CountWritten(writer, length);
  // Saturates: a sum past INT32_MAX is past any limit as well.
  writer.bytes = static_cast<std::int32_t>(
      std::min<std::int64_t>(std::int64_t{writer.bytes} + length, INT32_MAX));
  if (writer.bytes >= writer.file_limit) return RotateFile(writer);
  if (first_groups) {
    WriteSidecar(writer);
  } else {
    WriteSidecarWhenDue(writer);
  }
  return writer.file != nullptr ? KR2270_OK : writer.failure;
}

void CloseRecordingFile(Device* device) {
  std::lock_guard<std::mutex> hold(device->file_lock);
  if (device->writer.file != nullptr) {
    CloseCurrentFile(device->writer);
    FinishTimeline(device->writer);
  }
}

}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_DFWOpen(KR2270Device* device, const char* dir, int32_t dir_length) {
  return kr2270::Guarded([&] { return kr2270::DFWOpen(device, dir, dir_length); });
}

KR2270_EXPORT int32_t KR2270_DFWClose(KR2270Device* device) {
  return kr2270::Guarded([&] { return kr2270::DFWClose(device); });
}

KR2270_EXPORT int32_t KR2270_DFWSetField(KR2270Device* device, const char* name,
                                         const char* json_value) {
  return kr2270::Guarded([&] { return kr2270::DFWSetField(device, name, json_value); });
}

KR2270_EXPORT int32_t KR2270_DFWGetFileName(KR2270Device* device, int32_t which, char* path,
                                            int32_t size) {
  return kr2270::Guarded([&] { return kr2270::DFWGetFileName(device, which, path, size); });
}

KR2270_EXPORT int32_t KR2270_DFWGetInfo(KR2270Device* device, int64_t* bytes, int32_t* files) {
  return kr2270::Guarded([&] { return kr2270::DFWGetInfo(device, bytes, files); });
}
