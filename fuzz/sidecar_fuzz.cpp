// The recording's sidecar and the JSON under it: arbitrary text must never
// crash the reader, a sidecar it accepts must read back the same after it is
// written again, and quoting any bytes must give a string it reads back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "recording/json.h"
#include "recording/sidecar.h"

namespace {

bool SameTimeline(const kr2270::RecordingTimeline& a, const kr2270::RecordingTimeline& b) {
  if (a.recording != b.recording || a.start_unix_ns != b.start_unix_ns ||
      a.first_index != b.first_index || a.next_index != b.next_index || a.groups != b.groups ||
      a.missing != b.missing || a.gaps.size() != b.gaps.size() ||
      a.settings.size() != b.settings.size() || a.files.size() != b.files.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.gaps.size(); ++i) {
    if (std::memcmp(&a.gaps[i], &b.gaps[i], sizeof a.gaps[i]) != 0) return false;
  }
  for (std::size_t i = 0; i < a.settings.size(); ++i) {
    if (std::memcmp(&a.settings[i], &b.settings[i], sizeof a.settings[i]) != 0) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  kr2270::RecordingTimeline timeline;
  if (kr2270::ParseSidecar(text, &timeline)) {
    kr2270::RecordingTimeline again;
    if (!kr2270::ParseSidecar(kr2270::SidecarJson(timeline), &again) ||
        !SameTimeline(timeline, again)) {
      std::abort();
    }
  }
  kr2270::JsonValue value;
  if (!kr2270::ParseJson(kr2270::JsonQuoted(text), &value) ||
      value.kind != kr2270::JsonValue::Kind::kString) {
    std::abort();
  }
  return 0;
}
