// Simulated KR2270C module for tests, benchmarks and the command-line tool.
//
// A Simulator serves the module's command port (Modbus/TCP, answered by
// libmodbus) and data port (the acquisition stream) on 127.0.0.1. Its
// behaviour is deterministic and described in docs/simulator.md; the
// Expected*() functions give the model's values so that tests compare against
// the model instead of copying numbers.
//
// Model time: seconds since Start() times Options::clock_scale, unless frozen
// with FreezeTime(). Snapshots, counters, encoders, pulse outputs and the
// watchdog follow model time. A stream run carries group g at model time
// StreamGroupTime(g) and is paced by the monotonic clock times clock_scale.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "sim/sequence.h"

namespace kr2270::sim {

inline constexpr int kAnalogChannels = 8;
inline constexpr int kCounters = 4;
inline constexpr int kEncoders = 2;
inline constexpr int kPulseOutputs = 4;
inline constexpr double kClockHz = 50e6;  // counter and pulse time base

struct ChannelSignal {
  double dc_volts;
  double amplitude_volts;
  double frequency_hz;
};

// Channel k (1..8): DC (k - 4.5) V, amplitude 0.5 V, frequency 10*k Hz.
constexpr ChannelSignal DefaultSignal(int channel) {
  return {channel - 4.5, 0.5, 10.0 * channel};
}
constexpr std::array<ChannelSignal, kAnalogChannels> DefaultSignals() {
  std::array<ChannelSignal, kAnalogChannels> s{};
  for (int k = 1; k <= kAnalogChannels; ++k) s[static_cast<size_t>(k - 1)] = DefaultSignal(k);
  return s;
}

struct CalibrationPair {
  int32_t zero;
  int32_t full;
};

// The module's power-on calibration of channel k (1..8):
// zero 4194303 + 100*k, full 8388607 - 200*k.
constexpr CalibrationPair DefaultCalibration(int channel) {
  return {4194303 + 100 * channel, 8388607 - 200 * channel};
}

// Pure model functions, shared by the simulator and tests.
double ModelSine(double cycles);  // sin(2*pi*cycles), tabulated, |error| < 1e-6
double RangeSpan(uint8_t range_code, bool ex_ranges);  // full-scale volts of a range code
// round(zero + volts / span * (full - zero)) clamped to the 24-bit signed range.
int32_t VoltsToCode(double volts, double span, CalibrationPair cal);
double CounterInputHz(int counter);      // 1000 * counter
double EncoderCountsPerSecond(int encoder);  // +100 (encoder 1), -50 (encoder 2)
double GroupRateOfDeviceCode(int device_rate_code);  // groups/s, 0 = not streamed

struct Options {
  uint16_t command_port = 0;  // 0 = chosen by the OS
  uint16_t data_port = 0;
  bool sequence = false;   // stream the sequence pattern (sim/sequence.h)
  bool flood = false;      // stream as fast as the connection takes
  bool ex_ranges = false;  // extended-range variant: codes 1/2/3 = 1/0.1/0.01 V
  double clock_scale = 1.0;
  std::array<ChannelSignal, kAnalogChannels> signal = DefaultSignals();
};

// One-shot misbehaviour for the next reply on the command connection.
// The request is still carried out (a write takes effect), except with
// kException, which refuses it.
struct ReplyFault {
  enum class Kind {
    kDelay,      // send the reply delay_ms late
    kSplit,      // send the reply in segments starting at split_at, gap_ms apart
    kDrop,       // send nothing
    kException,  // answer with exception_code instead
    kReplace,    // send `bytes` instead of the reply
    kRewrite,    // send rewrite(valid reply) instead of the reply
    kAppend,     // send the reply followed by `bytes`
    kTruncate,   // send the first `keep` bytes, then do `then`
    kClose,      // close the connection instead of replying
    kReset,      // reset the connection (RST) instead of replying
  };
  enum class Then { kSilent, kClose, kReset };

  Kind kind = Kind::kDelay;
  int delay_ms = 0;  // waited before any kind of reply, not only kDelay
  std::vector<size_t> split_at;
  int gap_ms = 0;
  uint8_t exception_code = 0;
  std::vector<uint8_t> bytes;
  std::function<std::vector<uint8_t>(std::vector<uint8_t>)> rewrite;
  size_t keep = 0;
  Then then = Then::kSilent;

  static ReplyFault Delay(int ms);
  static ReplyFault Split(std::vector<size_t> offsets, int gap_ms);
  static ReplyFault Drop();
  static ReplyFault Exception(uint8_t code);
  static ReplyFault Replace(std::vector<uint8_t> bytes);
  static ReplyFault Rewrite(std::function<std::vector<uint8_t>(std::vector<uint8_t>)> fn);
  static ReplyFault Append(std::vector<uint8_t> bytes);
  static ReplyFault Truncate(size_t keep, Then then);
  static ReplyFault Close();
  static ReplyFault Reset();
};

// One-shot misbehaviour of the data connection; `after_bytes` counts stream
// bytes since the start of the run (as bytes_sent() does).
struct DataFault {
  enum class Kind { kReset, kClose, kStall };
  Kind kind = Kind::kClose;
  uint64_t after_bytes = 0;
  int stall_ms = 0;

  static DataFault ResetAfter(uint64_t bytes);
  static DataFault CloseAfter(uint64_t bytes);
  static DataFault StallAfter(uint64_t bytes, int ms);
};

class Simulator {
 public:
  static constexpr size_t kRecentRequests = 32;

  explicit Simulator(const Options& options = Options());
  ~Simulator();  // Stop()
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  int Start();  // listens and starts both threads; 0 or a negative errno
  void Stop();  // closes everything and joins the threads; idempotent

  uint16_t command_port() const;
  uint16_t data_port() const;

  // Queued; each reply consumes the oldest command fault, and each fault's
  // byte offset is checked against the running stream in order.
  void InjectReplyFault(const ReplyFault& fault);
  void InjectDataFault(const DataFault& fault);

  // Faults that act at once, from any thread.
  // A power cycle: both connections are dropped and every register goes
  // back to its power-on value; the ports keep listening.
  void Restart();
  // The stream pauses for ms milliseconds (commands are still answered).
  void StallStream(int ms);
  // The data connection ends (with a reset when reset is true); the module
  // accepts a new one as usual.
  void DropDataConnection(bool reset);
  uint64_t restarts() const;

  // The value last written to a register (power-on value if never written).
  uint16_t HoldingRegister(uint16_t address) const;
  // What a function-0x03 read of one register would return now.
  uint16_t ReadRegister(uint16_t address) const;
  static bool InRegisterMap(uint16_t address);

  uint64_t requests_served() const;  // requests received and handled
  std::vector<std::vector<uint8_t>> RecentRequests() const;  // oldest first
  bool streaming() const;      // a run is sending (or paused by a stall)
  uint64_t groups_sent() const;  // since the last start
  uint64_t bytes_sent() const;

  // Waits until pred(*this) holds; re-checked whenever a request is served,
  // a chunk is sent or a run starts or ends. False on time-out.
  bool WaitUntil(const std::function<bool(const Simulator&)>& pred,
                 std::chrono::milliseconds timeout) const;

  // Model time.
  void FreezeTime(double seconds);
  void UnfreezeTime();  // continues from the frozen value
  double model_time() const;

  // Expected values under the current settings (ranges, calibration,
  // outputs, counter modes, ...).
  double ExpectedVolts(int channel, double t) const;  // clipped to +-span
  int32_t CodeForVolts(int channel, double volts) const;
  int32_t ExpectedCode(int channel, double t) const;  // signed 24-bit
  uint16_t ExpectedDigitalInputs(double t) const;
  uint32_t ExpectedCounter(int counter, double t) const;
  uint32_t ExpectedEncoder(int encoder, double t) const;
  CalibrationPair Calibration(int channel) const;
  double Span(int channel) const;

  // The run in progress (or the last one).
  StreamLayout stream_layout() const;
  double group_rate() const;
  double StreamGroupTime(uint64_t group) const;  // start time + group / rate

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace kr2270::sim
