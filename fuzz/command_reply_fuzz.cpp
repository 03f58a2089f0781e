// Command replies: arbitrary bytes from the module, judged as the reply to a
// write or to a read of every size the exports use, delivered whole and in
// pieces cut at arbitrary points.
//
// Input: byte 0 picks the request (see kRequests), byte 1 the number of cut
// points (low 3 bits), then that many cut offsets, then the reply stream.
//
// Also included by tests/regression_command_reply_test.cpp, which replays the
// corpus and past findings without libFuzzer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "command/frame.h"
#include "kr2270c.h"

namespace kr2270::fuzzcheck {

struct RequestShape {
  bool write;
  std::size_t bytes;  // payload of a write, data of a read
};
// Writes of 2 to 10 bytes and reads of 2, 4, 16, 32 and 64 bytes are what
// the exports send.
inline constexpr RequestShape kRequests[] = {
    {true, 2}, {true, 4}, {true, 6}, {true, 10}, {false, 2}, {false, 4}, {false, 16}, {false, 32},
    {false, 64}};
inline constexpr std::size_t kGuard = 16;
inline constexpr std::uint8_t kGuardByte = 0xA5;

// What the exchange hands the judge: a whole frame, what came before the
// module closed the connection, or nothing for a malformed header.
struct Received {
  std::vector<std::uint8_t> bytes;
  FrameState state = FrameState::kNeedMore;
};

// Receives the stream in the given pieces, as the exchange does: at most one
// frame's worth of buffer, stopping as soon as the header decides.
inline Received Assemble(const std::uint8_t* stream, std::size_t size,
                         const std::vector<std::size_t>& cuts) {
  Received r;
  std::uint8_t buffer[kMaxFrameBytes] = {};
  std::size_t have = 0;
  std::size_t next_piece_start = 0;
  for (std::size_t i = 0; i <= cuts.size(); ++i) {
    const std::size_t end = i < cuts.size() ? cuts[i] : size;
    if (end <= next_piece_start) continue;
    std::size_t piece = end - next_piece_start;
    if (piece > kMaxFrameBytes - have) piece = kMaxFrameBytes - have;
    std::memcpy(buffer + have, stream + next_piece_start, piece);
    have += piece;
    next_piece_start += piece;
    std::size_t frame = 0;
    r.state = ExamineFrame(buffer, have, &frame);
    if (r.state == FrameState::kMalformed) return r;
    if (r.state == FrameState::kComplete) {
      if (frame < 9 || frame > kMaxFrameBytes || frame > have) std::abort();
      r.bytes.assign(buffer, buffer + frame);
      return r;
    }
    if (have == kMaxFrameBytes) break;
  }
  // The stream ended (the module closed) before a whole frame came.
  r.bytes.assign(buffer, buffer + have);
  return r;
}

inline std::uint16_t Be16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// Independent statement of a well-formed header: protocol 0, a length that
// fits a Modbus frame.
inline bool HeaderIsSound(const std::vector<std::uint8_t>& b) {
  if (b.size() < 6) return false;
  const std::size_t length = Be16(b.data() + 4);
  return Be16(b.data() + 2) == 0 && length >= 3 && length <= 254;
}

struct Verdict {
  std::int32_t status = 0;
  std::vector<std::uint8_t> destination;  // with guards, reads only
  bool drain = false;
};

inline Verdict Judge(const RequestShape& shape, const Received& received) {
  Verdict v;
  // A malformed header counts as no reply at all.
  const std::size_t length =
      received.state == FrameState::kMalformed ? 0 : received.bytes.size();
  std::uint8_t reply[kMaxFrameBytes] = {};
  if (!received.bytes.empty()) std::memcpy(reply, received.bytes.data(), received.bytes.size());
  if (shape.write) {
    v.status = JudgeWriteReply(reply, length, shape.bytes);
    return v;
  }
  v.destination.assign(shape.bytes + 2 * kGuard, kGuardByte);
  v.status = JudgeReadReply(reply, length,
                            std::span<std::uint8_t>(v.destination.data() + kGuard, shape.bytes),
                            &v.drain);
  return v;
}

// The rules every verdict must keep, stated without the library's code.
inline std::string CheckRules(const RequestShape& shape, const Received& received,
                              const Verdict& v) {
  const std::vector<std::uint8_t>& b = received.bytes;
  const bool complete = received.state == FrameState::kComplete;
  if (complete && !HeaderIsSound(b)) return "complete frame with a malformed header";
  if (complete && b.size() != 6u + Be16(b.data() + 4)) return "frame length differs from MBAP";
  if (received.state == FrameState::kMalformed && HeaderIsSound(b)) {
    return "sound header judged malformed";
  }
  if (shape.write) {
    if (v.status != KR2270_OK && v.status != KR2270_ERROR_WRITE_ECHO) return "write status";
    if (v.status == KR2270_OK) {
      if (!complete || b.size() < 12 || b[7] != 0x10 || b[11] != shape.bytes / 2) {
        return "write accepted without an echo of its quantity";
      }
    }
    return {};
  }
  const std::size_t n = shape.bytes;
  for (std::size_t i = 0; i < kGuard; ++i) {
    if (v.destination[i] != kGuardByte || v.destination[kGuard + n + i] != kGuardByte) {
      return "write outside the destination";
    }
  }
  // A reply cut short by a close still counts as an exception when its
  // function code says so: nothing is taken from it either way.
  const bool exception =
      received.state != FrameState::kMalformed && b.size() >= 9 && (b[7] & 0x80) != 0;
  switch (v.status) {
    case KR2270_OK:
      if (!complete || b.size() != n + 9 || b[7] != 0x03 || b[8] != n) {
        return "read accepted without a well-formed reply";
      }
      if (std::memcmp(v.destination.data() + kGuard, b.data() + 9, n) != 0) {
        return "read data differs from the reply";
      }
      if (v.drain) return "drain after a good reply";
      return {};
    case KR2270_ERROR_EXCEPTION4:
    case KR2270_ERROR_ARGUMENT:
      if (!exception) return "exception status without an exception reply";
      if ((b[8] == 4) != (v.status == KR2270_ERROR_EXCEPTION4)) return "exception code mapping";
      if (v.drain) return "drain after an exception";
      break;
    case KR2270_ERROR_READ_REPLY:
      if (exception) return "exception reply judged as a bad reply";
      if (!v.drain) return "bad reply not drained";
      break;
    default:
      return "read status";
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (v.destination[kGuard + i] != kGuardByte) return "failed read wrote the destination";
  }
  return {};
}

inline bool SameVerdict(const Verdict& a, const Verdict& b) {
  return a.status == b.status && a.destination == b.destination && a.drain == b.drain;
}

// Returns an empty string when the input keeps every rule, else what broke.
inline std::string CheckCommandReply(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return {};
  const RequestShape shape = kRequests[data[0] % std::size(kRequests)];
  const std::size_t cut_count = data[1] & 7u;
  if (size < 2 + cut_count) return {};
  const std::uint8_t* stream = data + 2 + cut_count;
  const std::size_t stream_size = size - 2 - cut_count;
  std::vector<std::size_t> cuts;
  for (std::size_t i = 0; i < cut_count; ++i) cuts.push_back(data[2 + i] % (stream_size + 1));
  std::sort(cuts.begin(), cuts.end());

  const Received whole = Assemble(stream, stream_size, {});
  const Verdict whole_verdict = Judge(shape, whole);
  std::string failure = CheckRules(shape, whole, whole_verdict);
  if (!failure.empty()) return "whole: " + failure;

  const Received pieces = Assemble(stream, stream_size, cuts);
  const Verdict pieces_verdict = Judge(shape, pieces);
  failure = CheckRules(shape, pieces, pieces_verdict);
  if (!failure.empty()) return "pieces: " + failure;
  if (pieces.state != whole.state || pieces.bytes != whole.bytes) {
    return "pieces assemble differently";
  }
  if (!SameVerdict(whole_verdict, pieces_verdict)) return "pieces judged differently";

  // Every single cut point, and one byte at a time, for short streams.
  if (stream_size <= 80) {
    for (std::size_t cut = 1; cut < stream_size; ++cut) {
      const Received r = Assemble(stream, stream_size, {cut});
      if (r.state != whole.state || r.bytes != whole.bytes) return "cut assembles differently";
    }
    std::vector<std::size_t> every;
    for (std::size_t i = 1; i < stream_size; ++i) every.push_back(i);
    const Received r = Assemble(stream, stream_size, every);
    if (r.state != whole.state || r.bytes != whole.bytes) return "bytewise assembles differently";
  }
  return {};
}

}  // namespace kr2270::fuzzcheck

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string failure = kr2270::fuzzcheck::CheckCommandReply(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "command reply rule broken: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
