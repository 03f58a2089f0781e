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

std::int32_t SendAnalogSettings(Device* device, const Settings& settings,
                                std::int32_t timeout_ms) {
  for (std::int32_t channel = 1; channel <= kAnalogChannels; ++channel) {
    const std::int32_t status =
        SendRange(device, channel, settings.ad_range[channel - 1], timeout_ms);
    if (status != KR2270_OK) return status;
  }
  std::int32_t status = SendAdStream(device, settings.ad_code_bytes, settings.ad_enabled, timeout_ms);
  if (status == KR2270_OK) status = SendEndModes(device, settings.ad_end_mode, timeout_ms);
  if (status == KR2270_OK) status = SendSleep(device, settings.ad_sleep, timeout_ms);
  return status;
}

std::int32_t SendCounterSettings(Device* device, const Settings& settings,
                                 const std::uint32_t (&divisor)[kCounters],
                                 std::int32_t timeout_ms) {
  std::int32_t status = SendCounterModes(device, settings.ct_mode, timeout_ms);
  for (std::int32_t counter = 1; counter <= kCounters && status == KR2270_OK; ++counter) {
    status = SendCounterBase(device, counter, divisor[counter - 1], timeout_ms);
  }
  if (status == KR2270_OK) status = SendDiStream(device, settings.di_in_fifo, timeout_ms);
  if (status == KR2270_OK) status = SendCtStream(device, settings.ct_in_fifo, timeout_ms);
  if (status == KR2270_OK) status = SendEcStream(device, settings.ec_in_fifo, timeout_ms);
  return status;
}

std::int32_t SendAcquisitionSettings(Device* device, const Settings& settings,
                                     std::int32_t timeout_ms) {
  std::int32_t status = KR2270_OK;
  // A handle whose rate was never set holds no rate code to send.
  if (SampleRateOfCode(settings.rate_code) != 0.0) {
    status = SendRate(device, settings.rate_code, timeout_ms);
  }
  if (status == KR2270_OK) {
    status = SendTrigger(device, settings.trigger_enable, settings.trigger_mode, false, timeout_ms);
  }
  if (status == KR2270_OK) status = SendTriggerCount(device, settings.trigger_count, timeout_ms);
  if (status == KR2270_OK) {
    status = SendTransferSize(device, device->transfer_bytes.load(), timeout_ms);
  }
  return status;
}

std::int32_t CmdRestoreSettings(Device* device, std::int32_t timeout_ms) {
  // The trigger write clears the start bit: it would stop a running stream.
  if (device == nullptr || device->streaming.load() != 0) return KR2270_ERROR_ARGUMENT;
  return SendMirroredSettings(device, timeout_ms);
}

}  // namespace

std::int32_t SendMirroredSettings(Device* device, std::int32_t timeout_ms) {
  return SendSettings(device, device->settings, timeout_ms);
}

std::int32_t SendSettings(Device* device, const Settings& settings, std::int32_t timeout_ms) {
  std::uint32_t divisor[kCounters];
  if (!CounterDivisors(settings, divisor)) return KR2270_ERROR_ARGUMENT;
  std::int32_t status = SendAnalogSettings(device, settings, timeout_ms);
  if (status == KR2270_OK) status = SendCounterSettings(device, settings, divisor, timeout_ms);
  if (status == KR2270_OK) status = SendAcquisitionSettings(device, settings, timeout_ms);
  return status;
}

}  // namespace kr2270

KR2270_EXPORT int32_t KR2270_CmdRestoreSettings(KR2270Device* device, int32_t timeout_ms) {
  return kr2270::Guarded([&] { return kr2270::CmdRestoreSettings(device, timeout_ms); });
}
