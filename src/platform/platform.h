// Small operating-system layer: everything the core needs from the platform
// goes through these functions; one implementation per platform lives in its
// own folder and is chosen by the build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

namespace kr2270::platform {

#if defined(_WIN32)
// A SOCKET: pointer-sized; INVALID_SOCKET is never a valid one.
using Socket = std::uintptr_t;
inline constexpr Socket kNoSocket = ~Socket{0};
inline constexpr char kPathSeparator = '\\';
#else
// A socket handle. kNoSocket is never a valid descriptor (0 is).
using Socket = int;
inline constexpr Socket kNoSocket = -1;
inline constexpr char kPathSeparator = '/';
#endif

// Outcome classes of socket calls, mapped to status codes by the callers.
enum class NetError { kNone, kTimeout, kReset, kClosed, kOther };

// Result of a send or receive: bytes moved (>= 0) or an error class.
struct IoResult {
  std::ptrdiff_t bytes = 0;
  NetError error = NetError::kNone;
  bool ok() const { return error == NetError::kNone; }
};

// Starts the socket library (a no-op where there is none). Returns false on failure.
bool NetStartup();

// Parses dotted-decimal IPv4 text (no name lookup) into network byte order.
bool ParseIpv4(const char* text, std::uint32_t* address_be);

// Creates a TCP/IPv4 stream socket, close-on-exec. Returns kNoSocket on failure.
Socket TcpSocket();
void CloseSocket(Socket s);
// Shuts both directions down and wakes a thread blocked in a receive on s;
// s stays open until CloseSocket.
void ShutdownSocket(Socket s);
bool SetNonBlocking(Socket s, bool on);

// Connects s to address:port, waiting at most timeout_ms (0 = check once).
// Returns true only when the connection was really established.
bool ConnectWithTimeout(Socket s, std::uint32_t address_be, std::uint16_t port,
                        std::int32_t timeout_ms);

// Receive time-out of blocking receives; 0 = none.
bool SetReceiveTimeout(Socket s, std::int32_t timeout_ms);
// Minimum bytes a blocking receive waits for (batches wake-ups).
bool SetReceiveLowWater(Socket s, int bytes);
bool SetNoDelay(Socket s);
// Acknowledges what arrives next without the delayed-ACK wait. A sender that
// uses Nagle's algorithm holds a block's short last segment until then, which
// would add up to 40 ms to its groups. Linux clears it after a receive, so it
// is set again after each; false where the platform has no such switch.
bool AcknowledgePromptly(Socket s);
// TCP keepalive probes so that a peer that vanished without FIN/RST (a pulled
// cable) is eventually reported as a failed receive or send: first probe after
// idle_s seconds of silence, then every interval_s seconds, count probes.
// The library's connections take the defaults: a dead link shows after about 5 s.
bool SetKeepAlive(Socket s, int idle_s = 2, int interval_s = 1, int count = 3);

// One send call; never raises SIGPIPE.
IoResult Send(Socket s, const void* data, std::size_t length);
// One blocking receive (honours the receive time-out). 0 bytes with kClosed
// means an orderly close by the peer.
IoResult Receive(Socket s, void* data, std::size_t length);
// One receive that does not block.
IoResult ReceiveNow(Socket s, void* data, std::size_t length);
// Waits until s is readable, for at most timeout_ms (negative = no limit).
// Returns 1 readable, 0 time-out, -1 error.
int WaitReadable(Socket s, int timeout_ms);

// Monotonic clock in nanoseconds.
std::int64_t MonotonicNs();
// Wall-clock time: nanoseconds since 1970-01-01 00:00:00 UTC.
std::int64_t WallClockNs();
// Sleeps about ms milliseconds, also when ms is below the system tick.
void SleepMs(int ms);

// File-attribute query: true when path names an existing directory/file.
bool IsDirectory(const char* path);
bool FileExists(const char* path);
bool IsRegularFile(const char* path);

// Files. Every file the library opens is binary and close-on-exec.
struct FileOpen {
  std::FILE* file = nullptr;
  int error = 0;  // error number when file is null
};
// Creates path for writing; fails when it exists, so that no file is ever
// truncated, not even by a race with another process.
FileOpen CreateNewFile(const char* path);
// Opens path for reading only when it is a regular file; never blocks (a FIFO
// or a device named like a recording must not hang the caller).
FileOpen OpenRegularFile(const char* path);
// True when error (from FileOpen) means the path already exists.
bool IsExistsError(int error);
// Error number of the last failed C library file call.
int LastFileError();
// 64-bit positioning from the start of the file; false on failure.
bool SeekFile(std::FILE* file, std::int64_t offset);
// Size of an open file in bytes, or -1.
std::int64_t FileSize(std::FILE* file);
// Flushes the stream and asks the system to put the file on the disk.
bool SyncFile(std::FILE* file);
// Renames from to to in one step, replacing an existing to: a reader sees
// the old file or the new one, never neither and never half.
bool ReplaceFile(const char* from, const char* to);
bool RemoveFile(const char* path);

// Paths: kPathSeparator is the one written; IsPathSeparator accepts every
// separator of the platform ('/' and '\\' on Windows).
bool IsPathSeparator(char c);
// Local broken-down time of a time_t; false on failure.
bool LocalTime(std::time_t seconds, std::tm* local);

// Debug output of the library (stderr here).
void DebugOutput(const char* text);
// Readable text of an error number, at most max_length characters.
std::string ErrorText(int error_number, std::size_t max_length);

// CPU time thread has used so far in nanoseconds, or -1.
std::int64_t ThreadCpuNs(std::thread& thread);
// CPU time of the whole process so far in nanoseconds, or -1.
std::int64_t ProcessCpuNs();

}  // namespace kr2270::platform
