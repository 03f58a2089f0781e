// The simulated module's registers and signal model (internal to kr2270sim).
// Not thread-safe: the Simulator guards a Module with its mutex.
#pragma once

#include <array>
#include <cstdint>

#include "sim/sequence.h"
#include "sim/simulator.h"

namespace kr2270::sim::detail {

inline constexpr uint16_t kRegisterCount = 290;  // addresses 0..289

// Everything the value functions depend on. The stream copies it once per
// chunk and evaluates it without the lock.
struct ModelParams {
  std::array<ChannelSignal, kAnalogChannels> signal{};
  std::array<CalibrationPair, kAnalogChannels> cal{};
  std::array<double, kAnalogChannels> span{};
  uint16_t outputs = 0;  // bit k-1 = digital output k
  bool wd_tripped = false;
  uint16_t wd_period_ms = 0;
  double last_command_t = 0.0;
  std::array<uint8_t, kCounters> ct_mode{};
  std::array<uint32_t, kCounters> ct_divisor{};
  std::array<double, kCounters> ct_clear_t{};
  std::array<double, kEncoders> ec_clear_t{};
};

bool WatchdogTripped(const ModelParams& p, double t);
double Volts(const ModelParams& p, int channel, double t);
int32_t Code(const ModelParams& p, int channel, double t);
uint16_t DigitalInputs(const ModelParams& p, double t);
uint32_t Counter(const ModelParams& p, int counter, double t);
uint32_t Encoder(const ModelParams& p, int encoder, double t);

// Time of stream group g; the stream and StreamGroupTime() share it so that
// both give bit-identical results.
inline double GroupTime(double t0, double rate, uint64_t g) {
  return t0 + static_cast<double>(g) / rate;
}

class Module {
 public:
  explicit Module(const Options& options);

  static bool InMap(uint16_t address);

  // A command arrived at model time t: trip the watchdog if it was starved,
  // then start its period again.
  void NoteCommand(double t);
  // Applies a write of `count` registers from a big-endian payload.
  void Write(uint16_t address, const uint8_t* payload, int count, double t);
  uint16_t Read(uint16_t address, double t) const;
  uint16_t Stored(uint16_t address) const { return regs_[address]; }

  StreamLayout Layout() const;
  int DeviceRateCode() const { return regs_[16] & 0xFF; }
  bool StreamEnabled() const { return (regs_[23] & 0xFF) == 1; }
  bool StartBit() const { return (regs_[22] & 1) != 0; }
  const ModelParams& params() const { return p_; }
  uint8_t RunBits(double t) const;

 private:
  struct Pulse {
    uint32_t period = 0;
    uint32_t high = 0;
    uint32_t count = 0;
    bool running = false;
    double start_t = 0.0;
  };

  std::array<uint16_t, kRegisterCount> regs_{};
  ModelParams p_;
  bool ex_ranges_;
  std::array<Pulse, kPulseOutputs> pulse_{};
};

}  // namespace kr2270::sim::detail
