#include "anchors.h"

namespace kr2270::bench {
namespace {

std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

bool Has(unsigned mask, int index) { return ((mask >> index) & 1u) != 0; }

}  // namespace

void NaiveSplit(const sim::StreamLayout& layout, const std::uint8_t* groups, std::size_t count,
                NaiveQueues& queues) {
  for (auto& q : queues.ad) q.clear();
  queues.di.clear();
  for (auto& q : queues.ct) q.clear();
  for (auto& q : queues.ec) q.clear();
  const std::size_t size = sim::GroupSize(layout);
  for (std::size_t g = 0; g < count; ++g) {
    const std::uint8_t* p = groups + g * size;
    for (int k = 0; k < 8; ++k) {
      if (!Has(layout.analog_mask, k)) continue;
      if (layout.code_bytes == 2) {
        queues.ad[k].push_back(static_cast<std::int32_t>(std::uint32_t{Le16(p)} << 8));
        p += 2;
      } else {
        queues.ad[k].push_back(static_cast<std::int32_t>(Le32(p)));
        p += 4;
      }
    }
    if (layout.digital) {
      queues.di.push_back(Le16(p));
      p += 2;
    }
    for (int k = 0; k < 4; ++k) {
      if (!Has(layout.counter_mask, k)) continue;
      queues.ct[k].push_back(Le32(p));
      p += 4;
    }
    for (int k = 0; k < 2; ++k) {
      if (!Has(layout.encoder_mask, k)) continue;
      queues.ec[k].push_back(Le32(p));
      p += 4;
    }
  }
}

}  // namespace kr2270::bench
