#include "system/interrupt.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "system/system.h"

namespace kr2270::tool {

InterruptState g_interrupt;

void NoteInterrupt() {
  g_interrupt.interrupted.store(true);
  if (g_interrupt.quit.load()) QuitInterrupted();
}

bool Interrupted() { return g_interrupt.interrupted.load(); }

void SetQuitOnInterrupt(bool quit) {
  g_interrupt.quit.store(quit);
  if (quit && g_interrupt.interrupted.load()) QuitInterrupted();
}

void RemoveOnQuit(const std::string& path) {
  // Off while the name changes, so that a handler never reads half of it.
  const bool quit = g_interrupt.quit.exchange(false);
  const std::size_t n = std::min(path.size(), sizeof g_interrupt.remove_on_quit - 1);
  std::memcpy(g_interrupt.remove_on_quit, path.data(), n);
  g_interrupt.remove_on_quit[n] = '\0';
  g_interrupt.quit.store(quit);
}

int LastSystemError() { return errno; }

std::string SystemErrorText(int error) { return std::strerror(error); }

std::filesystem::path Utf8Path(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string Utf8Text(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace kr2270::tool
