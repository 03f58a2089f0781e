// What the tool needs from the operating system beyond standard C++:
// signals, error texts, clocks and disk space. One implementation per
// platform (system_posix.cpp here), chosen by the build.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace kr2270::tool {

// Ctrl-C and SIGTERM set a flag instead of killing the process; a closed
// pipe shows as a failed write instead of a signal. Called once at start.
void InstallSignalHandling();

bool Interrupted();

// While set (connecting, setting up, replaying), an interrupt ends the
// process at once with exit status 130, after removing the file named by
// RemoveOnQuit: nothing captured yet is worth waiting for a reply.
void SetQuitOnInterrupt(bool quit);
void RemoveOnQuit(const std::string& path);  // empty: none

// The last system error of the calling thread, and its text.
int LastSystemError();
std::string SystemErrorText(int error);
bool IsClosedOutput(int error);  // the reader of a pipe went away

// The command line as UTF-8 text, whatever the system's code page: every
// path the tool is given is UTF-8 from here on.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// ---- files the tool writes ----------------------------------------------------
// A file is created, never opened over what is there: a temporary file is
// written whole, then moved into place in one step.

// Creates `path` for writing (binary) only when nothing is there: an
// existing file, or a link to anywhere, makes it fail instead of being
// written through. Null on failure, with the error in LastSystemError().
std::FILE* CreateExclusive(const std::string& path);

// Moves `from` to `to` in one step. With `replace`, what is at `to` (a file,
// or a link itself, never its target) is replaced; without, the move fails
// with EEXIST when anything is there. False on failure (LastSystemError()).
bool MoveInto(const std::string& from, const std::string& to, bool replace);

// Whether anything, a dangling link included, is at `path`.
bool EntryExists(const std::string& path);

// Removes what is at `path`: a link itself, never what it points to. True
// when nothing is there afterwards.
bool RemoveEntry(const std::string& path);

// UTF-8 text as the standard library's paths take it, on every system.
std::filesystem::path Utf8Path(const std::string& text);
std::string Utf8Text(const std::filesystem::path& path);

// True when the file system that holds `dir` has no space left for users.
bool DiskIsFull(const std::string& dir);

// "2026-12-08T04:10:00Z" and the local zone as "+01:00 (CET)".
std::string UtcTimestampNow();
std::string LocalTimeZone();

// The calling thread yields to the process's other threads when the cores
// are busy: for work that may fall behind (drawing, serving pages) beside
// work that must not (taking the stream).
void LowerThreadPriority();

// Whether a listening socket may take SO_REUSEADDR: a restart then binds a
// port whose old connections linger. Not on Windows, where the option lets
// another process take the port over.
bool ListenMayReuseAddress();

// The version the loaded library reports, "unknown" when it has no
// version export.
std::string LibraryVersion();

}  // namespace kr2270::tool
