#include "stream_consumer.h"

#include <algorithm>

#include "bench_util.h"
#include "device/device.h"

namespace kr2270::bench {
namespace {

bool Has(unsigned mask, int index) { return ((mask >> index) & 1u) != 0; }

// The code the splitter makes of the pattern value of analog channel k.
std::int32_t ExpectedAnalogCode(std::uint64_t g, int k, int code_bytes) {
  const std::uint32_t v = sim::SequenceAnalog(g, k, code_bytes);
  return static_cast<std::int32_t>(code_bytes == 2 ? v << 8 : v);
}

// Item i of the fetched arrays against pattern group g.
bool GroupMatches(const StreamConsumer& c, std::size_t i, std::uint64_t g) {
  const sim::StreamLayout& l = c.layout;
  for (int k = 0; k < 8; ++k) {
    if (Has(l.analog_mask, k) && c.ad[k][i] != ExpectedAnalogCode(g, k + 1, l.code_bytes)) {
      return false;
    }
  }
  if (l.digital && c.di[i] != sim::SequenceDigital(g)) return false;
  for (int k = 0; k < 4; ++k) {
    if (Has(l.counter_mask, k) && c.ct[k][i] != sim::SequenceCounter(g, k + 1)) return false;
  }
  for (int k = 0; k < 2; ++k) {
    if (Has(l.encoder_mask, k) && c.ec[k][i] != sim::SequenceEncoder(g, k + 1)) return false;
  }
  return true;
}

void Fetch(StreamConsumer& c) {
  const sim::StreamLayout& l = c.layout;
  for (int k = 0; k < 8; ++k) {
    if (Has(l.analog_mask, k)) KR2270_HcCodeGetAd(c.device, k + 1, c.ad[k].data());
  }
  if (l.digital) KR2270_HcCodeGetDi(c.device, c.di.data());
  for (int k = 0; k < 4; ++k) {
    if (Has(l.counter_mask, k)) KR2270_HcCodeGetCt(c.device, k + 1, c.ct[k].data());
  }
  for (int k = 0; k < 2; ++k) {
    if (Has(l.encoder_mask, k)) KR2270_HcCodeGetEc(c.device, k + 1, c.ec[k].data());
  }
}

void Convert(StreamConsumer& c, std::int32_t k) {
  const sim::StreamLayout& l = c.layout;
  for (int ch = 0; ch < 8; ++ch) {
    if (Has(l.analog_mask, ch))
      KR2270_AdCodeToValue(c.device, ch + 1, c.ad[ch].data(), k, c.values.data());
  }
  for (int ct = 0; ct < 4; ++ct) {
    if (Has(l.counter_mask, ct))
      KR2270_CtCodeToValue(c.device, ct + 1, c.ct[ct].data(), k, c.values.data());
  }
}

// The pattern index of fetched group i, from counter 1 (4g modulo 2^32),
// taken as the nearest index at or after `after`.
std::uint64_t IndexOf(const StreamConsumer& c, std::size_t i, std::uint64_t after) {
  constexpr std::uint64_t kPeriod = std::uint64_t{1} << 30;
  std::uint64_t g = (after & ~(kPeriod - 1)) | (c.ct[0][i] / 4u);
  if (g < after) g += kPeriod;
  return g;
}

// Checks the first and last group of the split: each must be a pattern group,
// and the split must continue the stream and run on without a jump. Returns
// the pattern index of the group after the split.
std::uint64_t CheckEnds(StreamConsumer& c, std::uint64_t expected, std::int32_t k) {
  const auto last = static_cast<std::size_t>(k - 1);
  if ((c.layout.counter_mask & 1u) == 0) {
    if (!GroupMatches(c, 0, expected) || !GroupMatches(c, last, expected + last)) ++c.mismatches;
    return expected + last + 1;
  }
  const std::uint64_t first = IndexOf(c, 0, expected);
  const std::uint64_t end = IndexOf(c, last, first);
  if (!GroupMatches(c, 0, first) || !GroupMatches(c, last, end)) ++c.mismatches;
  if (first != expected || end != first + last) ++c.gaps;
  return end + 1;
}

}  // namespace

sim::StreamLayout FullLayout() {
  sim::StreamLayout l;
  l.code_bytes = 4;
  l.analog_mask = 0xFF;
  l.digital = true;
  l.counter_mask = 0x0F;
  l.encoder_mask = 0x03;
  return l;
}

void UseFullLayout(KR2270Device* device, std::int32_t rate_code) {
  Settings& s = device->settings;
  for (auto& e : s.ad_enabled) e = 1;
  s.ad_code_bytes = 4;
  s.di_in_fifo = 1;
  for (auto& e : s.ct_in_fifo) e = 1;
  for (auto& e : s.ec_in_fifo) e = 1;
  if (rate_code != 0) s.rate_code = rate_code;
  device->stream_settings = s;
}

std::int32_t ConfigureFullStream(KR2270Device* device, std::int32_t rate_code,
                                 std::int32_t transfer_bytes, std::int32_t timeout_ms) {
  const std::uint8_t analog[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  std::uint8_t counters[4] = {1, 1, 1, 1};
  std::uint8_t encoders[2] = {1, 1};
  const std::int32_t steps[] = {
      KR2270_AdInFifo(device, analog, 4, timeout_ms),
      KR2270_DiInFifo(device, 1, timeout_ms),
      KR2270_CtInFifo(device, counters, timeout_ms),
      KR2270_EcInFifo(device, encoders, timeout_ms),
      KR2270_HcSetFreq(device, rate_code, timeout_ms),
      KR2270_HcSetTranBytesCount(device, transfer_bytes, timeout_ms),
  };
  for (std::int32_t status : steps) {
    if (status != 0) return status;
  }
  return 0;
}

void PrepareConsumer(StreamConsumer& consumer, KR2270Device* device, sim::StreamLayout layout,
                     std::int32_t max_split) {
  consumer.device = device;
  consumer.layout = layout;
  consumer.max_split = max_split;
  const auto n = static_cast<std::size_t>(max_split);
  for (auto& v : consumer.ad) v.assign(n, 0);
  consumer.di.assign(n, 0);
  for (auto& v : consumer.ct) v.assign(n, 0);
  for (auto& v : consumer.ec) v.assign(n, 0);
  consumer.values.assign(n, 0.0);
}

std::uint64_t CountPatternMismatches(const StreamConsumer& consumer, std::uint64_t first,
                                     std::int32_t k) {
  std::uint64_t bad = 0;
  for (std::int32_t i = 0; i < k; ++i) {
    if (!GroupMatches(consumer, static_cast<std::size_t>(i),
                      first + static_cast<std::uint64_t>(i))) {
      ++bad;
    }
  }
  return bad;
}

std::int32_t ConsumeOnce(StreamConsumer& c) {
  const std::int64_t t0 = ThreadClockNs();
  const std::int32_t buffered = KR2270_HcCodeCanReadGroupCount(c.device);
  std::int32_t k = 0;
  if (buffered > 0) {
    k = KR2270_HcCodeSplit(c.device, std::min(buffered, c.max_split));
    if (k > 0) Fetch(c);
  }
  c.library_cpu_ns += ThreadClockNs() - t0;
  ++c.library_calls;
  if (k <= 0) return 0;
  if (c.check == Check::kEveryGroup) {
    c.mismatches += CountPatternMismatches(c, c.next_group, k);
    c.next_group += static_cast<std::uint64_t>(k);
  } else {
    c.next_group = CheckEnds(c, c.next_group, k);
  }
  if (c.convert) {
    const std::int64_t t1 = ThreadClockNs();
    Convert(c, k);
    c.library_cpu_ns += ThreadClockNs() - t1;
  }
  return k;
}

std::int64_t ConsumeAll(StreamConsumer& consumer) {
  std::int64_t total = 0;
  for (std::int32_t k; (k = ConsumeOnce(consumer)) > 0;) total += k;
  return total;
}

}  // namespace kr2270::bench
