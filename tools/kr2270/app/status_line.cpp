#include "app/status_line.h"

#include "system/console.h"

#include <cstdio>

namespace kr2270::tool {
namespace {

constexpr double kRedrawInterval_s = 0.25;

}  // namespace

StatusLine MakeStatusLine(bool rows_on_stdout) {
  StatusLine line;
  line.enabled = StderrIsTerminal() && !(rows_on_stdout && StdoutIsTerminal());
  return line;
}

void UpdateStatusLine(StatusLine& line, const StatusFigures& figures) {
  if (!line.enabled) return;
  if (line.last_drawn_s >= 0.0 && figures.elapsed_s - line.last_drawn_s < kRedrawInterval_s) return;
  if (line.last_drawn_s >= 0.0)
    line.rate = static_cast<double>(figures.groups - line.groups_at_last) /
                (figures.elapsed_s - line.last_drawn_s);
  line.last_drawn_s = figures.elapsed_s;
  line.groups_at_last = figures.groups;
  std::fprintf(stderr, "\r\033[K%7.1f s  %lld groups  %.0f/s  lost %llu  ring %lld groups",
               figures.elapsed_s, static_cast<long long>(figures.groups), line.rate,
               static_cast<unsigned long long>(figures.lost),
               static_cast<long long>(figures.ring_groups));
  if (figures.recorded_bytes >= 0)
    std::fprintf(stderr, "  recorded %.1f MB", static_cast<double>(figures.recorded_bytes) / 1e6);
  std::fflush(stderr);
}

void ClearStatusLine(const StatusLine& line) {
  if (!line.enabled || line.last_drawn_s < 0.0) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
}

}  // namespace kr2270::tool
