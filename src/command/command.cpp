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
// How long a reply owed from a timed-out request may take to turn up before
// the next request, so that it is discarded instead of being taken as the
// next request's reply.
constexpr std::int64_t kOwedReplyGraceMs = 500;
constexpr std::int64_t kDrainLimitMs = 100;
constexpr int kMaxOwedReplies = 4;

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

// Milliseconds left until deadline_ns, at least 1 so that a receive time-out
// of 0 (no limit) is never set by accident.
std::int32_t MsLeft(std::int64_t deadline_ns) {
  const std::int64_t left = (deadline_ns - platform::MonotonicNs() + kNsPerMs - 1) / kNsPerMs;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(left, 1, INT32_MAX));
}

// Reads frames of replies still owed by the module and throws them away;
// returns how many whole ones it threw away.
std::uint64_t DiscardOwedReplies(CommandChannel& cmd) {
  std::uint64_t discarded = 0;
  const std::int64_t deadline = platform::MonotonicNs() + kOwedReplyGraceMs * kNsPerMs;
  std::uint8_t* bytes = cmd.carry;
  std::size_t have = cmd.carry_length;
  while (cmd.owed_replies > 0) {
    std::size_t frame = 0;
    const FrameState state = ExamineFrame(bytes, have, &frame);
    if (state == FrameState::kMalformed) break;
    if (state == FrameState::kComplete) {
      std::memmove(bytes, bytes + frame, have - frame);
      have -= frame;
      --cmd.owed_replies;
      ++discarded;
      continue;
    }
    if (platform::MonotonicNs() >= deadline) break;
    const int ready = platform::WaitReadable(cmd.socket, MsLeft(deadline));
    if (ready <= 0) break;
    const platform::IoResult r = platform::ReceiveNow(cmd.socket, bytes + have, sizeof cmd.carry - have);
    if (!r.ok()) break;
    have += static_cast<std::size_t>(r.bytes);
  }
  // Whatever is left over cannot be matched to anything we sent.
  const bool leftovers = have != 0 || cmd.owed_replies != 0;
  cmd.owed_replies = 0;
  cmd.carry_length = 0;
  if (leftovers) cmd.needs_drain = true;
  return discarded;
}

void RememberOwedReply(CommandChannel& cmd, const std::uint8_t* partial, std::size_t have) {
  if (cmd.owed_replies == 0) {
    std::memcpy(cmd.carry, partial, have);
    cmd.carry_length = have;
  }
  cmd.owed_replies = std::min(cmd.owed_replies + 1, kMaxOwedReplies);
}

// Receives one reply frame under one deadline. The common case is a single
// receive; a reply in several segments is assembled by its MBAP length.
std::int32_t ReceiveFrame(CommandChannel& cmd, std::uint8_t* reply, std::int32_t timeout_ms) {
  const bool limited = timeout_ms > 0;
  const std::int64_t deadline =
      limited ? platform::MonotonicNs() + std::int64_t{timeout_ms} * kNsPerMs : 0;
  std::size_t have = 0;
  for (;;) {
    const std::int32_t wait_ms = !limited ? 0 : have == 0 ? timeout_ms : MsLeft(deadline);
    if (!SetTimeoutCached(cmd, wait_ms)) return KR2270_ERROR_SOCKET;
    const platform::IoResult r = platform::Receive(cmd.socket, reply + have, kMaxFrameBytes - have);
    if (r.error == platform::NetError::kClosed) return static_cast<std::int32_t>(have);
    if (!r.ok()) {
      if (r.error == platform::NetError::kTimeout) RememberOwedReply(cmd, reply, have);
      return StatusOf(r.error);
    }
    have += static_cast<std::size_t>(r.bytes);
    std::size_t frame = 0;
    const FrameState state = ExamineFrame(reply, have, &frame);
    if (state == FrameState::kMalformed) {
      // Nothing of it can be trusted: judged like a reply that never came.
      cmd.needs_drain = true;
      return 0;
    }
    if (state == FrameState::kComplete) {
      if (have > frame) cmd.needs_drain = true;  // bytes that follow belong to nothing
      return static_cast<std::int32_t>(frame);
    }
    if (limited && platform::MonotonicNs() >= deadline) {
      RememberOwedReply(cmd, reply, have);
      return KR2270_ERROR_TIMEOUT;
    }
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
  if (cmd.owed_replies > 0) device->health.stale_replies.fetch_add(DiscardOwedReplies(cmd));
  if (cmd.needs_drain) DrainNow(cmd);
  const platform::IoResult sent = platform::Send(cmd.socket, request.data(), request.size());
  if (!sent.ok()) return StatusOf(sent.error);
  if (static_cast<std::size_t>(sent.bytes) != request.size()) return KR2270_ERROR_SOCKET;
  const std::int32_t received = ReceiveFrame(cmd, reply, timeout_ms);
  if (received < 0) NoteCommandFailure(device, received);
  return received;
}

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
  if (received < 0) return received;
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
  if (received < 0) return received;
  bool drain = false;
  const std::int32_t status =
      JudgeReadReply(reply, static_cast<std::size_t>(received), destination, &drain);
  if (drain) DrainCommandSocket(device);
  return status;
}

void CloseCommandConnection(Device* device) {
  std::lock_guard<std::mutex> hold(device->cmd.lock);
  CommandChannel& cmd = device->cmd;
  platform::CloseSocket(cmd.socket);
  cmd.socket = platform::kNoSocket;
  device->health.command_open.store(false);
  cmd.owed_replies = 0;
  cmd.carry_length = 0;
  cmd.needs_drain = false;
  cmd.socket_timeout_ms = -1;
}

namespace {

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
  CloseCommandConnection(device);
  {
    std::lock_guard<std::mutex> hold(device->cmd.lock);
    device->cmd.socket = s;
    device->health.command_open.store(true);
  }
  device->data_port = data_port;
  return KR2270_OK;
}

}  // namespace
}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_CmdConnect(KR2270Device* device, const char* ip, uint32_t ip_length,
                                        int32_t port, int32_t data_port, int32_t timeout_ms) {
  return kr2270::Guarded(
      [&] { return kr2270::CmdConnect(device, ip, ip_length, port, data_port, timeout_ms); });
}

KR2270_EXPORT void KR2270_CmdClose(KR2270Device* device) {
  if (device == nullptr) return;
  kr2270::GuardedVoid([&] { kr2270::CloseCommandConnection(device); });
}
