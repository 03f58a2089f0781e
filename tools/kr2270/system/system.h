// What the tool needs from the operating system beyond standard C++:
// signals, error texts, clocks and disk space. One implementation per
// platform (system_posix.cpp here), chosen by the build.
#pragma once

#include <string>

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
