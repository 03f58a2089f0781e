#include "sim/model.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>

namespace kr2270::sim {

namespace {

constexpr size_t kSineSteps = 4096;

const std::array<double, kSineSteps + 1>& SineTable() {
  static const std::array<double, kSineSteps + 1> table = [] {
    std::array<double, kSineSteps + 1> a{};
    for (size_t i = 0; i <= kSineSteps; ++i)
      a[i] = std::sin(2.0 * std::numbers::pi * static_cast<double>(i) /
                      static_cast<double>(kSineSteps));
    return a;
  }();
  return table;
}

uint32_t SaturateU32(double v) {
  if (!(v >= 0.0)) return 0;
  if (v >= 4294967295.0) return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(std::llround(v));
}

uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

uint16_t Hi(uint32_t v) { return static_cast<uint16_t>(v >> 16); }
uint16_t Lo(uint32_t v) { return static_cast<uint16_t>(v); }

}  // namespace

double ModelSine(double cycles) {
  const auto& table = SineTable();
  const double x = (cycles - std::floor(cycles)) * static_cast<double>(kSineSteps);
  size_t i = static_cast<size_t>(x);
  if (i >= kSineSteps) i = kSineSteps - 1;  // cycles just below an integer
  const double w = x - static_cast<double>(i);
  return table[i] + (table[i + 1] - table[i]) * w;
}

double RangeSpan(uint8_t range_code, bool ex_ranges) {
  switch (range_code) {
    case 1: return ex_ranges ? 1.0 : 5.0;
    case 2: return ex_ranges ? 0.1 : 2.0;
    case 3: return ex_ranges ? 0.01 : 1.0;
    default: return 10.0;
  }
}

int32_t VoltsToCode(double volts, double span, CalibrationPair cal) {
  const double code = cal.zero + volts / span * static_cast<double>(int64_t{cal.full} - cal.zero);
  const double clamped = std::clamp(code, -8388608.0, 8388607.0);
  return static_cast<int32_t>(std::llround(clamped));
}

double CounterInputHz(int counter) { return 1000.0 * counter; }

double EncoderCountsPerSecond(int encoder) { return encoder == 1 ? 100.0 : -50.0; }

double GroupRateOfDeviceCode(int code) {
  switch (code) {
    case 8: return 256000.0;
    case 16: return 16000.0;
    case 24: return 128000.0;
    case 36: return 32000.0;
    case 40: return 64000.0;
    case 48: return 1000.0;
    case 52: return 4000.0;
    case 56: return 8000.0;
    default: return 0.0;
  }
}

namespace detail {

bool WatchdogTripped(const ModelParams& p, double t) {
  return p.wd_tripped ||
         (p.wd_period_ms != 0 && (t - p.last_command_t) * 1000.0 > p.wd_period_ms);
}

double Volts(const ModelParams& p, int channel, double t) {
  const auto k = static_cast<size_t>(channel - 1);
  const ChannelSignal& s = p.signal[k];
  const double v = s.dc_volts + s.amplitude_volts * ModelSine(s.frequency_hz * t);
  return std::clamp(v, -p.span[k], p.span[k]);
}

int32_t Code(const ModelParams& p, int channel, double t) {
  const auto k = static_cast<size_t>(channel - 1);
  return VoltsToCode(Volts(p, channel, t), p.span[k], p.cal[k]);
}

uint16_t DigitalInputs(const ModelParams& p, double t) {
  const bool tripped = WatchdogTripped(p, t);
  uint32_t w = tripped ? 0u : (p.outputs & 0x0FFFu);  // inputs 1..12 = outputs
  w |= 1u << 12;                                       // input 13 high, 14 low
  if ((static_cast<int64_t>(std::floor(t)) & 1) != 0) w |= 1u << 14;  // 15: 1 s toggle
  if (tripped) w |= 1u << 15;
  return static_cast<uint16_t>(w);
}

uint32_t Counter(const ModelParams& p, int counter, double t) {
  const auto i = static_cast<size_t>(counter - 1);
  const double f = CounterInputHz(counter);
  const double base_s = static_cast<double>(p.ct_divisor[i]) / kClockHz;
  switch (p.ct_mode[i]) {
    case 0: {
      const double dt = t - p.ct_clear_t[i];
      if (!(dt > 0.0)) return 0;
      return static_cast<uint32_t>(static_cast<uint64_t>(std::floor(f * dt)));
    }
    case 1: return SaturateU32(f * base_s);
    case 3:
      if (p.ct_divisor[i] == 0) return std::numeric_limits<uint32_t>::max();
      return SaturateU32(1.0 / (f * base_s));
    default: return 0;  // mode 2 holds the counter at 0
  }
}

uint32_t Encoder(const ModelParams& p, int encoder, double t) {
  const auto i = static_cast<size_t>(encoder - 1);
  const double position = std::trunc(EncoderCountsPerSecond(encoder) * (t - p.ec_clear_t[i]));
  return static_cast<uint32_t>(static_cast<int64_t>(position));
}

Module::Module(const Options& options) : ex_ranges_(options.ex_ranges) {
  p_.signal = options.signal;
  for (int k = 1; k <= kAnalogChannels; ++k) {
    p_.cal[static_cast<size_t>(k - 1)] = DefaultCalibration(k);
    p_.span[static_cast<size_t>(k - 1)] = RangeSpan(0, ex_ranges_);
  }
  // Power-on: all analog channels in the stream with 4-byte codes (as the
  // host assumes), 4000 groups/s, counter base periods of 1000 ms.
  regs_[14] = 0x04FF;
  regs_[16] = 52;
  constexpr uint32_t kDivisor1s = 50000000;
  for (size_t i = 0; i < kCounters; ++i) {
    regs_[40 + 2 * i] = Hi(kDivisor1s);
    regs_[41 + 2 * i] = Lo(kDivisor1s);
    p_.ct_divisor[i] = kDivisor1s;
  }
}

bool Module::InMap(uint16_t a) {
  if (a >= 200 && a <= 231) return true;
  if (a >= 256 && a <= 289) return true;
  if (a >= 40 && a <= 47) return true;
  if (a >= 80 && a <= 84) return true;
  if (a >= 96 && a <= 98) return true;
  switch (a) {
    case 10: case 13: case 14: case 15: case 16: case 17: case 20: case 22: case 23:
    case 26: case 27: case 34: case 35: case 36: case 37: case 38: case 39: case 52:
    case 53: case 60: case 61: case 104: case 105: case 180: case 193: case 194:
      return true;
    default:
      return false;
  }
}

void Module::NoteCommand(double t) {
  if (WatchdogTripped(p_, t) && !p_.wd_tripped) {
    p_.wd_tripped = true;
    p_.outputs = 0;
  }
  p_.last_command_t = t;
}

void Module::Write(uint16_t address, const uint8_t* payload, int count, double t) {
  for (int i = 0; i < count; ++i)
    regs_[static_cast<size_t>(address + i)] =
        static_cast<uint16_t>(payload[2 * i] << 8 | payload[2 * i + 1]);
  const auto covers = [&](int r) { return r >= address && r < address + count; };

  if (covers(10)) {
    const int channel = regs_[10] >> 8;
    if (channel >= 1 && channel <= kAnalogChannels)
      p_.span[static_cast<size_t>(channel - 1)] =
          RangeSpan(static_cast<uint8_t>(regs_[10] & 0xFF), ex_ranges_);
  }
  if (covers(36)) {
    p_.outputs = regs_[36] & 0x0FFF;
    p_.wd_tripped = false;
  }
  for (size_t i = 0; i < kCounters; ++i) {
    const int r = 40 + 2 * static_cast<int>(i);
    if (covers(r) || covers(r + 1))
      p_.ct_divisor[i] = static_cast<uint32_t>(regs_[static_cast<size_t>(r)]) << 16 |
                         regs_[static_cast<size_t>(r + 1)];
  }
  if (covers(52)) {
    for (size_t i = 0; i < kCounters; ++i) {
      const auto mode = static_cast<uint8_t>(regs_[52] >> (2 * i) & 3);
      // Leaving mode 2 restarts the count from zero.
      if (p_.ct_mode[i] == 2 && mode != 2) p_.ct_clear_t[i] = t;
      p_.ct_mode[i] = mode;
    }
  }
  if (covers(193)) {
    for (size_t e = 0; e < kEncoders; ++e)
      if (regs_[193] >> e & 1) p_.ec_clear_t[e] = t;
  }
  // Calibration and pulse registers take a channel or output number first.
  if ((address == 200 || address == 202) && count == 3) {
    const int channel = payload[1];
    if (channel >= 1 && channel <= kAnalogChannels) {
      const auto code = static_cast<int32_t>(Be32(payload + 2));
      auto& pair = p_.cal[static_cast<size_t>(channel - 1)];
      (address == 200 ? pair.zero : pair.full) = code;
    }
  }
  if (address == 80 && count == 5 && payload[1] >= 1 && payload[1] <= kPulseOutputs) {
    auto& out = pulse_[static_cast<size_t>(payload[1] - 1)];
    out.period = Be32(payload + 2);
    out.high = Be32(payload + 6);
  }
  if (address == 96 && count == 3 && payload[1] >= 1 && payload[1] <= kPulseOutputs)
    pulse_[static_cast<size_t>(payload[1] - 1)].count = Be32(payload + 2);
  if (covers(105)) {
    for (size_t i = 0; i < kPulseOutputs; ++i) {
      pulse_[i].running = (regs_[105] >> i & 1) != 0;
      pulse_[i].start_t = t;
    }
  }
  if (covers(180)) p_.wd_period_ms = regs_[180];
}

uint8_t Module::RunBits(double t) const {
  unsigned bits = 0;
  for (size_t i = 0; i < kPulseOutputs; ++i) {
    const Pulse& out = pulse_[i];
    if (!out.running) continue;
    const bool done = out.count != 0 &&
                      t >= out.start_t + static_cast<double>(out.count) *
                                             static_cast<double>(out.period) / kClockHz;
    if (!done) bits |= 1u << i;
  }
  return static_cast<uint8_t>(bits);
}

uint16_t Module::Read(uint16_t a, double t) const {
  if (a >= 256 && a <= 271) {
    const int channel = (a - 256) / 2 + 1;
    const auto word = static_cast<uint32_t>(Code(p_, channel, t)) & 0xFFFFFFu;
    return (a - 256) % 2 == 0 ? Hi(word) : Lo(word);
  }
  if (a >= 272 && a <= 279) {
    const uint32_t v = Counter(p_, (a - 272) / 2 + 1, t);
    return (a - 272) % 2 == 0 ? Hi(v) : Lo(v);
  }
  if (a == 280) return DigitalInputs(p_, t);
  if (a == 281) return 0;
  if (a >= 282 && a <= 289) {
    const int slot = (a - 282) / 4;
    const int part = (a - 282) % 4;
    const uint32_t v = Encoder(p_, slot + 1, t);
    return part == 0 ? Hi(v) : part == 1 ? Lo(v) : uint16_t{0};
  }
  if (a >= 200 && a <= 231) {
    const CalibrationPair& pair = p_.cal[static_cast<size_t>((a - 200) / 4)];
    const auto v = static_cast<uint32_t>((a - 200) % 4 < 2 ? pair.zero : pair.full);
    return (a - 200) % 2 == 0 ? Hi(v) : Lo(v);
  }
  if (a == 36) return WatchdogTripped(p_, t) ? uint16_t{0} : p_.outputs;
  if (a == 105) return RunBits(t);
  return regs_[a];
}

StreamLayout Module::Layout() const {
  StreamLayout l;
  l.code_bytes = (regs_[14] >> 8) == 2 ? 2 : 4;
  l.analog_mask = static_cast<uint8_t>(regs_[14] & 0xFF);
  l.digital = (regs_[35] & 1) != 0;
  l.counter_mask = static_cast<uint8_t>(regs_[53] & 0x0F);
  l.encoder_mask = static_cast<uint8_t>(regs_[194] & 0x03);
  return l;
}

}  // namespace detail
}  // namespace kr2270::sim
