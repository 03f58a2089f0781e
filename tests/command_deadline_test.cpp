// Every command call is bounded: by its own time-out, and by a close on
// another thread when it waits without one. Late replies are never taken
// for a later call's own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <thread>

#include "kr2270c.h"
#include "scripted_peer.h"

namespace {

using kr2270::test::Bytes;
using kr2270::test::ScriptedPeer;
using kr2270::test::Step;
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The analog snapshot request (32 bytes from register 256) and a reply to it
// whose every code is `fill`.
Bytes SnapshotReply(std::uint8_t fill) {
  const Bytes request = {0, 0, 0, 0, 0, 6, 1, 3, 0x01, 0x00, 0, 16};
  return kr2270::test::ReadReplyFor(request, Bytes(32, fill));
}

std::int32_t FirstCode(std::uint8_t fill) {
  return static_cast<std::int32_t>(std::uint32_t{fill} << 24 | std::uint32_t{fill} << 16 |
                                   std::uint32_t{fill} << 8 | fill);
}

class CommandDeadlineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = KR2270_DeviceCreate();
    ASSERT_NE(device_, nullptr);
    ASSERT_EQ(KR2270_CmdConnect(device_, "127.0.0.1", 0, peer_.port(), peer_.data_port(), 1000), 0);
  }
  void TearDown() override { KR2270_DeviceClose(device_); }

  ScriptedPeer peer_;
  KR2270Device* device_ = nullptr;
};

TEST_F(CommandDeadlineTest, CloseWakesACallWaitingWithoutLimitForASilentModule) {
  peer_.set_auto_reply(false);
  struct Case {
    const char* name;
    std::int32_t (*call)(KR2270Device*);
  };
  const Case cases[] = {
      {"write", [](KR2270Device* d) { return KR2270_DiInFifo(d, 1, 0); }},
      {"read", [](KR2270Device* d) {
         int32_t codes[8];
         return KR2270_AdReadAllOnce(d, codes, 0);
       }},
  };
  std::size_t sent = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto pending = std::async(std::launch::async, c.call, device_);
    ASSERT_TRUE(peer_.WaitForRequests(++sent, 5000));  // the call now waits for its reply
    auto close = std::async(std::launch::async, [this] { KR2270_CmdClose(device_); });
    ASSERT_EQ(close.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const std::int32_t status = pending.get();
    EXPECT_TRUE(status == KR2270_ERROR_RESET || status == KR2270_ERROR_SOCKET) << status;
    // Closed means closed: the next call fails at once, and a connect works.
    EXPECT_EQ(KR2270_DiInFifo(device_, 1, 0), KR2270_ERROR_SOCKET);
    ASSERT_EQ(KR2270_CmdConnect(device_, "127.0.0.1", 0, peer_.port(), peer_.data_port(), 1000), 0);
  }
}

TEST_F(CommandDeadlineTest, CallAfterATimeOutKeepsItsOwnBoundAndGetsItsOwnReply) {
  // Long after its request timed out, but within the half second a late
  // reply is waited for.
  peer_.AddStep({SnapshotReply(0x11), 400});
  // Every later read is answered with codes of 0x33.
  peer_.set_responder([](const Bytes& request) {
    return Step{request[7] == 0x03 ? SnapshotReply(0x33) : kr2270::test::EchoFor(request)};
  });
  int32_t codes[8] = {};
  EXPECT_EQ(KR2270_AdReadAllOnce(device_, codes, 50), KR2270_ERROR_TIMEOUT);

  // A write is sent at once: its echo cannot be taken for the owed snapshot.
  // The module is still busy with the first request, so it too times out,
  // after its own 10 ms rather than after waiting for the late reply.
  const auto start = Clock::now();
  EXPECT_EQ(KR2270_DiInFifo(device_, 1, 10), KR2270_ERROR_TIMEOUT);
  EXPECT_LT(MsSince(start), 300);

  // Both owed replies arrive and are thrown away; the third call gets its own.
  ASSERT_EQ(KR2270_AdReadAllOnce(device_, codes, 3000), 0);
  EXPECT_EQ(codes[0], FirstCode(0x33));
  EXPECT_EQ(codes[7], FirstCode(0x33));
}

TEST_F(CommandDeadlineTest, ShortCallOfTheSameShapeFailsInItsOwnTimeWithoutTakingTheLateReply) {
  peer_.AddStep({SnapshotReply(0x11), 400});
  int32_t codes[8] = {};
  EXPECT_EQ(KR2270_AdReadAllOnce(device_, codes, 50), KR2270_ERROR_TIMEOUT);
  // Its reply could not be told from the owed one: nothing is sent.
  const auto start = Clock::now();
  EXPECT_EQ(KR2270_AdReadAllOnce(device_, codes, 10), KR2270_ERROR_TIMEOUT);
  EXPECT_LT(MsSince(start), 300);
  EXPECT_EQ(codes[0], 0);  // nothing written on failure
  peer_.AddStep({SnapshotReply(0x22)});
  ASSERT_EQ(KR2270_AdReadAllOnce(device_, codes, 3000), 0);
  EXPECT_EQ(codes[0], FirstCode(0x22));
  EXPECT_EQ(peer_.requests().size(), 2u);  // the short call sent nothing
}

TEST_F(CommandDeadlineTest, DroppedReplyThenRepeatedShortCallsRecover) {
  // The module never answers the first request. Short calls of the same
  // shape may fail while its reply could still come, but never for longer
  // than that, and never with anyone else's data.
  peer_.AddStep({Bytes{}});
  int32_t codes[8] = {};
  EXPECT_EQ(KR2270_AdReadAllOnce(device_, codes, 20), KR2270_ERROR_TIMEOUT);
  auto fill = std::make_shared<std::atomic<int>>(0x40);
  peer_.set_responder([fill](const Bytes&) {
    return Step{SnapshotReply(static_cast<std::uint8_t>(fill->load()))};
  });
  const auto start = Clock::now();
  std::int32_t status = KR2270_ERROR_TIMEOUT;
  while (status != 0 && MsSince(start) < 5000) status = KR2270_AdReadAllOnce(device_, codes, 20);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(codes[0], FirstCode(0x40));
  fill->store(0x41);
  ASSERT_EQ(KR2270_AdReadAllOnce(device_, codes, 20), 0);
  EXPECT_EQ(codes[0], FirstCode(0x41));
}

}  // namespace
