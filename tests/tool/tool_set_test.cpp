// kr2270 set against a simulated module: every value is read back from the
// module's registers over Modbus (libmodbus, not the library under test) and
// compared with the clock counts the module must hold; values it cannot
// hold are refused before anything is sent.
#include <modbus.h>
#include <stdlib.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run_process.h"
#include "sim/simulator.h"

namespace kr2270::testing {
namespace {

const std::string kTool = KR2270_TOOL_PATH;

class ToolSet : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(module.Start(), 0);
    module.FreezeTime(5.0);  // counters and encoders stand still
    setenv("KR2270_STATE_DIR", state.path.c_str(), 1);
  }

  ProcessResult Tool(const std::string& command, std::vector<std::string> args) {
    args.insert(args.begin(), {kTool, command, "--host", "127.0.0.1", "--port",
                               std::to_string(module.command_port()), "--data-port",
                               std::to_string(module.data_port())});
    return RunProcess(args);
  }

  // Registers [address, address + count) read with function 0x03 over a
  // connection of our own; the tool has closed its connection by then.
  std::vector<std::uint16_t> Read(int address, int count) {
    std::unique_ptr<modbus_t, void (*)(modbus_t*)> ctx(
        modbus_new_tcp("127.0.0.1", module.command_port()), modbus_free);
    std::vector<std::uint16_t> words(static_cast<std::size_t>(count));
    if (!ctx || modbus_set_slave(ctx.get(), 1) != 0 || modbus_connect(ctx.get()) != 0) {
      ADD_FAILURE() << "cannot connect to the module over Modbus";
      return words;
    }
    if (modbus_read_registers(ctx.get(), address, count, words.data()) != count)
      ADD_FAILURE() << "reading " << count << " registers from " << address << " failed";
    modbus_close(ctx.get());
    return words;
  }

  std::uint32_t Read32(int address) {
    const auto w = Read(address, 2);
    return static_cast<std::uint32_t>(w[0]) << 16 | w[1];
  }

  sim::Simulator module;
  TempDir state;
};

struct PulseCase {
  std::vector<std::string> args;
  int output;
  std::uint32_t period;  // clock counts the module must hold
  std::uint32_t high;
};

TEST_F(ToolSet, PulseTimingReachesTheModuleAsClockCounts) {
  const std::vector<PulseCase> cases = {
      {{"--pulse", "1=1000:0.25"}, 1, 50000, 12500},
      {{"--pulse", "2=3"}, 2, 16666666, 8333333},  // duty 0.5 unless given
      {{"--pulse", "3=1e6:0.3"}, 3, 50, 15},
      {{"--pulse", "4=25e6:1"}, 4, 2, 2},
      {{"--pulse", "4=0.0117:0"}, 4, 4273504273u, 0},
  };
  for (const PulseCase& c : cases) {
    const ProcessResult r = Tool("set", c.args);
    ASSERT_EQ(r.exit_code, 0) << c.args[1] << ": " << r.err;
    // Register 80 holds the last output written: 00, output, period, high time.
    const auto w = Read(80, 5);
    EXPECT_EQ(w[0], c.output) << c.args[1];
    EXPECT_EQ(static_cast<std::uint32_t>(w[1]) << 16 | w[2], c.period) << c.args[1];
    EXPECT_EQ(static_cast<std::uint32_t>(w[3]) << 16 | w[4], c.high) << c.args[1];
  }
}

TEST_F(ToolSet, EveryOtherValueReachesItsRegister) {
  const ProcessResult r =
      Tool("set", {"--do", "1,3-5,12", "--pulse-count", "2=10", "--pulse-phase", "2,4",
                   "--pulse-run", "1,3", "--counter-mode", "1=frequency", "--counter-mode", "3=3",
                   "--counter-base", "1=10", "--counter-base", "4=0.5", "--watchdog", "1000"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Read(36, 1)[0], 0x081D);                   // outputs 1, 3, 4, 5 and 12
  EXPECT_EQ(Read(96, 3), (std::vector<std::uint16_t>{2, 0, 10}));  // output 2 gives 10 pulses
  EXPECT_EQ(Read(104, 1)[0], 0b1010);                  // phase bits of outputs 2 and 4
  EXPECT_EQ(Read(105, 1)[0], 0b0101);                  // outputs 1 and 3 run
  EXPECT_EQ(Read(52, 1)[0], 1 | 3 << 4);               // frequency, count, period, count
  EXPECT_EQ(Read32(40), 500000u);                      // 10 ms of 50 MHz
  EXPECT_EQ(Read32(42), 50000000u);                    // counter 2 untouched: 1000 ms
  EXPECT_EQ(Read32(46), 25000u);                       // 0.5 ms
  EXPECT_EQ(Read(180, 1)[0], 1000);                    // watchdog in ms

  // Lines not named are switched off; 'none' switches all off.
  ASSERT_EQ(Tool("set", {"--do", "none", "--pulse-run", "none", "--watchdog", "off"}).exit_code, 0);
  EXPECT_EQ(Read(36, 1)[0], 0);
  EXPECT_EQ(Read(105, 1)[0], 0);
  EXPECT_EQ(Read(180, 1)[0], 0);
}

TEST_F(ToolSet, ClearsZeroTheCountsAndKeepTheCountersSetup) {
  ASSERT_EQ(Tool("set", {"--counter-mode", "2=period", "--counter-base", "2=250"}).exit_code, 0);
  // Counter 1 counts its 1 kHz input since power-on, encoder 1 moves 100/s.
  ASSERT_EQ(Read32(272), 5000u);
  ASSERT_EQ(Read32(282), 500u);
  const ProcessResult r = Tool("set", {"--counter-clear", "1", "--encoder-clear", "1"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Read32(272), 0u);
  EXPECT_EQ(Read32(282), 0u);
  EXPECT_EQ(Read32(286), 4294967046u);  // encoder 2 (-250) untouched
  // The clear puts back the modes and base periods set before, not defaults.
  EXPECT_EQ(Read(52, 1)[0], 3 << 2);
  EXPECT_EQ(Read32(42), 12500000u);
  EXPECT_EQ(Read32(40), 50000000u);
}

TEST_F(ToolSet, InfoShowsWhatWasSetAndKeepsTheCounterModes) {
  ASSERT_EQ(Tool("set", {"--do", "2", "--pulse", "1=1000:0.25", "--pulse-run", "1",
                         "--counter-mode", "1=frequency", "--watchdog", "1000"})
                .exit_code,
            0);
  const ProcessResult r = Tool("info", {});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::map<std::string, std::string> shown;
  for (const std::string& line : Lines(r.out)) {
    const auto key_end = line.find_first_of(' ', 2);
    if (line.rfind("  ", 0) == 0 && key_end != std::string::npos)
      shown[line.substr(2, key_end - 2)] = line.substr(line.find_first_not_of(' ', key_end));
  }
  EXPECT_EQ(shown["do"], "on 2, others off") << r.out;
  EXPECT_EQ(shown["pulse1"], "1000 Hz, duty 0.25") << r.out;
  EXPECT_EQ(shown["watchdog"], "1000 ms") << r.out;
  EXPECT_EQ(shown["counter-mode"], "frequency count count count (counters 1..4)") << r.out;
  EXPECT_NE(r.out.find("pulse runs 1\n"), std::string::npos) << r.out;
  EXPECT_EQ(Read(52, 1)[0], 1);  // info wrote the modes that were set, not count
}

struct RefusedCase {
  std::vector<std::string> args;
  std::string message;
};

TEST_F(ToolSet, ValuesTheModuleCannotHoldAreRefusedBeforeAnythingIsSent) {
  const std::vector<RefusedCase> cases = {
      {{"--pulse", "1=30e6"}, "pulse output 1: 30000000 Hz cannot be held"},
      {{"--pulse", "2=0.01"}, "pulse output 2: 0.01 Hz cannot be held"},
      {{"--pulse", "1=0"}, "pulse output 1: 0 Hz cannot be held"},
      {{"--pulse", "1=nan"}, "pulse output 1: nan Hz cannot be held"},
      {{"--pulse", "3=1000:1.5"}, "pulse output 3: duty 1.5 is outside 0..1"},
      {{"--pulse", "5=1000"}, "--pulse: 5 is outside 1..4"},
      {{"--pulse-count", "1=-1"}, "a count of -1 is outside 0..2147483647"},
      {{"--pulse-count", "1=4294967296"}, "outside 0..2147483647"},
      {{"--counter-base", "1=100000"}, "counter 1: a base period of 100000 ms cannot be held"},
      {{"--counter-base", "2=0"}, "counter 2: a base period of 0 ms cannot be held"},
      {{"--counter-mode", "1=fast"}, "'fast' is not a mode"},
      {{"--watchdog", "65536"}, "watchdog: 65536 ms cannot be held"},
      {{"--watchdog", "-5"}, "watchdog: -5 ms cannot be held"},
      {{"--do", "13"}, "--do: 13 is outside 1..12"},
      {{"--encoder-clear", "3"}, "--encoder-clear: 3 is outside 1..2"},
      {{}, "nothing to set"},
      // A refused value stops the whole command: the good one is not sent either.
      {{"--do", "1", "--watchdog", "70000"}, "watchdog: 70000 ms"},
  };
  const std::uint64_t served = module.requests_served();
  for (const RefusedCase& c : cases) {
    const ProcessResult r = Tool("set", c.args);
    EXPECT_EQ(r.exit_code, 2) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
  }
  EXPECT_EQ(module.requests_served(), served);
  EXPECT_EQ(Read(36, 1)[0], 0);
}

}  // namespace
}  // namespace kr2270::testing
