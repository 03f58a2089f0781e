#include "recording/sidecar.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "recording/json.h"

namespace kr2270 {
namespace {

constexpr const char* kFormat = "kr2270c-recording-timeline";

struct CauseName {
  std::int32_t cause;
  const char* text;
};
constexpr CauseName kCauses[] = {{KR2270_GAP_RING_FULL, "ring full"},
                                 {KR2270_GAP_LINK_LOST, "link lost"},
                                 {KR2270_GAP_MODULE_RESTART, "module restart"}};

std::string U64(std::uint64_t v) { return std::to_string(v); }
std::string I64(std::int64_t v) { return std::to_string(v); }
const char* Bool(bool v) { return v ? "true" : "false"; }

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(std::int64_t days, std::int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<std::int64_t>(yoe) + era * 400 + (*month <= 2 ? 1 : 0);
}

// ISO 8601 in UTC with nanoseconds: 2026-12-07T10:00:00.123456789Z.
std::string UtcText(std::int64_t unix_ns) {
  constexpr std::int64_t kNs = 1000000000;
  std::int64_t seconds = unix_ns / kNs;
  std::int64_t fraction = unix_ns % kNs;
  if (fraction < 0) {
    fraction += kNs;
    --seconds;
  }
  std::int64_t days = seconds / 86400;
  std::int64_t of_day = seconds % 86400;
  if (of_day < 0) {
    of_day += 86400;
    --days;
  }
  std::int64_t year = 0;
  unsigned month = 0;
  unsigned day = 0;
  CivilFromDays(days, &year, &month, &day);
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld.%09lldZ",
                static_cast<long long>(year), month, day, static_cast<long long>(of_day / 3600),
                static_cast<long long>(of_day / 60 % 60), static_cast<long long>(of_day % 60),
                static_cast<long long>(fraction));
  return text;
}

std::string GapJson(const KR2270GapRecord& gap) {
  return "{\"number\": " + U64(gap.number) + ", \"position\": " + U64(gap.position) +
         ", \"index\": " + U64(gap.index) + ", \"missing\": " + U64(gap.missing) +
         ", \"cause\": " + JsonQuoted(GapCauseText(gap.cause)) +
         ", \"estimated\": " + Bool(gap.estimated != 0) + "}";
}

std::string SettingsJson(const KR2270ConversionSettings& s) {
  std::string analog;
  for (int k = 0; k < 8; ++k) {
    analog += std::string(k == 0 ? "" : ",\n        ") + "{\"channel\": " + std::to_string(k + 1) +
              ", \"range_code\": " + std::to_string(s.range_code[k]) +
              ", \"extended_range\": " + Bool(s.extended_range[k] != 0) +
              ", \"full_scale\": " + JsonNumber(s.full_scale[k]) +
              ", \"offset\": " + JsonNumber(s.offset[k]) +
              ", \"zero_code\": " + std::to_string(s.zero_code[k]) +
              ", \"full_code\": " + std::to_string(s.full_code[k]) + "}";
  }
  std::string counters;
  for (int k = 0; k < 4; ++k) {
    counters += std::string(k == 0 ? "" : ",\n        ") + "{\"counter\": " +
                std::to_string(k + 1) + ", \"mode\": " + std::to_string(s.counter_mode[k]) +
                ", \"base_ms\": " + JsonNumber(s.counter_base_ms[k]) + "}";
  }
  return "{\"number\": " + U64(s.number) + ", \"position\": " + U64(s.position) +
         ", \"index\": " + U64(s.index) + ",\n      \"analog\": [\n        " + analog +
         "],\n      \"counters\": [\n        " + counters + "]}";
}

template <typename T, typename ToJson>
std::string ListJson(const std::vector<T>& items, ToJson to_json) {
  if (items.empty()) return "[]";
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    out += std::string(i == 0 ? "\n    " : ",\n    ") + to_json(items[i]);
  }
  return out + "\n  ]";
}

std::string FileJson(const SidecarFile& file, std::int32_t group_bytes) {
  const std::int64_t groups = group_bytes > 0 ? file.data_bytes / group_bytes : 0;
  return "{\"name\": " + JsonQuoted(file.name) + ", \"data_bytes\": " + I64(file.data_bytes) +
         ", \"groups\": " + I64(groups) + "}";
}

std::string ApplicationJson(const std::vector<std::pair<std::string, std::string>>& fields) {
  if (fields.empty()) return "{}";
  std::string out = "{";
  for (std::size_t i = 0; i < fields.size(); ++i) {
    out += std::string(i == 0 ? "\n    " : ",\n    ") + JsonQuoted(fields[i].first) + ": " +
           fields[i].second;
  }
  return out + "\n  }";
}

// --- reading -------------------------------------------------------------------------

bool GetU64(const JsonValue& object, const char* name, std::uint64_t* out) {
  const JsonValue* v = object.Find(name);
  if (v == nullptr || !v->is_unsigned) return false;
  *out = v->unsigned_value;
  return true;
}

bool GetI64(const JsonValue& object, const char* name, std::int64_t* out) {
  const JsonValue* v = object.Find(name);
  if (v == nullptr || !v->is_signed) return false;
  *out = v->signed_value;
  return true;
}

template <typename Int>
bool GetInt(const JsonValue& object, const char* name, Int low, Int high, Int* out) {
  std::int64_t v = 0;
  if (!GetI64(object, name, &v) || v < low || v > high) return false;
  *out = static_cast<Int>(v);
  return true;
}

bool GetDouble(const JsonValue& object, const char* name, double* out) {
  const JsonValue* v = object.Find(name);
  if (v == nullptr || v->kind != JsonValue::Kind::kNumber) return false;
  *out = v->number;
  return true;
}

bool GetBool(const JsonValue& object, const char* name, bool* out) {
  const JsonValue* v = object.Find(name);
  if (v == nullptr || v->kind != JsonValue::Kind::kBool) return false;
  *out = v->boolean;
  return true;
}

bool GetText(const JsonValue& object, const char* name, std::string* out) {
  const JsonValue* v = object.Find(name);
  if (v == nullptr || v->kind != JsonValue::Kind::kString) return false;
  *out = v->text;
  return true;
}

const JsonValue* GetArray(const JsonValue& object, const char* name) {
  const JsonValue* v = object.Find(name);
  return v != nullptr && v->kind == JsonValue::Kind::kArray ? v : nullptr;
}

bool CauseOfText(const std::string& text, std::int32_t* cause) {
  for (const CauseName& c : kCauses) {
    if (text == c.text) {
      *cause = c.cause;
      return true;
    }
  }
  return false;
}

bool ParseGap(const JsonValue& v, KR2270GapRecord* gap) {
  std::string cause;
  bool estimated = false;
  if (!GetU64(v, "number", &gap->number) || !GetU64(v, "position", &gap->position) ||
      !GetU64(v, "index", &gap->index) || !GetU64(v, "missing", &gap->missing) ||
      !GetText(v, "cause", &cause) || !CauseOfText(cause, &gap->cause) ||
      !GetBool(v, "estimated", &estimated)) {
    return false;
  }
  gap->estimated = estimated ? 1 : 0;
  return true;
}

bool ParseAnalog(const JsonValue& v, int k, KR2270ConversionSettings* s) {
  std::int32_t channel = 0;
  bool extended = false;
  if (!GetInt(v, "channel", 1, 8, &channel) || channel != k + 1 ||
      !GetInt<std::uint8_t>(v, "range_code", 0, 255, &s->range_code[k]) ||
      !GetBool(v, "extended_range", &extended) || !GetDouble(v, "full_scale", &s->full_scale[k]) ||
      !GetDouble(v, "offset", &s->offset[k]) ||
      !GetInt<std::int32_t>(v, "zero_code", INT32_MIN, INT32_MAX, &s->zero_code[k]) ||
      !GetInt<std::int32_t>(v, "full_code", INT32_MIN, INT32_MAX, &s->full_code[k])) {
    return false;
  }
  s->extended_range[k] = extended ? 1 : 0;
  return true;
}

bool ParseCounter(const JsonValue& v, int k, KR2270ConversionSettings* s) {
  std::int32_t counter = 0;
  return GetInt(v, "counter", 1, 4, &counter) && counter == k + 1 &&
         GetInt<std::int8_t>(v, "mode", -128, 127, &s->counter_mode[k]) &&
         GetDouble(v, "base_ms", &s->counter_base_ms[k]);
}

bool ParseSettings(const JsonValue& v, KR2270ConversionSettings* s) {
  *s = KR2270ConversionSettings{};
  const JsonValue* analog = GetArray(v, "analog");
  const JsonValue* counters = GetArray(v, "counters");
  if (!GetU64(v, "number", &s->number) || !GetU64(v, "position", &s->position) ||
      !GetU64(v, "index", &s->index) || analog == nullptr || analog->items.size() != 8 ||
      counters == nullptr || counters->items.size() != 4) {
    return false;
  }
  for (int k = 0; k < 8; ++k) {
    if (!ParseAnalog(analog->items[static_cast<std::size_t>(k)], k, s)) return false;
  }
  for (int k = 0; k < 4; ++k) {
    if (!ParseCounter(counters->items[static_cast<std::size_t>(k)], k, s)) return false;
  }
  return true;
}

bool ParseFiles(const JsonValue& list, std::vector<SidecarFile>* files) {
  for (const JsonValue& v : list.items) {
    SidecarFile file;
    if (!GetText(v, "name", &file.name) || !GetI64(v, "data_bytes", &file.data_bytes) ||
        file.data_bytes < 0) {
      return false;
    }
    files->push_back(file);
  }
  return true;
}

// Gaps in order of position, numbered from 0, each at the index its
// position gives: first_index + position + the groups missing before it.
bool GapsAreConsistent(const RecordingTimeline& t) {
  std::uint64_t missing = 0;
  std::uint64_t last_position = 0;
  for (std::size_t i = 0; i < t.gaps.size(); ++i) {
    const KR2270GapRecord& gap = t.gaps[i];
    if (gap.number != i || gap.position < last_position || gap.position > t.groups ||
        gap.index != t.first_index + gap.position + missing) {
      return false;
    }
    if (gap.missing > UINT64_MAX / 2 - missing) return false;
    missing += gap.missing;
    last_position = gap.position;
  }
  return missing == t.missing && t.next_index == t.first_index + t.groups + missing;
}

std::uint64_t IndexOfPosition(const RecordingTimeline& t, std::uint64_t position) {
  std::uint64_t missing = 0;
  for (const KR2270GapRecord& gap : t.gaps) {
    if (gap.position > position) break;
    missing += gap.missing;
  }
  return t.first_index + position + missing;
}

bool SettingsAreConsistent(const RecordingTimeline& t) {
  if (t.settings.empty() || t.settings[0].position != 0) return false;
  for (std::size_t i = 0; i < t.settings.size(); ++i) {
    const KR2270ConversionSettings& s = t.settings[i];
    if (s.number != i || s.position > t.groups ||
        (i > 0 && s.position < t.settings[i - 1].position) ||
        s.index != IndexOfPosition(t, s.position)) {
      return false;
    }
  }
  return true;
}

bool ParseTimeline(const JsonValue& root, RecordingTimeline* t) {
  std::string format;
  std::int64_t version = 0;
  const JsonValue* files = GetArray(root, "files");
  const JsonValue* gaps = GetArray(root, "gaps");
  const JsonValue* settings = GetArray(root, "settings");
  if (!GetText(root, "format", &format) || format != kFormat || !GetI64(root, "version", &version) ||
      version < 1 || !GetText(root, "recording", &t->recording) ||
      !GetBool(root, "complete", &t->complete) ||
      !GetInt<std::int32_t>(root, "end_status", INT32_MIN, INT32_MAX, &t->end_status) ||
      !GetI64(root, "start_unix_ns", &t->start_unix_ns) ||
      !GetInt<std::int32_t>(root, "rate_code", INT32_MIN, INT32_MAX, &t->rate_code) ||
      !GetDouble(root, "group_rate", &t->group_rate) ||
      !GetInt<std::int32_t>(root, "group_bytes", 0, 58, &t->group_bytes) ||
      !GetU64(root, "first_index", &t->first_index) || !GetU64(root, "next_index", &t->next_index) ||
      !GetU64(root, "groups", &t->groups) || !GetU64(root, "missing_groups", &t->missing) ||
      files == nullptr || gaps == nullptr || settings == nullptr || !ParseFiles(*files, &t->files)) {
    return false;
  }
  GetText(root, "library_version", &t->library_version);
  for (const JsonValue& v : gaps->items) {
    KR2270GapRecord gap{};
    if (!ParseGap(v, &gap)) return false;
    t->gaps.push_back(gap);
  }
  for (const JsonValue& v : settings->items) {
    KR2270ConversionSettings s{};
    if (!ParseSettings(v, &s)) return false;
    t->settings.push_back(s);
  }
  return GapsAreConsistent(*t) && SettingsAreConsistent(*t);
}

}  // namespace

const char* GapCauseText(std::int32_t cause) {
  for (const CauseName& c : kCauses) {
    if (c.cause == cause) return c.text;
  }
  return "unknown";
}

std::string SidecarJson(const RecordingTimeline& t) {
  return std::string("{\n  \"format\": ") + JsonQuoted(kFormat) +
         ",\n  \"version\": " + std::to_string(kSidecarVersion) +
         ",\n  \"recording\": " + JsonQuoted(t.recording) +
         ",\n  \"library_version\": " + JsonQuoted(t.library_version) +
         ",\n  \"complete\": " + Bool(t.complete) +
         ",\n  \"end_status\": " + std::to_string(t.end_status) +
         ",\n  \"start_utc\": " + (t.start_unix_ns != 0 ? JsonQuoted(UtcText(t.start_unix_ns)) : "null") +
         ",\n  \"start_unix_ns\": " + I64(t.start_unix_ns) +
         ",\n  \"rate_code\": " + std::to_string(t.rate_code) +
         ",\n  \"group_rate\": " + JsonNumber(t.group_rate) +
         ",\n  \"group_bytes\": " + std::to_string(t.group_bytes) +
         ",\n  \"first_index\": " + U64(t.first_index) +
         ",\n  \"next_index\": " + U64(t.next_index) +
         ",\n  \"groups\": " + U64(t.groups) +
         ",\n  \"missing_groups\": " + U64(t.missing) +
         ",\n  \"files\": " +
         ListJson(t.files, [&](const SidecarFile& f) { return FileJson(f, t.group_bytes); }) +
         ",\n  \"gaps\": " + ListJson(t.gaps, GapJson) +
         ",\n  \"settings\": " + ListJson(t.settings, SettingsJson) +
         ",\n  \"application\": " + ApplicationJson(t.application) + "\n}\n";
}

bool ParseSidecar(std::string_view text, RecordingTimeline* timeline) {
  JsonValue root;
  *timeline = RecordingTimeline{};
  return ParseJson(text, &root) && ParseTimeline(root, timeline);
}

bool ReplaceWholeFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  // A leftover of a crash, or a link planted there: removing it never
  // touches what a link points to, and the exclusive create refuses
  // anything that appears in between.
  platform::RemoveFile(temporary.c_str());
  std::FILE* file = platform::CreateNewFile(temporary.c_str()).file;
  if (file == nullptr) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const bool closed = std::fclose(file) == 0;
  if (written && closed && platform::ReplaceFile(temporary.c_str(), path.c_str())) return true;
  platform::RemoveFile(temporary.c_str());
  return false;
}

bool ReadWholeFile(const std::string& path, std::size_t max_bytes, std::string* text) {
  std::FILE* file = platform::OpenRegularFile(path.c_str()).file;
  if (file == nullptr) return false;
  const std::int64_t size = platform::FileSize(file);
  bool ok = size >= 0 && static_cast<std::uint64_t>(size) <= max_bytes;
  if (ok) {
    text->resize(static_cast<std::size_t>(size));
    ok = std::fread(text->data(), 1, text->size(), file) == text->size();
  }
  std::fclose(file);
  return ok;
}

bool IsFieldName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (const char c : name) {
    const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                         c == '_' || c == '-' || c == '.';
    if (!allowed) return false;
  }
  return true;
}

}  // namespace kr2270
