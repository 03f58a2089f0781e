// Command side of the simulated module: registers, model values and faults.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <memory>

#include "sim/simulator.h"
#include "sim_test_util.h"

namespace kr2270::sim {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::Client;
using testing::ReadRegisters;
using testing::ReadRequest;
using testing::WriteRegisters;
using testing::WriteRequest;

Bytes Be32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

uint32_t Word(const std::vector<uint16_t>& r, size_t i) {
  return static_cast<uint32_t>(r[i]) << 16 | r[i + 1];
}

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { StartWith(Options()); }

  void StartWith(const Options& o) {
    client_.reset();
    sim_ = std::make_unique<Simulator>(o);
    ASSERT_EQ(sim_->Start(), 0);
    ASSERT_NE(sim_->command_port(), 0);
    client_ = std::make_unique<Client>(sim_->command_port());
    ASSERT_GE(client_->fd(), 0);
  }

  // Exception reply (9 bytes) expected for request `req`.
  void ExpectException(const Bytes& req, uint8_t code) {
    ASSERT_TRUE(client_->Send(req));
    const Bytes r = client_->RecvFrame(testing::kReplyWait);
    ASSERT_EQ(r.size(), 9u);
    EXPECT_EQ(r[6], req[6]);
    EXPECT_EQ(r[7], req[7] | 0x80);
    EXPECT_EQ(r[8], code);
  }

  std::unique_ptr<Simulator> sim_;
  std::unique_ptr<Client> client_;
};

TEST_F(SimTest, WriteIsEchoedStoredAndReadBack) {
  const Bytes req = WriteRequest(26, Be32(0x01020304));
  ASSERT_TRUE(client_->Send(req));
  const Bytes r = client_->RecvFrame(testing::kReplyWait);
  ASSERT_EQ(r.size(), 12u);
  EXPECT_EQ(Bytes(r.begin() + 6, r.end()), Bytes(req.begin() + 6, req.begin() + 12));
  EXPECT_EQ(r[5], 6);
  EXPECT_EQ(sim_->HoldingRegister(26), 0x0102);
  EXPECT_EQ(sim_->HoldingRegister(27), 0x0304);
  EXPECT_EQ(ReadRegisters(*client_, 26, 2), (std::vector<uint16_t>{0x0102, 0x0304}));

  WriteRegisters(*client_, 60, Be32(0xFFFFFFFF));  // the reference value is kept as written
  EXPECT_EQ(ReadRegisters(*client_, 60, 2), (std::vector<uint16_t>{0xFFFF, 0xFFFF}));
}

TEST_F(SimTest, RefusesOtherFunctionsRegistersAndUnits) {
  ExpectException(ReadRequest(256, 2, 1, 0x04), 1);
  ExpectException(ReadRequest(11, 1), 2);
  ExpectException(ReadRequest(255, 2), 2);   // starts outside the map
  ExpectException(ReadRequest(288, 3), 2);   // runs past the end
  ExpectException(WriteRequest(10, {1, 2, 0, 0}), 2);  // 10 is mapped, 11 is not
  ExpectException(ReadRequest(10, 1, 2), 0x0B);
  EXPECT_EQ(sim_->HoldingRegister(10), 0) << "a refused write must not be applied";
  EXPECT_FALSE(Simulator::InRegisterMap(48));
  EXPECT_TRUE(Simulator::InRegisterMap(47));
  // Still serving after the refusals.
  EXPECT_EQ(ReadRegisters(*client_, 10, 1).size(), 1u);
}

TEST_F(SimTest, AnalogSnapshotFollowsModelRangeAndCalibration) {
  sim_->FreezeTime(0.37);
  WriteRegisters(*client_, 10, {2, 1});  // channel 2: 5 V
  WriteRegisters(*client_, 10, {8, 3});  // channel 8: 1 V, its 3.5 V level clips
  const auto r = ReadRegisters(*client_, 256, 16);
  ASSERT_EQ(r.size(), 16u);
  for (int k = 1; k <= 8; ++k) {
    const uint32_t word = Word(r, static_cast<size_t>(2 * (k - 1)));
    EXPECT_EQ(word >> 24, 0u) << "channel " << k;
    EXPECT_EQ(word, static_cast<uint32_t>(sim_->ExpectedCode(k, 0.37)) & 0xFFFFFFu)
        << "channel " << k;
  }
  EXPECT_EQ(sim_->Span(2), 5.0);
  EXPECT_EQ(sim_->ExpectedVolts(8, 0.37), 1.0);
  EXPECT_EQ(sim_->ExpectedCode(8, 0.37), DefaultCalibration(8).full);
  // The calibration pair maps 0 V and +span exactly; -span lies symmetric.
  const CalibrationPair c3 = DefaultCalibration(3);
  EXPECT_EQ(sim_->CodeForVolts(3, 0.0), c3.zero);
  EXPECT_EQ(sim_->CodeForVolts(3, 10.0), c3.full);
  EXPECT_EQ(sim_->CodeForVolts(3, -10.0), 2 * c3.zero - c3.full);
  // The signal model is DC + amplitude * sine.
  const ChannelSignal s = DefaultSignal(5);
  EXPECT_NEAR(sim_->ExpectedVolts(5, 0.0125), s.dc_volts + s.amplitude_volts *
                  std::sin(2 * 3.141592653589793 * s.frequency_hz * 0.0125), 1e-6);
}

TEST_F(SimTest, ExtendedRangeVariantUsesSmallSpans) {
  Options o;
  o.ex_ranges = true;
  StartWith(o);
  WriteRegisters(*client_, 10, {1, 1});
  WriteRegisters(*client_, 10, {2, 2});
  WriteRegisters(*client_, 10, {3, 3});
  WriteRegisters(*client_, 10, {4, 9});
  EXPECT_EQ(sim_->Span(1), 1.0);
  EXPECT_EQ(sim_->Span(2), 0.1);
  EXPECT_EQ(sim_->Span(3), 0.01);
  EXPECT_EQ(sim_->Span(4), 10.0);
}

TEST_F(SimTest, DigitalOutputsLoopBackToInputs) {
  sim_->FreezeTime(0.5);
  WriteRegisters(*client_, 36, {0x0A, 0x5C, 0, 0});
  auto r = ReadRegisters(*client_, 280, 2);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0] & 0x0FFF, 0x0A5C);
  EXPECT_EQ(r[0] >> 12 & 1, 1) << "input 13 is high";
  EXPECT_EQ(r[0] >> 13 & 1, 0) << "input 14 is low";
  EXPECT_EQ(r[0] >> 14 & 1, 0);
  EXPECT_EQ(r[1], 0);
  sim_->FreezeTime(1.5);
  r = ReadRegisters(*client_, 280, 1);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0] >> 14 & 1, 1) << "input 15 toggles every second";
  EXPECT_EQ(r[0], sim_->ExpectedDigitalInputs(1.5));
}

TEST_F(SimTest, CalibrationWritesChangeTheBlock) {
  const auto before = ReadRegisters(*client_, 200, 32);
  ASSERT_EQ(before.size(), 32u);
  for (int k = 1; k <= 8; ++k) {
    EXPECT_EQ(static_cast<int32_t>(Word(before, 4u * static_cast<size_t>(k - 1))),
              DefaultCalibration(k).zero);
    EXPECT_EQ(static_cast<int32_t>(Word(before, 4u * static_cast<size_t>(k - 1) + 2)),
              DefaultCalibration(k).full);
  }
  Bytes zero{0, 3};
  const Bytes z = Be32(static_cast<uint32_t>(-1234));
  zero.insert(zero.end(), z.begin(), z.end());
  WriteRegisters(*client_, 200, zero);
  Bytes full{0, 8};
  const Bytes f = Be32(7000000);
  full.insert(full.end(), f.begin(), f.end());
  WriteRegisters(*client_, 202, full);

  const auto after = ReadRegisters(*client_, 200, 32);
  ASSERT_EQ(after.size(), 32u);
  EXPECT_EQ(static_cast<int32_t>(Word(after, 8)), -1234);
  EXPECT_EQ(static_cast<int32_t>(Word(after, 30)), 7000000);
  for (size_t i : {0u, 2u, 4u, 6u, 10u, 28u}) EXPECT_EQ(Word(after, i), Word(before, i)) << i;
  EXPECT_EQ(sim_->Calibration(3).zero, -1234);
  EXPECT_EQ(sim_->CodeForVolts(3, 0.0), -1234);
}

TEST_F(SimTest, CountersFollowTheirModes) {
  sim_->FreezeTime(10.0);
  WriteRegisters(*client_, 46, Be32(50000));  // counter 4: 1 ms base
  WriteRegisters(*client_, 44, Be32(50));     // counter 3: 1 us base
  WriteRegisters(*client_, 52, {0, 0b11010000});  // modes 0, 0, 1, 3
  auto r = ReadRegisters(*client_, 272, 8);
  ASSERT_EQ(r.size(), 8u);
  EXPECT_EQ(Word(r, 0), 10000u) << "1000 Hz for 10 s";
  EXPECT_EQ(Word(r, 2), 20000u);
  EXPECT_EQ(Word(r, 4), 0u) << "3000 Hz over 1 us rounds to 0";
  EXPECT_EQ(Word(r, 6), 0u) << "mode 3 with a 4000 Hz input and a 1 ms base: round(0.25)";
  WriteRegisters(*client_, 52, {0, 0b01110000});  // counter 3 mode 3, counter 4 mode 1
  r = ReadRegisters(*client_, 272, 8);
  ASSERT_EQ(r.size(), 8u);
  EXPECT_EQ(Word(r, 4), 333u) << "periods of 1 us in one 3000 Hz period";
  EXPECT_EQ(Word(r, 6), 4u) << "4000 Hz counted over 1 ms";
  for (int c = 1; c <= 4; ++c) EXPECT_EQ(Word(r, 2u * static_cast<size_t>(c - 1)),
                                         sim_->ExpectedCounter(c, 10.0));

  // The clear sequence: mode 2 holds at 0, the previous mode counts from 0 again.
  WriteRegisters(*client_, 52, {0, 0b01110010});
  EXPECT_EQ(ReadRegisters(*client_, 272, 2), (std::vector<uint16_t>{0, 0}));
  sim_->FreezeTime(12.0);
  WriteRegisters(*client_, 52, {0, 0b01110000});
  sim_->FreezeTime(12.5);
  r = ReadRegisters(*client_, 272, 4);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(Word(r, 0), 500u);
  EXPECT_EQ(Word(r, 2), 25000u) << "counter 2 was not cleared";
}

TEST_F(SimTest, EncodersMoveAndClear) {
  sim_->FreezeTime(3.0);
  auto r = ReadRegisters(*client_, 282, 8);
  ASSERT_EQ(r.size(), 8u);
  EXPECT_EQ(Word(r, 0), 300u);
  EXPECT_EQ(Word(r, 4), static_cast<uint32_t>(-150));
  EXPECT_EQ(Word(r, 2), 0u);
  EXPECT_EQ(Word(r, 6), 0u);
  WriteRegisters(*client_, 193, {0, 1});
  sim_->FreezeTime(3.5);
  r = ReadRegisters(*client_, 282, 8);
  ASSERT_EQ(r.size(), 8u);
  EXPECT_EQ(Word(r, 0), 50u);
  EXPECT_EQ(Word(r, 4), static_cast<uint32_t>(-175)) << "encoder 2 was not cleared";
  EXPECT_EQ(Word(r, 4), sim_->ExpectedEncoder(2, 3.5));
}

TEST_F(SimTest, PulseOutputsStopAfterTheirCount) {
  sim_->FreezeTime(1.0);
  Bytes pulse{0, 2};
  for (uint32_t v : {50000u, 25000u}) {  // 1 ms period
    const Bytes b = Be32(v);
    pulse.insert(pulse.end(), b.begin(), b.end());
  }
  WriteRegisters(*client_, 80, pulse);
  Bytes count{0, 2};
  const Bytes c = Be32(3);
  count.insert(count.end(), c.begin(), c.end());
  WriteRegisters(*client_, 96, count);
  WriteRegisters(*client_, 105, {0, 0b0011});  // output 1 has no count: runs on
  EXPECT_EQ(ReadRegisters(*client_, 105, 1), (std::vector<uint16_t>{0b0011}));
  sim_->FreezeTime(1.0029);
  EXPECT_EQ(ReadRegisters(*client_, 105, 1), (std::vector<uint16_t>{0b0011}));
  sim_->FreezeTime(1.0031);
  EXPECT_EQ(ReadRegisters(*client_, 105, 1), (std::vector<uint16_t>{0b0001}));
  WriteRegisters(*client_, 105, {0, 0});
  EXPECT_EQ(ReadRegisters(*client_, 105, 1), (std::vector<uint16_t>{0}));
}

TEST_F(SimTest, WatchdogClearsOutputsWhenStarved) {
  sim_->FreezeTime(1.0);
  WriteRegisters(*client_, 180, {0, 100});
  WriteRegisters(*client_, 36, {0x0F, 0xFF, 0, 0});
  sim_->FreezeTime(1.09);
  auto r = ReadRegisters(*client_, 280, 1);  // in time: feeds the watchdog
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0] & 0x8FFF, 0x0FFF);
  sim_->FreezeTime(1.2);
  r = ReadRegisters(*client_, 280, 1);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0] & 0x8FFF, 0x8000) << "outputs off, input 16 shows the trip";
  WriteRegisters(*client_, 36, {0, 1, 0, 0});
  r = ReadRegisters(*client_, 280, 1);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0] & 0x8FFF, 0x0001);
  WriteRegisters(*client_, 180, {0, 0});
  sim_->FreezeTime(100.0);
  r = ReadRegisters(*client_, 280, 1);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0] & 0x8FFF, 0x0001) << "a watchdog that is off never trips";
}

TEST_F(SimTest, RecordsRequests) {
  const Bytes w = WriteRequest(14, {2, 0x81});
  ASSERT_TRUE(client_->Send(w));
  ASSERT_EQ(client_->RecvFrame(testing::kReplyWait).size(), 12u);
  const Bytes rd = ReadRequest(256, 16);
  ASSERT_TRUE(client_->Send(rd));
  ASSERT_EQ(client_->RecvFrame(testing::kReplyWait).size(), 41u);
  EXPECT_EQ(sim_->requests_served(), 2u);
  const auto recent = sim_->RecentRequests();
  ASSERT_EQ(recent.size(), 2u);
  EXPECT_EQ(recent[0], w);
  EXPECT_EQ(recent[1], rd);
}

TEST_F(SimTest, ServesOneConnectionAtATime) {
  Client second(sim_->command_port());
  ASSERT_GE(second.fd(), 0);
  ASSERT_TRUE(second.Send(ReadRequest(60, 2)));
  Bytes got;
  EXPECT_EQ(second.RecvSome(&got, 200ms), Client::Event::kTimeout);
  EXPECT_EQ(ReadRegisters(*client_, 60, 2).size(), 2u) << "the first connection is served";
  client_->Close();
  EXPECT_EQ(second.RecvFrame(testing::kReplyWait).size(), 13u);
}

// ---- faults -----------------------------------------------------------------

TEST_F(SimTest, SplitReplyArrivesInPieces) {
  sim_->InjectReplyFault(ReplyFault::Split({4, 9}, 150));
  ASSERT_TRUE(client_->Send(ReadRequest(60, 2)));
  Bytes got;
  ASSERT_EQ(client_->RecvSome(&got, testing::kReplyWait), Client::Event::kData);
  EXPECT_EQ(got.size(), 4u);
  ASSERT_EQ(client_->RecvSome(&got, testing::kReplyWait), Client::Event::kData);
  EXPECT_EQ(got.size(), 9u);
  const Bytes rest = client_->RecvExact(4, testing::kReplyWait);
  got.insert(got.end(), rest.begin(), rest.end());
  ASSERT_TRUE(client_->Send(ReadRequest(60, 2)));
  EXPECT_EQ(got, client_->RecvFrame(testing::kReplyWait)) << "same bytes as an unsplit reply";
}

TEST_F(SimTest, DroppedReplyLeavesSilenceThenServesTheNext) {
  sim_->InjectReplyFault(ReplyFault::Drop());
  const Bytes w = WriteRequest(20, {0x12, 0x34});
  ASSERT_TRUE(client_->Send(w));
  Bytes got;
  EXPECT_EQ(client_->RecvSome(&got, 300ms), Client::Event::kTimeout);
  EXPECT_EQ(sim_->HoldingRegister(20), 0x1234) << "the dropped write still took effect";
  EXPECT_EQ(ReadRegisters(*client_, 20, 1), (std::vector<uint16_t>{0x1234}));
}

TEST_F(SimTest, DelayedReplyComesLate) {
  sim_->InjectReplyFault(ReplyFault::Delay(400));
  ASSERT_TRUE(client_->Send(ReadRequest(60, 2)));
  Bytes got;
  EXPECT_EQ(client_->RecvSome(&got, 200ms), Client::Event::kTimeout);
  EXPECT_EQ(client_->RecvFrame(testing::kReplyWait).size(), 13u);
}

TEST_F(SimTest, InjectedExceptionRefusesTheRequest) {
  sim_->InjectReplyFault(ReplyFault::Exception(4));
  ExpectException(WriteRequest(20, {0, 7}), 4);
  EXPECT_EQ(sim_->HoldingRegister(20), 0);
  sim_->InjectReplyFault(ReplyFault::Exception(0x2A));  // a code libmodbus would not send
  ExpectException(ReadRequest(60, 2), 0x2A);
}

TEST_F(SimTest, ReplacedRewrittenAndAppendedReplies) {
  const Bytes garbage{0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x01, 0x02};
  sim_->InjectReplyFault(ReplyFault::Replace(garbage));
  ASSERT_TRUE(client_->Send(ReadRequest(60, 2)));
  EXPECT_EQ(client_->RecvExact(garbage.size(), testing::kReplyWait), garbage);

  // Byte count one short, MBAP length kept.
  sim_->InjectReplyFault(ReplyFault::Rewrite([](Bytes r) {
    r[8] = static_cast<uint8_t>(r[8] - 1);
    return r;
  }));
  ASSERT_TRUE(client_->Send(ReadRequest(60, 2)));
  const Bytes rewritten = client_->RecvFrame(testing::kReplyWait);
  ASSERT_EQ(rewritten.size(), 13u);
  EXPECT_EQ(rewritten[8], 3);

  const Bytes extra{1, 2, 3};
  sim_->InjectReplyFault(ReplyFault::Append(extra));
  ASSERT_TRUE(client_->Send(WriteRequest(20, {0, 9})));
  const Bytes r = client_->RecvExact(15, testing::kReplyWait);
  ASSERT_EQ(r.size(), 15u);
  EXPECT_EQ(r[7], 0x10);
  EXPECT_EQ(Bytes(r.begin() + 12, r.end()), extra);
}

TEST_F(SimTest, TruncatedReplyThenSilenceCloseOrReset) {
  sim_->InjectReplyFault(ReplyFault::Truncate(5, ReplyFault::Then::kSilent));
  ASSERT_TRUE(client_->Send(ReadRequest(60, 2)));
  Client::Event e;
  EXPECT_EQ(client_->RecvExact(13, 300ms, &e).size(), 5u);
  EXPECT_EQ(e, Client::Event::kTimeout);
  EXPECT_EQ(ReadRegisters(*client_, 60, 2).size(), 2u) << "the connection stays usable";

  sim_->InjectReplyFault(ReplyFault::Truncate(7, ReplyFault::Then::kClose));
  ASSERT_TRUE(client_->Send(ReadRequest(60, 2)));
  EXPECT_EQ(client_->RecvExact(13, testing::kReplyWait, &e).size(), 7u);
  EXPECT_EQ(e, Client::Event::kClosed);

  Client next(sim_->command_port());
  sim_->InjectReplyFault(ReplyFault::Truncate(3, ReplyFault::Then::kReset));
  ASSERT_TRUE(next.Send(ReadRequest(60, 2)));
  const Bytes part = next.RecvExact(13, testing::kReplyWait, &e);
  EXPECT_LE(part.size(), 3u);  // a reset may discard what was not read yet
  EXPECT_EQ(e, Client::Event::kReset);
}

TEST_F(SimTest, ClosedAndResetInsteadOfReply) {
  sim_->InjectReplyFault(ReplyFault::Close());
  ASSERT_TRUE(client_->Send(ReadRequest(60, 2)));
  Bytes got;
  EXPECT_EQ(client_->RecvSome(&got, testing::kReplyWait), Client::Event::kClosed);
  EXPECT_TRUE(got.empty());

  Client next(sim_->command_port());
  sim_->InjectReplyFault(ReplyFault::Reset());
  ASSERT_TRUE(next.Send(ReadRequest(60, 2)));
  EXPECT_EQ(next.RecvSome(&got, testing::kReplyWait), Client::Event::kReset);
  EXPECT_TRUE(got.empty());

  Client third(sim_->command_port());
  EXPECT_EQ(ReadRegisters(third, 60, 2).size(), 2u) << "accepts the next connection";
}

TEST_F(SimTest, QueuedFaultsApplyToSuccessiveReplies) {
  sim_->InjectReplyFault(ReplyFault::Exception(3));
  sim_->InjectReplyFault(ReplyFault::Drop());
  ExpectException(ReadRequest(60, 2), 3);
  ASSERT_TRUE(client_->Send(ReadRequest(60, 2)));
  Bytes got;
  EXPECT_EQ(client_->RecvSome(&got, 200ms), Client::Event::kTimeout);
  EXPECT_EQ(ReadRegisters(*client_, 60, 2).size(), 2u);
}

TEST_F(SimTest, StopReturnsWhileClientsAreBlocked) {
  sim_->InjectReplyFault(ReplyFault::Delay(60000));
  ASSERT_TRUE(client_->Send(ReadRequest(60, 2)));
  Client waiting(sim_->command_port());  // queued behind the first
  ASSERT_TRUE(sim_->WaitUntil([](const Simulator& s) { return s.requests_served() == 1; },
                              testing::kReplyWait));
  const auto t = std::chrono::steady_clock::now();
  sim_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t, 2s);
  Bytes got;
  EXPECT_EQ(client_->RecvSome(&got, testing::kReplyWait), Client::Event::kClosed);
  sim_->Stop();  // idempotent
}

TEST(SimExecutable, PrintsPortsServesAndStopsOnSigterm) {
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    execl(KR2270_SIM_EXE, KR2270_SIM_EXE, "--command-port", "0", "--data-port", "0", "--dc",
          "2=2.0", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  FILE* f = fdopen(out[0], "r");
  unsigned cmd = 0, data = 0;
  const int fields = fscanf(f, "command_port=%u data_port=%u", &cmd, &data);
  fclose(f);
  EXPECT_EQ(fields, 2);
  if (fields == 2) {
    EXPECT_NE(cmd, 0u);
    EXPECT_NE(data, 0u);
    Client c(static_cast<uint16_t>(cmd));
    WriteRegisters(c, 10, {2, 3});  // 1 V range: 2 V +- 0.5 V clips at full scale
    const auto r = ReadRegisters(c, 258, 2);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(static_cast<int32_t>(Word(r, 0)), DefaultCalibration(2).full);
  }
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace kr2270::sim
