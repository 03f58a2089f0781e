// The live status line of a running acquisition: drawn over itself on
// stderr, and only when stderr is a terminal.
#pragma once

#include <cstdint>

namespace kr2270::tool {

struct StatusFigures {
  double elapsed_s = 0.0;
  std::int64_t groups = 0;
  std::uint64_t lost = 0;
  std::int64_t ring_groups = 0;     // buffered, not yet split
  std::int64_t recorded_bytes = -1;  // -1: not recording
};

struct StatusLine {
  bool enabled = false;
  double last_drawn_s = -1.0;
  std::int64_t groups_at_last = 0;
  double rate = 0.0;  // groups per second over the last interval
};

// Enabled when stderr is a terminal, unless CSV rows are printed to the same
// terminal, where the line would tear them apart.
StatusLine MakeStatusLine(bool rows_on_stdout);

// Redraws at most a few times a second.
void UpdateStatusLine(StatusLine& line, const StatusFigures& figures);
void ClearStatusLine(const StatusLine& line);

}  // namespace kr2270::tool
