// The command channel against a scripted peer: exact wire bytes and every
// status code, including the faults a real network produces.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "command/command.h"
#include "device/device.h"
#include "kr2270c.h"
#include "scripted_peer.h"
#include "test_socket.h"

namespace kr2270 {
namespace {

using test::Bytes;
using test::ScriptedPeer;
using test::Step;
using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

class CommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = KR2270_DeviceCreate();
    ASSERT_NE(device_, nullptr);
    ASSERT_EQ(KR2270_CmdConnect(device_, "127.0.0.1", 0, peer_.port(), peer_.data_port(), 1000), 0);
  }
  void TearDown() override { KR2270_DeviceClose(device_); }

  // A read request as the library frames it, for building canned replies.
  static Bytes ReadRequest(std::uint16_t address, std::size_t n) {
    return {0, 0, 0, 0, 0, 6, 1, 3, static_cast<std::uint8_t>(address >> 8),
            static_cast<std::uint8_t>(address), 0, static_cast<std::uint8_t>(n / 2)};
  }
  static Bytes WriteRequest(std::uint16_t address, std::size_t n) {
    return {0, 0, 0, 0, 0, static_cast<std::uint8_t>(n + 7), 1, 0x10,
            static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address), 0,
            static_cast<std::uint8_t>(n / 2), static_cast<std::uint8_t>(n)};
  }

  std::int32_t Write14(std::int32_t timeout_ms = 500) {
    return WriteRegisters(device_, 14, {0xAB, 0xCD}, timeout_ms);
  }
  std::int32_t Read(std::uint16_t address, std::span<std::uint8_t> into, std::int32_t timeout_ms = 500) {
    return ReadRegisters(device_, address, into, timeout_ms);
  }

  ScriptedPeer peer_;
  Device* device_ = nullptr;
};

TEST_F(CommandTest, WireBytesOfWriteAndRead) {
  ASSERT_EQ(Write14(), 0);
  std::uint8_t data[32];
  ASSERT_EQ(Read(256, data), 0);
  const auto requests = peer_.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x01, 0x10, 0x00, 0x0E, 0x00,
                                0x01, 0x02, 0xAB, 0xCD}));
  EXPECT_EQ(requests[1],
            (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x01, 0x00, 0x00, 0x10}));
  // The peer's automatic read reply carries the data bytes 0, 1, 2, ...
  for (int i = 0; i < 32; ++i) EXPECT_EQ(data[i], i);
}

TEST_F(CommandTest, ExceptionRepliesToReadsAndWrites) {
  struct Case {
    std::uint8_t code;
    std::int32_t read_status;
  };
  for (const Case c : {Case{1, -1}, Case{2, -1}, Case{3, -1}, Case{4, -7}}) {
    SCOPED_TRACE(static_cast<int>(c.code));
    peer_.AddStep({test::ExceptionFor(ReadRequest(256, 4), c.code)});
    std::uint8_t data[4] = {9, 9, 9, 9};
    EXPECT_EQ(Read(256, data), c.read_status);
    EXPECT_EQ(data[0], 9);  // untouched
    peer_.AddStep({test::ExceptionFor(WriteRequest(14, 2), c.code)});
    EXPECT_EQ(Write14(), -5);
  }
  // The connection stays usable after every one of them.
  std::uint8_t data[4];
  EXPECT_EQ(Read(256, data), 0);
}

TEST_F(CommandTest, BadRepliesAreRefusedAndLeaveTheDestinationUntouched) {
  const Bytes good = test::ReadReplyFor(ReadRequest(256, 4), {1, 2, 3, 4});
  Bytes short_count = good;  // byte count one less than asked
  short_count[8] = 3;
  short_count[5] = 6;
  short_count.pop_back();
  Bytes wrong_function = good;
  wrong_function[7] = 0x04;
  Bytes wrong_protocol = good;
  wrong_protocol[3] = 1;
  for (const Bytes& reply : {short_count, wrong_function, wrong_protocol}) {
    peer_.AddStep({reply});
    std::uint8_t data[4] = {7, 7, 7, 7};
    EXPECT_EQ(Read(256, data), -6);
    EXPECT_EQ(data[3], 7);
  }
  Bytes bad_echo = test::EchoFor(WriteRequest(14, 2));
  bad_echo[11] = 2;
  peer_.AddStep({bad_echo});
  EXPECT_EQ(Write14(), -5);
  // Resynchronised: the next exchanges are answered properly.
  std::uint8_t data[4];
  EXPECT_EQ(Read(256, data), 0);
  EXPECT_EQ(Write14(), 0);
}

TEST_F(CommandTest, ReplyInSegmentsIsAssembled) {
  const Bytes reply = test::ReadReplyFor(ReadRequest(256, 32), Bytes(32, 0x5A));
  for (std::size_t cut = 1; cut < reply.size(); cut += 7) {
    peer_.AddStep({reply, 0, {cut}, 5});
    std::uint8_t data[32] = {};
    ASSERT_EQ(Read(256, data), 0) << "cut at " << cut;
    EXPECT_EQ(data[31], 0x5A);
  }
  // One byte at a time, well inside the time-out.
  std::vector<std::size_t> every_byte;
  for (std::size_t i = 1; i < 12; ++i) every_byte.push_back(i);
  peer_.AddStep({test::EchoFor(WriteRequest(14, 2)), 0, every_byte, 2});
  EXPECT_EQ(Write14(2000), 0);
}

TEST_F(CommandTest, ReplyCutShortNeverReadsMissingBytes) {
  const Bytes reply = test::ReadReplyFor(ReadRequest(256, 32), Bytes(32, 0x11));
  const Bytes nine(reply.begin(), reply.begin() + 9);
  // Nine bytes, then silence: a time-out at the deadline.
  peer_.AddStep({nine});
  std::uint8_t data[32];
  std::memset(data, 0xEE, sizeof data);
  EXPECT_EQ(Read(256, data, 200), -2);
  EXPECT_EQ(data[0], 0xEE);
  // Nine bytes, then the module closes: a bad reply at once.
  peer_.AddStep({nine, 0, {}, 0, true});
  const auto start = Clock::now();
  EXPECT_EQ(Read(256, data, 5000), -6);
  EXPECT_LT(ElapsedMs(start), 4000);
  EXPECT_EQ(data[0], 0xEE);
}

TEST_F(CommandTest, NoReplyTimesOutAndTheLateReplyIsNeverTaken) {
  // The first reply comes long after its request timed out; the second
  // request has the same shape but other data.
  const Bytes stale = test::ReadReplyFor(ReadRequest(256, 4), {1, 1, 1, 1});
  const Bytes fresh = test::ReadReplyFor(ReadRequest(256, 4), {2, 2, 2, 2});
  peer_.AddStep({stale, 300});
  peer_.AddStep({fresh});
  std::uint8_t data[4] = {};
  const auto start = Clock::now();
  EXPECT_EQ(Read(256, data, 100), -2);
  EXPECT_GE(ElapsedMs(start), 100);
  EXPECT_EQ(data[0], 0);
  EXPECT_EQ(Read(256, data, 1000), 0);
  EXPECT_EQ(data[0], 2);
}

TEST_F(CommandTest, DroppedReplyCostsOneTimeOutOnly) {
  peer_.AddStep({Bytes{}});  // no reply at all
  std::uint8_t data[4];
  EXPECT_EQ(Read(256, data, 100), -2);
  EXPECT_EQ(Read(256, data, 1000), 0);
  EXPECT_EQ(Read(256, data, 1000), 0);
}

TEST_F(CommandTest, GarbageAfterAValidReplyIsNotTakenForTheNextReply) {
  Bytes reply = test::EchoFor(WriteRequest(14, 2));
  const Bytes garbage = {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x09, 0x01, 0x03, 0x04, 9, 9, 9, 9};
  reply.insert(reply.end(), garbage.begin(), garbage.end());
  peer_.AddStep({reply});
  EXPECT_EQ(Write14(), 0);
  std::uint8_t data[4] = {};
  EXPECT_EQ(Read(256, data), 0);
  EXPECT_EQ(data[1], 1);  // the peer's automatic reply, not the garbage
}

TEST_F(CommandTest, ClosedConnectionAndReset) {
  // The module closes without replying: a write reads as a bad echo.
  peer_.AddStep({Bytes{}, 0, {}, 0, true});
  EXPECT_EQ(Write14(), -5);
  // Reconnect; a reset in the middle of a reply reads as -3.
  ASSERT_EQ(KR2270_CmdConnect(device_, "127.0.0.1", 0, peer_.port(), 0, 1000), 0);
  const Bytes reply = test::ReadReplyFor(ReadRequest(256, 32), Bytes(32, 3));
  peer_.AddStep({Bytes(reply.begin(), reply.begin() + 10), 0, {}, 0, false, true});
  std::uint8_t data[32] = {};
  const std::int32_t reset = Read(256, data, 2000);
  if (test::ResetMayReadAsClose()) {
    EXPECT_TRUE(reset == -3 || reset == -6) << reset;
  } else {
    EXPECT_EQ(reset, -3);
  }
  EXPECT_EQ(data[0], 0);
  // The next send fails on the dead connection without killing the process.
  const std::int32_t next = Write14();
  EXPECT_TRUE(next == -3 || next == -4 || next == -5) << next;
}

TEST(CommandWithoutPeer, NotConnectedAndBadArguments) {
  Device* device = KR2270_DeviceCreate();
  ASSERT_NE(device, nullptr);
  std::uint8_t data[4] = {5, 5, 5, 5};
  EXPECT_EQ(WriteRegisters(device, 14, {0, 1}, 100), -4);
  EXPECT_EQ(ReadRegisters(device, 256, data, 100), -4);
  EXPECT_EQ(data[0], 5);

  EXPECT_EQ(KR2270_CmdConnect(nullptr, "127.0.0.1", 0, 1, 2, 100), -1);
  EXPECT_EQ(KR2270_CmdConnect(device, nullptr, 0, 1, 2, 100), -101);
  EXPECT_EQ(KR2270_CmdConnect(device, "127.0.0.1", 20, 1, 2, 100), -101);
  EXPECT_EQ(KR2270_CmdConnect(device, "127.000.000.0001xxxx", 0, 1, 2, 100), -101);  // 20 chars
  EXPECT_EQ(KR2270_CmdConnect(device, "not-an-address", 0, 1, 2, 100), -101);
  EXPECT_EQ(device->cmd.socket, platform::kNoSocket);
  KR2270_CmdClose(nullptr);
  KR2270_CmdClose(device);  // never connected: nothing to do
  KR2270_DeviceClose(device);
  KR2270_DeviceClose(nullptr);
}

TEST(CommandWithoutPeer, AddressLengthTakesExactlyThatManyCharacters) {
  ScriptedPeer peer;
  Device* device = KR2270_DeviceCreate();
  // 19 characters are accepted; only the first 9 are the address here.
  EXPECT_EQ(KR2270_CmdConnect(device, "127.0.0.1xxxxxxxxxx", 9, peer.port(), 77, 1000), 0);
  EXPECT_STREQ(device->ip_address, "127.0.0.1");
  EXPECT_EQ(device->data_port, 77);
  EXPECT_EQ(KR2270_CmdConnect(device, "127.0.0.1xxxxxxxxxx", 19, peer.port(), 77, 1000), -101);
  KR2270_DeviceClose(device);
}

// A port on which nothing listens: bind without listen.
std::uint16_t DeadPort(test::TestSocket* holder) {
  std::uint16_t port = 0;
  *holder = test::BindLoopback(&port, false);
  return port;
}

TEST(CommandWithoutPeer, NothingListeningIsRefusedWithinTheTimeOut) {
  test::TestSocket holder = test::kNoTestSocket;
  const std::uint16_t port = DeadPort(&holder);
  ASSERT_NE(holder, test::kNoTestSocket);
  Device* device = KR2270_DeviceCreate();
  const auto start = Clock::now();
  EXPECT_EQ(KR2270_CmdConnect(device, "127.0.0.1", 0, port, 0, 750), -101);
  EXPECT_LE(ElapsedMs(start), 750 + 250);
  EXPECT_EQ(device->cmd.socket, platform::kNoSocket);
  EXPECT_EQ(KR2270_CmdConnect(device, "127.0.0.1", 0, port, 0, 0), -101);
  test::CloseTest(holder);
  KR2270_DeviceClose(device);
}

TEST(CommandWithoutPeer, ReconnectReplacesTheSocketAndCloseKeepsTheDeviceUsable) {
  ScriptedPeer peer;
  Device* device = KR2270_DeviceCreate();
  ASSERT_EQ(KR2270_CmdConnect(device, "127.0.0.1", 0, peer.port(), 0, 1000), 0);
  const int before = test::OpenHandles();
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(KR2270_CmdConnect(device, "127.0.0.1", 0, peer.port(), 0, 1000), 0) << i;
  }
  EXPECT_LE(test::OpenHandles(), before + 1);  // the peer may still hold one
  KR2270_CmdClose(device);
  EXPECT_EQ(WriteRegisters(device, 14, {0, 1}, 100), -4);
  ASSERT_EQ(KR2270_CmdConnect(device, "127.0.0.1", 0, peer.port(), 0, 1000), 0);
  EXPECT_EQ(WriteRegisters(device, 14, {0, 1}, 1000), 0);
  EXPECT_EQ(WriteRegisters(device, 14, {0, 1}, -5), -4);  // a negative time-out cannot be set
  KR2270_DeviceClose(device);
}

TEST(CommandConcurrency, FourThreadsNeverSeeAnotherRequestsData) {
  // Each thread reads its own register; the peer answers with the register
  // number as data and now and then delays a reply past the time-out or
  // sends garbage, so a crossed or stale reply would be visible.
  ScriptedPeer peer;
  std::atomic<int> served{0};
  peer.set_responder([&](const Bytes& request) {
    const int n = served.fetch_add(1);
    const Bytes data = {request[8], request[9], request[8], request[9]};
    Step step{test::ReadReplyFor(request, data)};
    if (n % 11 == 5) step.delay_ms = 80;  // past the 40 ms time-out
    if (n % 13 == 7) step.reply.insert(step.reply.end(), {0, 0, 0, 0, 0, 7, 1, 3, 4, 1, 2, 3, 4});
    return step;
  });
  Device* device = KR2270_DeviceCreate();
  ASSERT_EQ(KR2270_CmdConnect(device, "127.0.0.1", 0, peer.port(), 0, 1000), 0);
  std::atomic<int> crossed{0};
  std::atomic<int> succeeded{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const auto address = static_cast<std::uint16_t>(256 + 2 * t);
      for (int i = 0; i < 60; ++i) {
        std::uint8_t data[4] = {};
        if (ReadRegisters(device, address, data, 40) != 0) continue;
        ++succeeded;
        if (data[0] != (address >> 8) || data[1] != (address & 0xFF) || data[3] != (address & 0xFF)) {
          ++crossed;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  KR2270_DeviceClose(device);
  EXPECT_EQ(crossed.load(), 0);
  EXPECT_GT(succeeded.load(), 100);
}

}  // namespace
}  // namespace kr2270
