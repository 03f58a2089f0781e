#include "command/frame.h"

#include <cstring>

#include "command/bytes.h"
#include "kr2270c.h"

namespace kr2270 {
namespace {

constexpr std::uint8_t kUnit = 0x01;
constexpr std::uint8_t kWriteMultiple = 0x10;
constexpr std::uint8_t kReadHolding = 0x03;
constexpr std::uint8_t kExceptionBit = 0x80;

void PutMbap(std::uint8_t* out, std::size_t length_field) {
  // Transaction identifier 0 on every request: replies match by order.
  PutU16BE(out + 0, 0);
  PutU16BE(out + 2, 0);
  PutU16BE(out + 4, static_cast<std::uint32_t>(length_field));
  out[6] = kUnit;
}

// The frame's length field covers exactly the bytes that arrived.
bool IsWholeFrame(const std::uint8_t* reply, std::size_t length) {
  return kMbapPrefixBytes + GetU16BE(reply + 4) == length;
}

}  // namespace

std::size_t BuildWriteRequest(std::uint16_t address, std::span<const std::uint8_t> payload,
                              std::uint8_t* out) {
  const std::size_t n = payload.size();
  PutMbap(out, n + 7);
  out[7] = kWriteMultiple;
  PutU16BE(out + 8, address);
  PutU16BE(out + 10, static_cast<std::uint32_t>(n / 2));
  out[12] = static_cast<std::uint8_t>(n);
  if (n != 0) std::memcpy(out + 13, payload.data(), n);
  return 13 + n;
}

std::size_t BuildReadRequest(std::uint16_t address, std::size_t byte_count, std::uint8_t* out) {
  PutMbap(out, 6);
  out[7] = kReadHolding;
  PutU16BE(out + 8, address);
  PutU16BE(out + 10, static_cast<std::uint32_t>(byte_count / 2));
  return 12;
}

FrameState ExamineFrame(const std::uint8_t* bytes, std::size_t have, std::size_t* frame_length) {
  if (have < kMbapPrefixBytes) return FrameState::kNeedMore;
  const std::size_t length_field = GetU16BE(bytes + 4);
  // The smallest frame is unit + function + one byte (an exception reply).
  if (GetU16BE(bytes + 2) != 0 || length_field < 3 ||
      length_field > kMaxFrameBytes - kMbapPrefixBytes) {
    return FrameState::kMalformed;
  }
  *frame_length = kMbapPrefixBytes + length_field;
  return have >= *frame_length ? FrameState::kComplete : FrameState::kNeedMore;
}

bool ReplyAnswers(const std::uint8_t* frame, std::size_t length, const std::uint8_t* request) {
  if (length < 9 || (frame[7] & ~kExceptionBit) != request[7]) return false;
  if ((frame[7] & kExceptionBit) != 0) return true;
  if (request[7] == kWriteMultiple) {
    return length >= 12 && std::memcmp(frame + 8, request + 8, 4) == 0;
  }
  return std::size_t{frame[8]} == 2 * std::size_t{GetU16BE(request + 10)};
}

std::int32_t JudgeWriteReply(const std::uint8_t* reply, std::size_t length,
                             std::size_t payload_length) {
  // The echo: header, function, start address, quantity of registers. A
  // frame cut short by a close (fewer bytes than its length field) is none.
  if (length < 12 || !IsWholeFrame(reply, length) || reply[7] != kWriteMultiple) {
    return KR2270_ERROR_WRITE_ECHO;
  }
  if (std::size_t{reply[11]} * 2 != payload_length) return KR2270_ERROR_WRITE_ECHO;
  return KR2270_OK;
}

std::int32_t JudgeReadReply(const std::uint8_t* reply, std::size_t length,
                            std::span<std::uint8_t> destination, bool* drain) {
  *drain = false;
  if (length >= 9 && (reply[7] & kExceptionBit) != 0) {
    return reply[8] == 4 ? KR2270_ERROR_EXCEPTION4 : KR2270_ERROR_ARGUMENT;
  }
  const std::size_t n = destination.size();
  if (length == n + 9 && IsWholeFrame(reply, length) && reply[7] == kReadHolding &&
      reply[8] == n) {
    if (n != 0) std::memcpy(destination.data(), reply + 9, n);
    return KR2270_OK;
  }
  *drain = true;
  return KR2270_ERROR_READ_REPLY;
}

}  // namespace kr2270
