#include "csv.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "tool.h"

namespace kr2270::tool {
namespace {

constexpr std::size_t kFlushBytes = 1 << 20;

std::string CounterColumn(int counter, std::int8_t mode) {
  const std::string name = "ct" + std::to_string(counter);
  if (mode == 1 || mode == 3) return name + "_Hz";
  return CounterConverts(mode) ? name : name + "_raw";
}

void Append(std::string& out, double value, std::chars_format format, int precision) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value, format, precision);
  out.append(text, result.ptr);
}

// Shortest text that reads back as the same double, in plain notation.
void AppendExact(std::string& out, double value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
  out.append(text, result.ptr);
}

template <typename Integer>
void Append(std::string& out, Integer value) {
  char text[24];
  const auto result = std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
}

void FlushPending(CsvOutput& csv) {
  if (csv.pending.empty()) return;
  const std::size_t written = std::fwrite(csv.pending.data(), 1, csv.pending.size(), csv.file);
  if (written != csv.pending.size()) Fail("writing " + csv.path + " failed");
  csv.pending.clear();
}

void AppendRow(std::string& out, const CsvOutput& csv, const StreamSelection& selection,
               const GroupBatch& batch, std::size_t i, std::int64_t index) {
  AppendExact(out, OutputTime(selection, index));
  for (std::size_t k = 0; k < kAnalogChannels; ++k) {
    if (!selection.analog[k]) continue;
    out += ',';
    Append(out, batch.volts[k][i], std::chars_format::general, 9);
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
    if (CounterConverts(selection.counter_modes[k]))
      Append(out, batch.counter_values[k][i], std::chars_format::general, 12);
    else
      Append(out, batch.counters[k][i]);
  }
  for (std::size_t k = 0; k < kEncoders; ++k) {
    if (!selection.encoders[k]) continue;
    out += ',';
    // Encoders count both ways; their two's-complement reading is the position.
    Append(out, static_cast<std::int32_t>(batch.encoders[k][i]));
  }
  out += '\n';
}

// Returns false when anything failed to reach the file; the file is closed
// either way (standard output stays open).
bool FlushAndClose(CsvOutput& csv) {
  FlushPending(csv);
  bool ok = std::fflush(csv.file) == 0;
  if (!IsStdout(csv.path)) {
    ok = std::fclose(csv.file) == 0 && ok;
    csv.file = nullptr;
  }
  return ok;
}

}  // namespace

CsvOutput::~CsvOutput() {
  if (IsStdout(path)) return;
  if (file != nullptr) std::fclose(file);
  if (!committed && !partial.empty()) std::remove(partial.c_str());
}

bool IsStdout(const std::string& path) { return path == "-"; }

std::unique_ptr<CsvOutput> OpenCsv(const std::string& path, bool codes) {
  auto csv = std::make_unique<CsvOutput>();
  csv->path = path;
  csv->codes = codes;
  if (IsStdout(path)) {
    csv->file = stdout;
    return csv;
  }
  csv->partial = path + ".partial";
  csv->file = std::fopen(csv->partial.c_str(), "wb");
  if (csv->file == nullptr) Fail("cannot write " + csv->partial + ": " + std::strerror(errno));
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
  out += '\n';
}

void WriteCsvRows(CsvOutput& csv, const StreamSelection& selection, const GroupBatch& batch,
                  std::int64_t first_index) {
  for (std::size_t i = 0; i < static_cast<std::size_t>(batch.count); ++i) {
    AppendRow(csv.pending, csv, selection, batch, i, first_index + static_cast<std::int64_t>(i));
    if (csv.pending.size() >= kFlushBytes) FlushPending(csv);
  }
}

void CommitCsv(CsvOutput& csv) {
  const bool ok = FlushAndClose(csv);
  if (IsStdout(csv.path)) {
    csv.committed = true;
    if (!ok) Fail("writing CSV to standard output failed");
    return;
  }
  if (!ok || std::rename(csv.partial.c_str(), csv.path.c_str()) != 0) {
    const int error = errno;
    std::remove(csv.partial.c_str());
    Fail("cannot complete " + csv.path + ": " + std::strerror(error));
  }
  csv.committed = true;
}

std::string KeepCsvPartial(CsvOutput& csv) {
  FlushAndClose(csv);
  csv.committed = true;
  return IsStdout(csv.path) ? csv.path : csv.partial;
}

}  // namespace kr2270::tool
