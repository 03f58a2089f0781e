#include "output/csv.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "system/system.h"
#include "app/tool.h"

namespace kr2270::tool {
namespace {

constexpr std::size_t kFlushBytes = 1 << 20;

// The dialect, shared with the Python package's export
// (python/kr2270/csv_format.py): time_s, then per analog channel aiK_V (and
// aiK_code), di, per counter ctK (mode 0: the count), ctK_Hz (modes 1 and
// 3) or ctK_raw (other modes), per encoder ecK (signed), and gap.
bool CounterInHertz(std::int8_t mode) { return mode == 1 || mode == 3; }

std::string CounterColumn(int counter, std::int8_t mode) {
  const std::string name = "ct" + std::to_string(counter);
  if (CounterInHertz(mode)) return name + "_Hz";
  return mode == 0 ? name : name + "_raw";
}

// Shortest text that reads back as the same double, in plain notation.
void AppendExact(std::string& out, double value) {
  char text[400];  // the longest plain double, 1e308 or 5e-324, fits
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
  out.append(text, result.ptr);
}

template <typename Integer>
void Append(std::string& out, Integer value) {
  char text[24];
  const auto result = std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
}

// Above this much text waiting for the writer, the acquisition waits too:
// the stream ring then overflows and says so, instead of memory running out.
constexpr std::size_t kMaxQueuedBytes = std::size_t{256} << 20;

void WriteChunks(CsvOutput& csv) {
  std::unique_lock<std::mutex> hold(csv.lock);
  for (;;) {
    csv.changed.wait(hold, [&] { return !csv.chunks.empty() || csv.closing; });
    if (csv.chunks.empty()) break;
    std::string chunk = std::move(csv.chunks.front());
    csv.chunks.pop_front();
    const bool failed = csv.error != 0;
    hold.unlock();
    int error = 0;
    if (!failed && std::fwrite(chunk.data(), 1, chunk.size(), csv.file) != chunk.size())
      error = LastSystemError();
    hold.lock();
    if (error != 0 && csv.error == 0) csv.error = error;
    csv.queued_bytes -= chunk.size();
    csv.changed.notify_all();
  }
  hold.unlock();
  int error = 0;
  if (csv.error == 0 && std::fflush(csv.file) != 0) error = LastSystemError();
  if (!IsStdout(csv.path) && std::fclose(csv.file) != 0 && error == 0) error = LastSystemError();
  hold.lock();
  if (csv.error == 0) csv.error = error;
}

void FlushPending(CsvOutput& csv) {
  if (csv.pending.empty()) return;
  std::unique_lock<std::mutex> hold(csv.lock);
  // Bounded waits, so that Ctrl-C is seen while a pipe is stuck.
  while (csv.queued_bytes > kMaxQueuedBytes && csv.error == 0 && !Interrupted())
    csv.changed.wait_for(hold, std::chrono::milliseconds(100));
  csv.queued_bytes += csv.pending.size();
  csv.chunks.push_back(std::move(csv.pending));
  csv.pending.clear();
  csv.changed.notify_all();
}

// Groups missing just before the output with timeline index `index`.
std::uint64_t TakeGapBefore(CsvOutput& csv, const StreamSelection& selection, std::uint64_t index) {
  if (!csv.next_index) csv.next_index = index - csv.missing_before_first;
  const std::uint64_t gap = index - *csv.next_index;
  csv.next_index = index + static_cast<std::uint64_t>(IndexStep(selection));
  return gap;
}

void AppendRow(std::string& out, const CsvOutput& csv, const StreamSelection& selection,
               const GroupBatch& batch, std::size_t i, double time_s, std::uint64_t gap) {
  AppendExact(out, time_s);
  for (std::size_t k = 0; k < kAnalogChannels; ++k) {
    if (!selection.analog[k]) continue;
    out += ',';
    AppendExact(out, batch.volts[k][i]);
    if (csv.codes) {
      out += ',';
      Append(out, batch.signed_codes[k][i]);
    }
  }
  if (selection.digital) {
    out += ',';
    Append(out, batch.digital[i]);
  }
  for (std::size_t k = 0; k < kCounters; ++k) {
    if (!selection.counters[k]) continue;
    out += ',';
    if (CounterInHertz(selection.counter_modes[k]))
      AppendExact(out, batch.counter_values[k][i]);
    else
      Append(out, batch.counters[k][i]);
  }
  for (std::size_t k = 0; k < kEncoders; ++k) {
    if (!selection.encoders[k]) continue;
    out += ',';
    // Encoders count both ways; their two's-complement reading is the position.
    Append(out, static_cast<std::int32_t>(batch.encoders[k][i]));
  }
  out += ',';
  Append(out, gap);
  out += '\n';
}

}  // namespace

CsvOutput::~CsvOutput() {
  if (!finished) {
    pending.clear();
    FinishCsv(*this);
  }
  if (!keep && !partial.empty()) RemoveEntry(partial);
}

bool IsStdout(const std::string& path) { return path == "-"; }

namespace {

std::FILE* CreatePartial(const std::string& partial, bool overwrite) {
  std::FILE* file = CreateExclusive(partial);
  // Left by a run that was killed, or planted: removed (a link itself, not
  // its target) only when replacing was asked for.
  if (file == nullptr && LastSystemError() == EEXIST && overwrite && RemoveEntry(partial))
    file = CreateExclusive(partial);
  if (file != nullptr) return file;
  const int error = LastSystemError();
  Fail("cannot write " + partial + ": " + SystemErrorText(error) +
       (error == EEXIST ? " (left by an earlier run? remove it, or give --overwrite)" : ""));
}

}  // namespace

std::unique_ptr<CsvOutput> OpenCsv(const std::string& path, bool codes, bool overwrite) {
  auto csv = std::make_unique<CsvOutput>();
  csv->path = path;
  csv->codes = codes;
  csv->overwrite = overwrite;
  if (IsStdout(path)) {
    csv->file = stdout;
  } else {
    if (!overwrite && EntryExists(path))
      FailUsage(path + " exists: give --overwrite to replace it, or another --csv FILE");
    // Named only once created: a file that was there is not this run's to remove.
    csv->file = CreatePartial(path + ".partial", overwrite);
    csv->partial = path + ".partial";
  }
  CsvOutput* out = csv.get();
  csv->writer = std::thread([out] { WriteChunks(*out); });
  return csv;
}

void WriteCsvHeader(CsvOutput& csv, const StreamSelection& selection) {
  std::string& out = csv.pending;
  out += "time_s";
  for (int channel = 1; channel <= kAnalogChannels; ++channel) {
    if (!selection.analog[static_cast<std::size_t>(channel - 1)]) continue;
    out += ",ai" + std::to_string(channel) + "_V";
    if (csv.codes) out += ",ai" + std::to_string(channel) + "_code";
  }
  if (selection.digital) out += ",di";
  for (int counter = 1; counter <= kCounters; ++counter) {
    const auto k = static_cast<std::size_t>(counter - 1);
    if (selection.counters[k]) out += "," + CounterColumn(counter, selection.counter_modes[k]);
  }
  for (int encoder = 1; encoder <= kEncoders; ++encoder)
    if (selection.encoders[static_cast<std::size_t>(encoder - 1)])
      out += ",ec" + std::to_string(encoder);
  out += ",gap\n";
}

void WriteCsvRows(CsvOutput& csv, const StreamSelection& selection, const GroupBatch& batch) {
  for (std::size_t i = 0; i < static_cast<std::size_t>(batch.count); ++i) {
    const std::uint64_t index = batch.index[i];
    const std::uint64_t gap = TakeGapBefore(csv, selection, index);
    AppendRow(csv.pending, csv, selection, batch, i, TimeOfIndex(selection, index), gap);
    ++csv.rows;
    if (csv.pending.size() >= kFlushBytes) FlushPending(csv);
  }
  FlushPending(csv);
}

void WriteCsvCaptureRows(CsvOutput& csv, const StreamSelection& selection, const GroupBatch& batch,
                         std::uint64_t trigger_index) {
  const std::vector<std::uint64_t>& indices = batch.index;
  for (std::size_t i = 0; i < static_cast<std::size_t>(batch.count); ++i) {
    const std::uint64_t gap = i == 0 ? 0 : indices[i] - indices[i - 1] - 1;
    const auto from_trigger =
        static_cast<double>(static_cast<std::int64_t>(indices[i] - trigger_index));
    AppendRow(csv.pending, csv, selection, batch, i, from_trigger / selection.group_rate, gap);
    ++csv.rows;
    if (csv.pending.size() >= kFlushBytes) FlushPending(csv);
  }
  FlushPending(csv);
}

void WriteCsvText(CsvOutput& csv, const std::string& text) {
  csv.pending += text;
  FlushPending(csv);
}

int CsvError(CsvOutput& csv) {
  std::lock_guard<std::mutex> hold(csv.lock);
  return csv.error;
}

int FinishCsv(CsvOutput& csv) {
  if (csv.finished) return CsvError(csv);
  FlushPending(csv);
  {
    std::lock_guard<std::mutex> hold(csv.lock);
    csv.closing = true;
    csv.changed.notify_all();
  }
  if (csv.writer.joinable()) csv.writer.join();
  csv.finished = true;
  if (!csv.keep || IsStdout(csv.path)) return csv.error;
  if (MoveInto(csv.partial, csv.path, csv.overwrite)) {
    csv.partial.clear();
  } else if (csv.error == 0) {
    csv.error = LastSystemError();
  }
  return csv.error;
}

}  // namespace kr2270::tool
