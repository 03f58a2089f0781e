// The recording writer: the receiver thread appends each completed block; the
// header goes in front of the first block of every file.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <ctime>

#include "device/export.h"
#include "device/lifecycle.h"
#include "recording/header.h"
#include "recording/recording.h"

namespace kr2270 {
namespace {

constexpr std::size_t kIoBufferBytes = std::size_t{1} << 20;
constexpr std::int32_t kMaxDirectoryBytes = 259;
// Recordings begun within one second get "-2", "-3" ... on their time stamp.
constexpr int kMaxStampAttempts = 1000;

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

bool WriteWhole(RecordingWriter& writer, const void* bytes, std::size_t length) {
  const std::size_t written = std::fwrite(bytes, 1, length, writer.file);
  writer.total_bytes += static_cast<std::int64_t>(written);
  return written == length;
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
  const bool closed = std::fclose(writer.file) == 0;
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
  return status;
}

// The first file of a recording in the directory of the open.
bool BeginRecording(RecordingWriter& writer) {
  writer.bytes = 0;
  writer.file = CreateFirstFile(writer.directory, &writer.path);
  if (writer.file == nullptr) return false;
  UseIoBuffer(writer);
  ++writer.files;
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
  return KR2270_OK;
}

// Groups of a later run than the ones recorded have their own layout and
// rate: they begin a new recording, under their own header.
std::int32_t FollowRun(RecordingWriter& writer, std::uint64_t run) {
  if (writer.run != 0 && writer.run != run) {
    CloseCurrentFile(writer);  // a failure stays for the close to report
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
  if (writer.file != nullptr) CloseCurrentFile(writer);
  // Data the earlier recording lost is reported before anything new begins.
  if (writer.failure != 0) return TakeFailure(writer);
  writer.directory = directory;
  writer.total_bytes = 0;
  writer.files = 0;
  writer.run = 0;
  return BeginRecording(writer) ? KR2270_OK : KR2270_ERROR_FILE;
}

std::int32_t DFWClose(Device* device) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  std::lock_guard<std::mutex> hold(device->file_lock);
  RecordingWriter& writer = device->writer;
  if (writer.file != nullptr) CloseCurrentFile(writer);
  return TakeFailure(writer);
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

std::int32_t WriteRecordingHeader(Device* device) {
  RecordingWriter& writer = device->writer;
  std::uint8_t header[kHeaderBytes];
  BuildRecordingHeader(device->stream_settings, header);
  writer.bytes = 0;
  if (!WriteWhole(writer, header, sizeof header)) {
    return StopRecording(writer, KR2270_ERROR_FILE_WRITE);
  }
  writer.bytes = kHeaderBytes;
  return KR2270_OK;
}

std::int32_t AppendRecording(Device* device, const std::uint8_t* block, std::int32_t length,
                             std::uint64_t run) {
  if (device == nullptr || device->writer.file == nullptr || block == nullptr || length < 0) {
    return KR2270_ERROR_ARGUMENT;
  }
  RecordingWriter& writer = device->writer;
  const std::int32_t followed = FollowRun(writer, run);
  if (followed != KR2270_OK) return followed;
  if (writer.bytes == 0) {
    const std::int32_t status = WriteRecordingHeader(device);
    if (status != KR2270_OK) return status;
  }
  if (!WriteWhole(writer, block, static_cast<std::size_t>(length))) {
    return StopRecording(writer, KR2270_ERROR_FILE_WRITE);
  }
  // Saturates: a sum past INT32_MAX is past any limit as well.
  writer.bytes = static_cast<std::int32_t>(
      std::min<std::int64_t>(std::int64_t{writer.bytes} + length, INT32_MAX));
  if (writer.bytes < writer.file_limit) return KR2270_OK;
  return RotateFile(writer);
}

void CloseRecordingFile(Device* device) {
  std::lock_guard<std::mutex> hold(device->file_lock);
  if (device->writer.file != nullptr) CloseCurrentFile(device->writer);
}

}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_DFWOpen(KR2270Device* device, const char* dir, int32_t dir_length) {
  return kr2270::Guarded([&] { return kr2270::DFWOpen(device, dir, dir_length); });
}

KR2270_EXPORT int32_t KR2270_DFWClose(KR2270Device* device) {
  return kr2270::Guarded([&] { return kr2270::DFWClose(device); });
}

KR2270_EXPORT int32_t KR2270_DFWGetInfo(KR2270Device* device, int64_t* bytes, int32_t* files) {
  return kr2270::Guarded([&] { return kr2270::DFWGetInfo(device, bytes, files); });
}
