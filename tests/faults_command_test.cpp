// The command channel against a misbehaving module (the simulator's reply
// faults). Each row asserts the exact status, that a failed read leaves the
// caller's bytes as they were, and that the next exchange gets exactly its
// own reply. The data oracle is the simulator's register model with the
// model time frozen, never the library's own output.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "command/command.h"
#include "device/device.h"
#include "kr2270c.h"
#include "sim/simulator.h"

namespace kr2270 {
namespace {

using sim::ReplyFault;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kCodes = 256;   // analog codes: follow model time
constexpr std::size_t kCodeBytes = 32;  // the size KR2270_AdReadAllOnce reads
constexpr std::uint16_t kStreamEnable = 14;
constexpr std::size_t kGuard = 8;
constexpr std::uint8_t kGuardByte = 0x5C;

long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A destination with guard bytes on both sides.
struct GuardedBytes {
  explicit GuardedBytes(std::size_t n) : bytes(n + 2 * kGuard, kGuardByte), size(n) {}
  std::span<std::uint8_t> data() { return {bytes.data() + kGuard, size}; }
  Bytes inner() const { return Bytes(bytes.begin() + kGuard, bytes.begin() + kGuard + size); }
  bool untouched() const {
    for (std::uint8_t b : bytes) {
      if (b != kGuardByte) return false;
    }
    return true;
  }
  bool guards_intact() const {
    for (std::size_t i = 0; i < kGuard; ++i) {
      if (bytes[i] != kGuardByte || bytes[kGuard + size + i] != kGuardByte) return false;
    }
    return true;
  }
  Bytes bytes;
  std::size_t size;
};

class FaultsCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sim_.Start(), 0);
    sim_.FreezeTime(1.25);
    device_ = KR2270_DeviceCreate();
    ASSERT_NE(device_, nullptr);
    Connect();
  }
  void TearDown() override { KR2270_DeviceClose(device_); }

  void Connect() {
    ASSERT_EQ(KR2270_CmdConnect(device_, "127.0.0.1", 0, sim_.command_port(), sim_.data_port(),
                                2000),
              0);
  }

  // What a read of the analog codes must return now: the simulator's
  // registers, high byte first.
  Bytes ExpectedCodes() const {
    Bytes expected;
    for (std::uint16_t r = 0; r < kCodeBytes / 2; ++r) {
      const std::uint16_t v = sim_.ReadRegister(static_cast<std::uint16_t>(kCodes + r));
      expected.push_back(static_cast<std::uint8_t>(v >> 8));
      expected.push_back(static_cast<std::uint8_t>(v));
    }
    return expected;
  }

  std::int32_t ReadCodes(GuardedBytes& into, std::int32_t timeout_ms = 1000) {
    return ReadRegisters(device_, kCodes, into.data(), timeout_ms);
  }
  std::int32_t WriteEnable(std::uint8_t low, std::int32_t timeout_ms = 1000) {
    return WriteRegisters(device_, kStreamEnable, {0x04, low}, timeout_ms);
  }

  // The channel is back in step: a read and a write get their own replies.
  void ExpectInStep(const std::string& where) {
    SCOPED_TRACE(where);
    sim_.FreezeTime(sim_.model_time() + 0.37);
    GuardedBytes fresh(kCodeBytes);
    ASSERT_EQ(ReadCodes(fresh), 0);
    EXPECT_EQ(fresh.inner(), ExpectedCodes());
    EXPECT_TRUE(fresh.guards_intact());
    const std::uint16_t before = sim_.HoldingRegister(kStreamEnable);
    const auto low = static_cast<std::uint8_t>((before & 0xFF) ^ 0x01);
    ASSERT_EQ(WriteEnable(low), 0);
    EXPECT_EQ(sim_.HoldingRegister(kStreamEnable) & 0xFF, low);
  }

  sim::Simulator sim_;
  Device* device_ = nullptr;
};

using Rewrite = std::function<Bytes(Bytes)>;
struct RewriteRow {
  const char* name;
  Rewrite rewrite;
  std::int32_t read_status;   // for a read of 32 bytes
  std::int32_t write_status;  // for a write of 2 bytes
};

Bytes SetLength(Bytes r, std::uint16_t length) {
  r[4] = static_cast<std::uint8_t>(length >> 8);
  r[5] = static_cast<std::uint8_t>(length);
  return r;
}
std::uint16_t LengthOf(const Bytes& r) { return static_cast<std::uint16_t>(r[4] << 8 | r[5]); }

// Every wrong header field, each for a read and for a write. A length field
// that cannot be a Modbus frame or a protocol identifier other than 0 is no
// reply at all; the unit is not compared (the module has only one), so a
// reply that is otherwise right is taken.
const RewriteRow kRewrites[] = {
    {"length 0", [](Bytes r) { return SetLength(r, 0); }, -6, -5},
    {"length 2", [](Bytes r) { return SetLength(r, 2); }, -6, -5},
    {"length 255", [](Bytes r) { return SetLength(r, 255); }, -6, -5},
    {"length 65535", [](Bytes r) { return SetLength(r, 0xFFFF); }, -6, -5},
    {"length one short", [](Bytes r) { return SetLength(r, static_cast<std::uint16_t>(LengthOf(r) - 1)); }, -6, -5},
    {"protocol 1", [](Bytes r) { r[3] = 1; return r; }, -6, -5},
    {"protocol 0x8000", [](Bytes r) { r[2] = 0x80; return r; }, -6, -5},
    {"unit 2", [](Bytes r) { r[6] = 2; return r; }, 0, 0},
    {"function 0x04 / 0x06", [](Bytes r) { r[7] = r[7] == 0x03 ? 0x04 : 0x06; return r; }, -6, -5},
    {"function 0x10 / 0x03", [](Bytes r) { r[7] = r[7] == 0x03 ? 0x10 : 0x03; return r; }, -6, -5},
};

TEST_F(FaultsCommand, WrongHeaderFieldsGiveTheExactStatus) {
  for (const RewriteRow& row : kRewrites) {
    SCOPED_TRACE(row.name);
    sim_.InjectReplyFault(ReplyFault::Rewrite(row.rewrite));
    GuardedBytes data(kCodeBytes);
    EXPECT_EQ(ReadCodes(data), row.read_status);
    if (row.read_status == 0) {
      EXPECT_EQ(data.inner(), ExpectedCodes());
      EXPECT_TRUE(data.guards_intact());
    } else {
      EXPECT_TRUE(data.untouched());
    }
    sim_.InjectReplyFault(ReplyFault::Rewrite(row.rewrite));
    EXPECT_EQ(WriteEnable(0xFF), row.write_status);
    ExpectInStep(row.name);
  }
}

// A length field one byte longer than what is sent: the reply never
// completes, so it is a time-out, and the bytes that did come are thrown
// away before the next request.
TEST_F(FaultsCommand, LengthPromisingMoreTimesOut) {
  const Rewrite longer = [](Bytes r) {
    return SetLength(r, static_cast<std::uint16_t>(LengthOf(r) + 1));
  };
  sim_.InjectReplyFault(ReplyFault::Rewrite(longer));
  GuardedBytes data(kCodeBytes);
  EXPECT_EQ(ReadCodes(data, 150), -2);
  EXPECT_TRUE(data.untouched());
  ExpectInStep("after the read");
  sim_.InjectReplyFault(ReplyFault::Rewrite(longer));
  EXPECT_EQ(WriteEnable(0xFF, 150), -2);
  ExpectInStep("after the write");
}

TEST_F(FaultsCommand, ReplySplitAtEveryOffsetIsAssembled) {
  const std::size_t read_reply = kCodeBytes + 9;
  for (std::size_t cut = 1; cut < read_reply; ++cut) {
    sim_.FreezeTime(2.0 + 0.001 * static_cast<double>(cut));
    sim_.InjectReplyFault(ReplyFault::Split({cut}, 2));
    GuardedBytes data(kCodeBytes);
    ASSERT_EQ(ReadCodes(data), 0) << "cut at " << cut;
    EXPECT_EQ(data.inner(), ExpectedCodes()) << "cut at " << cut;
  }
  for (std::size_t cut = 1; cut < 12; ++cut) {
    sim_.InjectReplyFault(ReplyFault::Split({cut}, 2));
    const auto low = static_cast<std::uint8_t>(cut);
    ASSERT_EQ(WriteEnable(low), 0) << "cut at " << cut;
    EXPECT_EQ(sim_.HoldingRegister(kStreamEnable) & 0xFF, low);
  }
}

std::vector<std::size_t> EveryByte(std::size_t length) {
  std::vector<std::size_t> cuts;
  for (std::size_t i = 1; i < length; ++i) cuts.push_back(i);
  return cuts;
}

TEST_F(FaultsCommand, OneByteEveryFewMillisecondsInsideAndOutsideTheTimeOut) {
  // 41 bytes 3 ms apart take about 120 ms: inside a 2000 ms time-out ...
  sim_.InjectReplyFault(ReplyFault::Split(EveryByte(kCodeBytes + 9), 3));
  GuardedBytes data(kCodeBytes);
  ASSERT_EQ(ReadCodes(data, 2000), 0);
  EXPECT_EQ(data.inner(), ExpectedCodes());
  // ... and past a 40 ms one, measured from the request, not per byte: with
  // the bytes 6 ms apart, a per-byte time-out would take 246 ms, and the
  // bound leaves a loaded machine 160 ms of slack.
  sim_.InjectReplyFault(ReplyFault::Split(EveryByte(kCodeBytes + 9), 6));
  GuardedBytes late(kCodeBytes);
  const auto start = Clock::now();
  EXPECT_EQ(ReadCodes(late, 40), -2);
  EXPECT_LT(MsSince(start), 200);
  EXPECT_TRUE(late.untouched());
  ExpectInStep("after the slow read");
  sim_.InjectReplyFault(ReplyFault::Split(EveryByte(12), 10));
  EXPECT_EQ(WriteEnable(0x0F, 40), -2);
  ExpectInStep("after the slow write");
}

TEST_F(FaultsCommand, LateReplyIsNeverTakenForTheNextRequestOfTheSameShape) {
  // The late reply carries the codes of model time 1.25; the next read of the
  // same registers must carry those of 3.537.
  const Bytes stale = ExpectedCodes();
  sim_.InjectReplyFault(ReplyFault::Delay(250));
  GuardedBytes data(kCodeBytes);
  EXPECT_EQ(ReadCodes(data, 60), -2);
  EXPECT_TRUE(data.untouched());
  sim_.FreezeTime(3.537);
  const Bytes fresh = ExpectedCodes();
  ASSERT_NE(fresh, stale);  // otherwise the check below could not tell them apart
  GuardedBytes next(kCodeBytes);
  ASSERT_EQ(ReadCodes(next, 1000), 0);
  EXPECT_EQ(next.inner(), fresh);
  // Twice in a row: both owed replies are discarded.
  sim_.InjectReplyFault(ReplyFault::Delay(150));
  sim_.InjectReplyFault(ReplyFault::Delay(150));
  EXPECT_EQ(ReadCodes(data, 30), -2);
  EXPECT_EQ(ReadCodes(data, 30), -2);
  EXPECT_TRUE(data.untouched());
  ExpectInStep("after two late replies");
}

TEST_F(FaultsCommand, DroppedReplyTimesOutOnce) {
  sim_.InjectReplyFault(ReplyFault::Drop());
  GuardedBytes data(kCodeBytes);
  EXPECT_EQ(ReadCodes(data, 80), -2);
  EXPECT_TRUE(data.untouched());
  sim_.InjectReplyFault(ReplyFault::Drop());
  EXPECT_EQ(WriteEnable(0x03, 80), -2);
  ExpectInStep("after dropped replies");
}

TEST_F(FaultsCommand, ValidReplyFollowedByAFrameOfTheSameShape) {
  // Appended: a complete, well-formed read reply with other data. It belongs
  // to no request and must never be taken for the next one.
  Bytes bogus = {0, 0, 0, 0, 0, static_cast<std::uint8_t>(kCodeBytes + 3), 1, 3,
                 static_cast<std::uint8_t>(kCodeBytes)};
  bogus.resize(bogus.size() + kCodeBytes, 0xEE);
  sim_.InjectReplyFault(ReplyFault::Append(bogus));
  GuardedBytes data(kCodeBytes);
  ASSERT_EQ(ReadCodes(data), 0);
  EXPECT_EQ(data.inner(), ExpectedCodes());
  ExpectInStep("after the appended frame");
  // Appended garbage with a malformed header after a write echo.
  sim_.InjectReplyFault(ReplyFault::Append({0xFF, 0xFF, 0x12, 0x34, 0xFF, 0xFF, 7, 7, 7}));
  EXPECT_EQ(WriteEnable(0x07), 0);
  ExpectInStep("after appended garbage");
}

TEST_F(FaultsCommand, NineBytesThenSilenceOrClose) {
  // Write: nine bytes then silence is a time-out; nine bytes then a close is
  // a bad echo (what arrived is judged as it stands).
  sim_.InjectReplyFault(ReplyFault::Truncate(9, ReplyFault::Then::kSilent));
  EXPECT_EQ(WriteEnable(0x01, 120), -2);
  ExpectInStep("after nine bytes and silence");
  sim_.InjectReplyFault(ReplyFault::Truncate(9, ReplyFault::Then::kClose));
  const auto start = Clock::now();
  EXPECT_EQ(WriteEnable(0x01, 5000), -5);
  EXPECT_LT(MsSince(start), 2000);
  Connect();
  ExpectInStep("after nine bytes and a close");
}

TEST_F(FaultsCommand, ResetBeforeAndInsideAReply) {
  struct Row {
    const char* name;
    ReplyFault fault;
  };
  const Row rows[] = {
      {"reset instead of the reply", ReplyFault::Reset()},
      {"reset after 5 bytes", ReplyFault::Truncate(5, ReplyFault::Then::kReset)},
      {"reset after 20 bytes", ReplyFault::Truncate(20, ReplyFault::Then::kReset)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    sim_.InjectReplyFault(row.fault);
    GuardedBytes data(kCodeBytes);
    // An RST may overtake bytes still in flight; either way it reads as a reset.
    EXPECT_EQ(ReadCodes(data, 2000), -3);
    EXPECT_TRUE(data.untouched());
    // The next send on the dead connection fails without a signal killing
    // the process.
    const std::int32_t next = WriteEnable(0x01, 500);
    EXPECT_TRUE(next == -3 || next == -4 || next == -5) << next;
    Connect();
    ExpectInStep(row.name);
  }
  sim_.InjectReplyFault(ReplyFault::Reset());
  EXPECT_EQ(WriteEnable(0x01, 2000), -3);
  Connect();
  ExpectInStep("after a reset of a write");
}

TEST_F(FaultsCommand, CloseInsteadOfAReply) {
  sim_.InjectReplyFault(ReplyFault::Close());
  GuardedBytes data(kCodeBytes);
  EXPECT_EQ(ReadCodes(data, 2000), -6);
  EXPECT_TRUE(data.untouched());
  Connect();
  ExpectInStep("after a close");
}

}  // namespace
}  // namespace kr2270
