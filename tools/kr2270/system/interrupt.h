// The interrupt state both platforms' handlers share. Read by a signal
// handler (POSIX) or the console's handler thread (Windows), so atomics and
// a fixed buffer rather than a std::string.
#pragma once

#include <atomic>

namespace kr2270::tool {

struct InterruptState {
  std::atomic<bool> interrupted{false};
  std::atomic<bool> quit{false};
  char remove_on_quit[4096] = {};
};
extern InterruptState g_interrupt;
inline constexpr int kExitInterrupted = 130;

// Records the interrupt; while quitting is on, ends the process at once.
void NoteInterrupt();
// Platform part: removes remove_on_quit, says why and exits with
// kExitInterrupted, using only calls that are safe in a signal handler.
[[noreturn]] void QuitInterrupted();

}  // namespace kr2270::tool
