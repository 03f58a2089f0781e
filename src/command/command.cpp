#include "command/command.h"

#include <algorithm>
#include <cstring>

#include "command/frame.h"
#include "device/export.h"
#include "device/health.h"
#include "device/lifecycle.h"

namespace kr2270 {
namespace {

constexpr std::int64_t kNsPerMs = 1000000;
// How long after its request timed out a reply may still turn up; one not
// come by then counts as dropped.
constexpr std::int64_t kOwedReplyGraceMs = 500;
constexpr std::int64_t kDrainLimitMs = 100;

thread_local std::int64_t last_request_sent_ns = 0;

std::int32_t StatusOf(platform::NetError error) {
  switch (error) {
    case platform::NetError::kTimeout:
      return KR2270_ERROR_TIMEOUT;
    case platform::NetError::kReset:
      return KR2270_ERROR_RESET;
    default:
      return KR2270_ERROR_SOCKET;
  }
}

bool SetTimeoutCached(CommandChannel& cmd, std::int32_t timeout_ms) {
  if (cmd.socket_timeout_ms == timeout_ms) return true;
  if (!platform::SetReceiveTimeout(cmd.socket, timeout_ms)) {
    cmd.socket_timeout_ms = -1;
    return false;
  }
  cmd.socket_timeout_ms = timeout_ms;
  return true;
}

// The caller's time limit for one exchange; none for a time-out of 0.
struct Deadline {
  bool limited = false;
  std::int64_t ns = 0;
};

Deadline DeadlineAfter(std::int32_t timeout_ms) {
  if (timeout_ms <= 0) return {};
  return {true, platform::MonotonicNs() + std::int64_t{timeout_ms} * kNsPerMs};
}

bool Passed(std::int64_t ns) { return platform::MonotonicNs() >= ns; }

// Milliseconds left until deadline_ns, at least 1 so that a receive time-out
// of 0 (no limit) is never set by accident.
std::int32_t MsLeft(std::int64_t deadline_ns) {
  const std::int64_t left = (deadline_ns - platform::MonotonicNs() + kNsPerMs - 1) / kNsPerMs;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(left, 1, INT32_MAX));
}

// True once KR2270_CmdClose (or a new connect) took the socket away: what a
// receive then sees is the wake-up, not the module.
bool ClosedUnderUs(const CommandChannel& cmd) { return cmd.wake.load() != cmd.socket; }

void ForgetOwedReplies(CommandChannel& cmd) {
  cmd.owed_replies = 0;
  // Bytes left over cannot be matched to anything we sent.
  if (cmd.carry_length != 0) cmd.needs_drain = true;
  cmd.carry_length = 0;
}

// Replies come in request order: a frame answering owed request i means the
// ones before it were dropped. Removes the frame and those requests.
bool TakeOwedFrame(CommandChannel& cmd, std::uint8_t* bytes, std::size_t* have,
                   std::size_t frame) {
  for (int i = 0; i < cmd.owed_replies; ++i) {
    if (!ReplyAnswers(bytes, frame, cmd.owed[i])) continue;
    std::memmove(bytes, bytes + frame, *have - frame);
    *have -= frame;
    const int left = cmd.owed_replies - i - 1;
    std::memmove(cmd.owed, cmd.owed + i + 1, static_cast<std::size_t>(left) * sizeof cmd.owed[0]);
    cmd.owed_replies = left;
    cmd.stale_replies.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  return false;
}

// With an owed request of the same function, the reply to a new request
// could not be told from the owed one.
bool CouldBeTakenForOwed(const CommandChannel& cmd, const std::uint8_t* request) {
  for (int i = 0; i < cmd.owed_replies; ++i) {
    if (cmd.owed[i][7] == request[7]) return true;
  }
  return false;
}

enum class Settled { kYes, kSendAnyway, kTimedOut, kClosed };

// Before a request is sent: throws away owed replies as they arrive, until
// none is owed or the grace passed. A caller whose deadline comes first
// sends at once when its reply can be told apart from the owed ones, and
// otherwise gets -2 with nothing sent.
Settled SettleOwedReplies(CommandChannel& cmd, const std::uint8_t* request, Deadline deadline) {
  while (cmd.owed_replies > 0) {
    std::size_t frame = 0;
    const FrameState state = ExamineFrame(cmd.carry, cmd.carry_length, &frame);
    if (state == FrameState::kMalformed) break;
    if (state == FrameState::kComplete) {
      if (!TakeOwedFrame(cmd, cmd.carry, &cmd.carry_length, frame)) break;
      continue;
    }
    if (Passed(cmd.owed_until_ns)) break;
    std::int64_t wait_until = cmd.owed_until_ns;
    if (deadline.limited && deadline.ns < cmd.owed_until_ns) {
      if (!CouldBeTakenForOwed(cmd, request)) return Settled::kSendAnyway;
      if (Passed(deadline.ns)) return Settled::kTimedOut;
      wait_until = deadline.ns;
    }
    const int ready = platform::WaitReadable(cmd.socket, MsLeft(wait_until));
    if (ClosedUnderUs(cmd)) return Settled::kClosed;
    if (ready < 0) break;
    if (ready == 0) continue;
    const platform::IoResult r = platform::ReceiveNow(
        cmd.socket, cmd.carry + cmd.carry_length, sizeof cmd.carry - cmd.carry_length);
    if (!r.ok()) break;
    cmd.carry_length += static_cast<std::size_t>(r.bytes);
  }
  ForgetOwedReplies(cmd);
  return Settled::kYes;
}

void RememberOwedReply(CommandChannel& cmd, const std::uint8_t* request,
                       const std::uint8_t* partial, std::size_t have) {
  std::memcpy(cmd.carry, partial, have);
  cmd.carry_length = have;
  if (cmd.owed_replies == CommandChannel::kMaxOwedReplies) {
    // The oldest has waited longest: the first to count as dropped.
    std::memmove(cmd.owed, cmd.owed + 1, sizeof cmd.owed - sizeof cmd.owed[0]);
    --cmd.owed_replies;
  }
  std::memcpy(cmd.owed[cmd.owed_replies++], request, kRequestHeaderBytes);
  cmd.owed_until_ns = platform::MonotonicNs() + kOwedReplyGraceMs * kNsPerMs;
}

// Receives the reply frame to `request` under the caller's deadline. The
// common case is a single receive; a reply in several segments is
// assembled by its MBAP length; owed replies ahead of it are thrown away.
std::int32_t ReceiveFrame(CommandChannel& cmd, const std::uint8_t* request, std::uint8_t* reply,
                          Deadline deadline) {
  std::size_t have = cmd.carry_length;
  std::memcpy(reply, cmd.carry, have);
  cmd.carry_length = 0;
  for (;;) {
    std::size_t frame = 0;
    const FrameState state = ExamineFrame(reply, have, &frame);
    if (state == FrameState::kMalformed) {
      // Nothing of it can be trusted: judged like a reply that never came.
      cmd.owed_replies = 0;
      cmd.needs_drain = true;
      return 0;
    }
    if (state == FrameState::kComplete) {
      if (TakeOwedFrame(cmd, reply, &have, frame)) continue;
      cmd.owed_replies = 0;  // ours came: the owed ones never will
      if (have > frame) cmd.needs_drain = true;  // bytes that follow belong to nothing
      return static_cast<std::int32_t>(frame);
    }
    if (deadline.limited && Passed(deadline.ns)) {
      RememberOwedReply(cmd, request, reply, have);
      return KR2270_ERROR_TIMEOUT;
    }
    // What is left of the caller's time: a wait for an owed reply before the
    // send has already used some of it.
    const std::int32_t wait_ms = deadline.limited ? MsLeft(deadline.ns) : 0;
    if (!SetTimeoutCached(cmd, wait_ms)) return KR2270_ERROR_SOCKET;
    const platform::IoResult r = platform::Receive(cmd.socket, reply + have, kMaxFrameBytes - have);
    if (ClosedUnderUs(cmd)) return KR2270_ERROR_SOCKET;
    if (r.error == platform::NetError::kClosed) {
      cmd.owed_replies = 0;
      return static_cast<std::int32_t>(have);
    }
    if (!r.ok()) {
      if (r.error == platform::NetError::kTimeout) RememberOwedReply(cmd, request, reply, have);
      return StatusOf(r.error);
    }
    have += static_cast<std::size_t>(r.bytes);
  }
}

void DrainNow(CommandChannel& cmd) {
  const std::int64_t start = platform::MonotonicNs();
  std::uint8_t sink[256];
  for (;;) {
    const platform::IoResult r = platform::ReceiveNow(cmd.socket, sink, sizeof sink);
    if (!r.ok() || r.bytes <= 0) break;
    if (platform::MonotonicNs() - start > kDrainLimitMs * kNsPerMs) break;
  }
  cmd.needs_drain = false;
}

}  // namespace

std::int32_t CommandTransaction(Device* device, std::span<const std::uint8_t> request,
                                std::uint8_t* reply, std::int32_t timeout_ms) {
  CommandChannel& cmd = device->cmd;
  // A negative time-out cannot be set on a socket.
  if (cmd.socket == platform::kNoSocket || timeout_ms < 0) return KR2270_ERROR_SOCKET;
  const Deadline deadline = DeadlineAfter(timeout_ms);
  switch (SettleOwedReplies(cmd, request.data(), deadline)) {
    case Settled::kTimedOut:
      return KR2270_ERROR_TIMEOUT;
    case Settled::kClosed:
      return KR2270_ERROR_SOCKET;
    case Settled::kYes:
      if (cmd.needs_drain) DrainNow(cmd);
      break;
    case Settled::kSendAnyway:
      break;
  }
  last_request_sent_ns = platform::MonotonicNs();
  const platform::IoResult sent = platform::Send(cmd.socket, request.data(), request.size());
  if (ClosedUnderUs(cmd)) return KR2270_ERROR_SOCKET;
  if (!sent.ok()) return StatusOf(sent.error);
  if (static_cast<std::size_t>(sent.bytes) != request.size()) return KR2270_ERROR_SOCKET;
  return ReceiveFrame(cmd, request.data(), reply, deadline);
}

std::int64_t LastRequestSentNs() { return last_request_sent_ns; }

void DrainCommandSocket(Device* device) {
  if (device->cmd.socket != platform::kNoSocket) DrainNow(device->cmd);
}

std::int32_t WriteRegisters(Device* device, std::uint16_t address,
                            std::span<const std::uint8_t> payload, std::int32_t timeout_ms) {
  std::uint8_t request[13 + kMaxWritePayload];
  const std::size_t length = BuildWriteRequest(address, payload, request);
  std::uint8_t reply[kMaxFrameBytes] = {};
  std::lock_guard<std::mutex> hold(device->cmd.lock);
  const std::int32_t received =
      CommandTransaction(device, std::span<const std::uint8_t>(request, length), reply, timeout_ms);
  if (received < 0) return NoteCommandFailure(device, received);
  if (received == 0) NoteCommandConnectionGone(device);
  const std::int32_t status = JudgeWriteReply(reply, static_cast<std::size_t>(received), payload.size());
  if (status != KR2270_OK) DrainCommandSocket(device);
  return status;
}

std::int32_t ReadRegisters(Device* device, std::uint16_t address,
                           std::span<std::uint8_t> destination, std::int32_t timeout_ms) {
  std::uint8_t request[12];
  const std::size_t length = BuildReadRequest(address, destination.size(), request);
  std::uint8_t reply[kMaxFrameBytes] = {};
  std::lock_guard<std::mutex> hold(device->cmd.lock);
  const std::int32_t received =
      CommandTransaction(device, std::span<const std::uint8_t>(request, length), reply, timeout_ms);
  if (received < 0) return NoteCommandFailure(device, received);
  if (received == 0) NoteCommandConnectionGone(device);
  bool drain = false;
  const std::int32_t status =
      JudgeReadReply(reply, static_cast<std::size_t>(received), destination, &drain);
  if (drain) DrainCommandSocket(device);
  return status;
}

void CloseCommandConnection(Device* device) {
  CommandChannel& cmd = device->cmd;
  // Wakes an exchange waiting for a reply (perhaps without a time-out), so
  // that the lock comes free at once; the exchange then fails with -4.
  platform::ShutdownSocket(cmd.wake.exchange(platform::kNoSocket));
  std::lock_guard<std::mutex> hold(cmd.lock);
  platform::CloseSocket(cmd.socket);
  cmd.socket = platform::kNoSocket;
  cmd.owed_replies = 0;
  cmd.owed_until_ns = 0;
  cmd.carry_length = 0;
  cmd.needs_drain = false;
  cmd.socket_timeout_ms = -1;
}

namespace {

// Replaces the command connection with a new one to address:port.
std::int32_t OpenCommandSocket(Device* device, std::uint32_t address, std::int32_t port,
                               std::int32_t timeout_ms) {
  const platform::Socket s = platform::TcpSocket();
  if (s == platform::kNoSocket) return KR2270_ERROR_CONNECT;
  const bool connected = platform::SetNonBlocking(s, true) &&
                         platform::ConnectWithTimeout(s, address, static_cast<std::uint16_t>(port),
                                                      timeout_ms) &&
                         platform::SetNonBlocking(s, false);
  if (!connected) {
    platform::CloseSocket(s);
    return KR2270_ERROR_CONNECT;
  }
  platform::SetNoDelay(s);  // one small request at a time: never wait for Nagle
  platform::SetKeepAlive(s);  // a pulled cable shows as a failed command, not a hang
  CloseCommandConnection(device);
  {
    std::lock_guard<std::mutex> hold(device->cmd.lock);
    device->cmd.socket = s;
    device->cmd.wake.store(s);
  }
  return KR2270_OK;
}

// The address text: ip_length characters, or the terminated text; at most 19.
bool CopyAddressText(char (&field)[20], const char* ip, std::uint32_t ip_length) {
  constexpr std::size_t kMax = sizeof field - 1;
  std::size_t length = ip_length;
  if (ip_length == 0) {
    length = strnlen(ip, kMax + 1);
    if (length > kMax) return false;
  } else if (ip_length > kMax) {
    return false;
  }
  std::memset(field, 0, sizeof field);
  std::memcpy(field, ip, strnlen(ip, length));
  return true;
}

std::int32_t CmdConnect(Device* device, const char* ip, std::uint32_t ip_length, std::int32_t port,
                        std::int32_t data_port, std::int32_t timeout_ms) {
  if (device == nullptr) return KR2270_ERROR_ARGUMENT;
  if (ip == nullptr || !CopyAddressText(device->ip_address, ip, ip_length)) {
    return KR2270_ERROR_CONNECT;
  }
  if (!platform::NetStartup()) return KR2270_ERROR_NETSTART;
  std::uint32_t address = 0;
  if (!platform::ParseIpv4(device->ip_address, &address)) return KR2270_ERROR_CONNECT;
  const std::int32_t opened = OpenCommandSocket(device, address, port, timeout_ms);
  if (opened != KR2270_OK) return opened;
  device->command_closed_by_application.store(false);
  device->command_port.store(port);
  device->data_port = data_port;
  return KR2270_OK;
}

}  // namespace

std::int32_t ReopenCommandConnection(Device* device, std::uint32_t address, std::int32_t port,
                                     std::int32_t timeout_ms) {
  return OpenCommandSocket(device, address, port, timeout_ms);
}

}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_CmdConnect(KR2270Device* device, const char* ip, uint32_t ip_length,
                                        int32_t port, int32_t data_port, int32_t timeout_ms) {
  return kr2270::Guarded(
      [&] { return kr2270::CmdConnect(device, ip, ip_length, port, data_port, timeout_ms); });
}

KR2270_EXPORT void KR2270_CmdClose(KR2270Device* device) {
  if (device == nullptr) return;
  device->command_closed_by_application.store(true);
  kr2270::GuardedVoid([&] { kr2270::CloseCommandConnection(device); });
}
