#include "command_clients.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "scripted_peer.h"
#include "sections.h"
#include "sim/simulator.h"

namespace kr2270::bench {
namespace {

using test::Bytes;

// The floor has no time-out of its own; a test must not hang on it.
int ConnectBounded(std::uint16_t port) {
  const int fd = FloorConnect(port);
  const timeval two_seconds{2, 0};
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &two_seconds, sizeof two_seconds);
  return fd;
}

TEST(FloorFramesTest, RequestsAreTheModbusFrames) {
  const auto write = FloorWriteRequest(14, 0xABCD);
  EXPECT_EQ(Bytes(write.begin(), write.end()),
            (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x01, 0x10, 0x00, 0x0E, 0x00, 0x01, 0x02,
                   0xAB, 0xCD}));
  const auto read = FloorReadRequest(256, 16);
  EXPECT_EQ(Bytes(read.begin(), read.end()),
            (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x01, 0x00, 0x00, 0x10}));
}

TEST(FloorExchangeTest, AReplyInPiecesIsAssembled) {
  test::ScriptedPeer peer;
  const auto request = FloorReadRequest(256, 16);
  test::Step step;
  Bytes data(32);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(0xA0 + i);
  step.reply = test::ReadReplyFor(Bytes(request.begin(), request.end()), data);
  step.split_at = {5, 20};
  step.split_gap_ms = 5;
  peer.AddStep(step);
  const int fd = ConnectBounded(peer.port());
  ASSERT_GE(fd, 0);
  std::uint8_t reply[41] = {};
  EXPECT_TRUE(FloorExchange(fd, request.data(), request.size(), reply, sizeof reply));
  EXPECT_EQ(Bytes(reply, reply + 41), step.reply);
  close(fd);
}

TEST(FloorExchangeTest, AShortReplyAndACloseFail) {
  test::ScriptedPeer peer;
  const auto request = FloorWriteRequest(39, 1);
  test::Step step;
  step.reply = Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x01};
  step.close_after = true;
  peer.AddStep(step);
  const int fd = ConnectBounded(peer.port());
  ASSERT_GE(fd, 0);
  std::uint8_t reply[12];
  EXPECT_FALSE(FloorExchange(fd, request.data(), request.size(), reply, sizeof reply));
  close(fd);
}

TEST(FloorExchangeTest, AnExceptionReplyIsNotTakenForTheAnswer) {
  test::ScriptedPeer peer;
  const auto request = FloorWriteRequest(39, 1);
  test::Step step;
  // Exception 2 padded to the echo's length: the function code has bit 7 set.
  step.reply = test::ExceptionFor(Bytes(request.begin(), request.end()), 2);
  step.reply.resize(12, 0);
  peer.AddStep(step);
  const int fd = ConnectBounded(peer.port());
  ASSERT_GE(fd, 0);
  std::uint8_t reply[12];
  EXPECT_FALSE(FloorExchange(fd, request.data(), request.size(), reply, sizeof reply));
  close(fd);
}

// Every client carries out both commands on the simulated module; the write
// shows in the module's register.
TEST(ClientsTest, EachClientWritesAndReadsTheModule) {
  for (const ClientKind kind : {ClientKind::kLibrary, ClientKind::kLibmodbus, ClientKind::kFloor}) {
    sim::Simulator simulator;
    ASSERT_EQ(simulator.Start(), 0);
    ASSERT_EQ(simulator.HoldingRegister(kWriteRegister), 0);
    CommandClient client;
    client.kind = kind;
    ASSERT_TRUE(ConnectClient(client, simulator.command_port())) << ClientName(kind);
    EXPECT_TRUE(WriteOneRegister(client)) << ClientName(kind);
    EXPECT_EQ(simulator.HoldingRegister(kWriteRegister), 1) << ClientName(kind);
    EXPECT_TRUE(ReadSixteenRegisters(client)) << ClientName(kind);
    ReleaseClient(client);
    // One request per command, nothing else on the wire.
    EXPECT_TRUE(
        simulator.WaitUntil([](const sim::Simulator& s) { return s.requests_served() >= 2; },
                            std::chrono::milliseconds(5000)));
    EXPECT_EQ(simulator.requests_served(), 2u) << ClientName(kind);
  }
}

// The rounds of the bench connect each client again and again to one module.
TEST(ClientsTest, EachClientConnectsAgainAfterAClose) {
  sim::Simulator simulator;
  ASSERT_EQ(simulator.Start(), 0);
  for (const ClientKind kind : {ClientKind::kLibrary, ClientKind::kLibmodbus, ClientKind::kFloor}) {
    CommandClient client;
    client.kind = kind;
    for (int round = 0; round < 3; ++round) {
      ASSERT_TRUE(ConnectClient(client, simulator.command_port())) << ClientName(kind);
      EXPECT_TRUE(ReadSixteenRegisters(client)) << ClientName(kind) << " round " << round;
      CloseClient(client);
    }
    ReleaseClient(client);
  }
}

TEST(ClientsTest, DriverRunsTheCountedCommands) {
  sim::Simulator simulator;
  ASSERT_EQ(simulator.Start(), 0);
  EXPECT_EQ(RunCommandDriver("library", "read", simulator.command_port(), 5), 0);
  EXPECT_EQ(RunCommandDriver("libmodbus", "write", simulator.command_port(), 5), 0);
  EXPECT_EQ(RunCommandDriver("floor", "read", simulator.command_port(), 5), 0);
  EXPECT_EQ(RunCommandDriver("nobody", "read", simulator.command_port(), 5), 2);
  EXPECT_TRUE(simulator.WaitUntil([](const sim::Simulator& s) { return s.requests_served() >= 15; },
                                  std::chrono::milliseconds(5000)));
  EXPECT_EQ(simulator.requests_served(), 15u);
}

}  // namespace
}  // namespace kr2270::bench
