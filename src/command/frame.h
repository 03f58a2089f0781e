// Modbus/TCP frames of the command channel: building requests and judging
// replies. Pure functions over byte buffers, shared by the exchange code, the
// tests and the fuzz harnesses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kr2270 {

// A Modbus/TCP frame is the 6-byte MBAP prefix plus at most 254 bytes
// (unit identifier and a PDU of at most 253 bytes).
inline constexpr std::size_t kMbapPrefixBytes = 6;
inline constexpr std::size_t kMaxFrameBytes = 260;
// Payloads of one write: n + 7 must fit the low length byte.
inline constexpr std::size_t kMaxWritePayload = 248;
inline constexpr std::size_t kMaxReadBytes = 250;

// Function 0x10 request for the payload: 13 + payload.size() bytes.
std::size_t BuildWriteRequest(std::uint16_t address, std::span<const std::uint8_t> payload,
                              std::uint8_t* out);
// Function 0x03 request for byte_count bytes: 12 bytes.
std::size_t BuildReadRequest(std::uint16_t address, std::size_t byte_count, std::uint8_t* out);

enum class FrameState { kNeedMore, kComplete, kMalformed };

// Looks at the first `have` bytes of a reply stream: is a whole frame there?
// A header whose protocol identifier is not 0 or whose length cannot be a
// Modbus frame is malformed.
FrameState ExamineFrame(const std::uint8_t* bytes, std::size_t have, std::size_t* frame_length);

// The request header the library keeps for a reply still owed: MBAP,
// function, address and quantity.
inline constexpr std::size_t kRequestHeaderBytes = 12;

// Whether a complete frame has the form of a reply to the request whose
// header is given: an exception to its function, the echo of its address
// and quantity (a write), or data of its byte count (a read).
bool ReplyAnswers(const std::uint8_t* frame, std::size_t length, const std::uint8_t* request);

// Judges a complete reply frame (or what arrived of it when the connection
// closed) to a write of payload_length bytes: 0 or -5.
std::int32_t JudgeWriteReply(const std::uint8_t* reply, std::size_t length,
                             std::size_t payload_length);

// Judges a reply to a read of destination.size() bytes and copies the data on
// success: 0, -1 / -7 (exception), or -6. Sets *drain when the stream needs
// to be drained (a bad reply, not an exception).
std::int32_t JudgeReadReply(const std::uint8_t* reply, std::size_t length,
                            std::span<std::uint8_t> destination, bool* drain);

}  // namespace kr2270
