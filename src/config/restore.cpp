// Re-sending the settings the Device mirrors, for a module that restarted or
// was changed by another client.
#include "acquisition/group_layout.h"
#include "config/checks.h"
#include "config/setting_writes.h"
#include "device/export.h"

namespace kr2270 {
namespace {

// Every divisor is worked out before the first write, so that a period no
// divisor gives leaves the module untouched rather than half restored.
bool CounterDivisors(const Settings& settings, std::uint32_t (&divisor)[kCounters]) {
  for (int i = 0; i < kCounters; ++i) {
    if (!DivisorOfAchievedBase(settings.ct_freq_base[i], &divisor[i])) return false;
  }
  return true;
}

// The writes of one restore in order; stops at the first failure, and
// before any write once keep_going says no.
struct Restore {
  Device* device;
  std::int32_t timeout_ms;
  KeepGoing keep_going;
  std::int32_t status = KR2270_OK;

  template <typename Write>
  void Then(Write write) {
    if (status != KR2270_OK) return;
    if (keep_going != nullptr && !keep_going(device)) {
      status = KR2270_ERROR_ARGUMENT;
      return;
    }
    status = write();
  }
};

void SendAnalogSettings(Restore& r, const Settings& settings) {
  for (std::int32_t channel = 1; channel <= kAnalogChannels; ++channel) {
    r.Then([&] { return SendRange(r.device, channel, settings.ad_range[channel - 1], r.timeout_ms); });
  }
  r.Then([&] { return SendAdStream(r.device, settings.ad_code_bytes, settings.ad_enabled, r.timeout_ms); });
  r.Then([&] { return SendEndModes(r.device, settings.ad_end_mode, r.timeout_ms); });
  r.Then([&] { return SendSleep(r.device, settings.ad_sleep, r.timeout_ms); });
}

void SendCounterSettings(Restore& r, const Settings& settings,
                         const std::uint32_t (&divisor)[kCounters]) {
  r.Then([&] { return SendCounterModes(r.device, settings.ct_mode, r.timeout_ms); });
  for (std::int32_t counter = 1; counter <= kCounters; ++counter) {
    r.Then([&] { return SendCounterBase(r.device, counter, divisor[counter - 1], r.timeout_ms); });
  }
  r.Then([&] { return SendDiStream(r.device, settings.di_in_fifo, r.timeout_ms); });
  r.Then([&] { return SendCtStream(r.device, settings.ct_in_fifo, r.timeout_ms); });
  r.Then([&] { return SendEcStream(r.device, settings.ec_in_fifo, r.timeout_ms); });
}

void SendAcquisitionSettings(Restore& r, const Settings& settings) {
  // A handle whose rate was never set holds no rate code to send.
  if (SampleRateOfCode(settings.rate_code) != 0.0) {
    r.Then([&] { return SendRate(r.device, settings.rate_code, r.timeout_ms); });
  }
  r.Then([&] {
    return SendTrigger(r.device, settings.trigger_enable, settings.trigger_mode, false, r.timeout_ms);
  });
  r.Then([&] { return SendTriggerCount(r.device, settings.trigger_count, r.timeout_ms); });
  r.Then([&] { return SendTransferSize(r.device, r.device->transfer_bytes.load(), r.timeout_ms); });
}

std::int32_t CmdRestoreSettings(Device* device, std::int32_t timeout_ms) {
  // The trigger write clears the start bit: it would stop a running stream.
  if (device == nullptr || device->streaming.load() != 0) return KR2270_ERROR_ARGUMENT;
  return SendMirroredSettings(device, timeout_ms);
}

}  // namespace

std::int32_t SendMirroredSettings(Device* device, std::int32_t timeout_ms, KeepGoing keep_going) {
  return SendSettings(device, CopyOfSettings(device), timeout_ms, keep_going);
}

std::int32_t SendSettings(Device* device, const Settings& settings, std::int32_t timeout_ms,
                          KeepGoing keep_going) {
  std::uint32_t divisor[kCounters];
  if (!CounterDivisors(settings, divisor)) return KR2270_ERROR_ARGUMENT;
  Restore r{device, timeout_ms, keep_going};
  SendAnalogSettings(r, settings);
  SendCounterSettings(r, settings, divisor);
  SendAcquisitionSettings(r, settings);
  return r.status;
}

}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_CmdRestoreSettings(KR2270Device* device, int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::CmdRestoreSettings(device, timeout_ms); });
}
