// The host-side trigger: a search on the codes each split parsed, and
// captures around what it finds, kept in the stream ring until complete and
// then parsed into storage of their own (see "Triggered capture" in
// kr2270c.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "acquisition/stream_fifo.h"
#include "device/device.h"

namespace kr2270 {

// The channel queues a parse fills: the split's, or a capture's.
struct QueueRefs {
  ChannelQueue<std::int32_t>* ad;   // [8]
  ChannelQueue<std::uint16_t>* di;
  ChannelQueue<std::uint32_t>* ct;  // [4]
  ChannelQueue<std::uint32_t>* ec;  // [2]
};
QueueRefs DeviceQueues(Device* device);
// Parses k whole groups of the layout of settings, lying in pieces, into
// the queues, which are cleared first (the splitter's parser).
void ParseGroupsInto(const Settings& settings, const FifoPieces& pieces, std::size_t k,
                     const QueueRefs& queues);

// The splitter, after a plain split of k groups was positioned and before
// the ring lets them go: watches them and returns the bytes the ring must
// keep behind its read position (0 when disarmed).
std::uint32_t WatchSplit(Device* device, std::size_t k);

}  // namespace kr2270
