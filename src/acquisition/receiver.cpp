#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "acquisition/acquisition.h"
#include "device/lifecycle.h"
#include "kr2270c.h"
#include "recording/recording.h"

namespace kr2270 {
namespace {

constexpr std::int64_t kNsPerSecond = 1000000000;
// How long one window of the arrival bound lasts: short enough to follow a
// module clock that runs apart from the host's by tens of ppm, long enough
// to hold arrivals that were not delayed.
constexpr std::int64_t kAnchorWindowNs = 2 * kNsPerSecond;
constexpr std::int64_t kNoBound = INT64_MAX;
// A new connection's groups are held back this long before they are placed:
// its first block may come late (a busy host, a module that starts late),
// the ones after it bound its start more tightly.
constexpr std::int64_t kSettleNs = 50000000;
constexpr std::size_t kMaxHeldBytes = std::size_t{4} << 20;

// A failure is kept by the writer for KR2270_DFWClose to report.
void AppendToRecording(Device* device, const std::uint8_t* bytes, std::size_t length,
                       const BlockTimeline& timeline) {
  std::lock_guard<std::mutex> hold(device->file_lock);
  if (device->writer.file != nullptr) {
    AppendRecording(device, bytes, static_cast<std::int32_t>(length), device->receiver.run,
                    &timeline);
  }
}

// The stop takes the wake copy of the socket before it shuts the socket
// down, and the close clears thread_run first: an end of the connection seen
// otherwise came from the module.
void NoteConnectionEnd(Device* device) {
  if (device->thread_run.load() != 0 && device->data_socket_wake.load() != platform::kNoSocket) {
    device->data_link_lost.store(true);
    device->health.last_error.store(KR2270_ERROR_RESET, std::memory_order_relaxed);
    NotifyGroupWaiters(device);
  }
}

// The receiver is the only writer of both counters, so plain load and store
// are enough; readers on other threads see a recent value.
void CountPublished(Device* device, std::uint64_t groups) {
  HealthCounters& health = device->health;
  health.groups_received.store(health.groups_received.load(std::memory_order_relaxed) + groups,
                               std::memory_order_relaxed);
  const std::uint64_t fill = FifoFilled(device->stream_fifo);
  if (fill > health.ring_high_water.load(std::memory_order_relaxed)) {
    health.ring_high_water.store(fill, std::memory_order_relaxed);
  }
}

// The gap first: whoever sees the lost count grow finds its gap logged too.
void CountDropped(Device* device, std::uint64_t index, std::uint64_t dropped) {
  RecordGap(device->gaps, index, dropped, device->producer.put, KR2270_GAP_RING_FULL, false);
  device->lost_groups.fetch_add(dropped, std::memory_order_release);
}

// True when the stream runs again. A reconnect that gives up ends the
// acquisition as a lost connection does.
bool ReconnectOrGiveUp(Device* device, std::unique_lock<std::mutex>& hold) {
  device->receiver.busy = true;
  const Comeback comeback = RestoreStream(device, hold);
  device->receiver.busy = false;
  device->receiver_wake.notify_all();
  if (comeback == Comeback::kGaveUp) {
    device->data_link_lost.store(true);
    NotifyGroupWaiters(device);
  }
  return comeback == Comeback::kBack;
}

// --- where groups sit in time ------------------------------------------------------

// The newest whole group the module sent on this connection was sampled no
// later than now: a bound on when the connection's first group was.
std::int64_t ArrivalBound(const ReceiverState& state, std::int64_t now) {
  const std::uint64_t groups = state.segment_bytes / static_cast<std::uint64_t>(state.group_size);
  if (groups == 0 || state.module_rate <= 0.0) return kNoBound;
  return now - static_cast<std::int64_t>(static_cast<double>(groups - 1) * 1e9 / state.module_rate);
}

// True when the estimate moved.
bool TightenAnchor(ReceiverState& state, std::int64_t bound, std::int64_t now) {
  if (bound == kNoBound) return false;
  if (now - state.anchor_window_start_ns >= kAnchorWindowNs) {
    state.anchor_previous_min_ns = state.anchor_window_min_ns;
    state.anchor_window_min_ns = kNoBound;
    state.anchor_window_start_ns = now;
  }
  state.anchor_window_min_ns = std::min(state.anchor_window_min_ns, bound);
  const std::int64_t before = state.anchor_ns;
  state.anchor_ns = std::min(state.anchor_window_min_ns, state.anchor_previous_min_ns);
  return state.anchor_ns != before;
}

void PublishAnchor(Device* device) {
  const ReceiverState& state = device->receiver;
  RunTimeline& timeline = device->timeline;
  std::lock_guard<std::mutex> hold(timeline.lock);
  timeline.anchored = true;
  timeline.segment_index = state.segment_index;
  timeline.segment_anchor_ns = state.anchor_ns;
  timeline.start_unix_ns = state.start_unix_ns;
}

// Where the new connection's first group falls on the old one's timeline:
// it was sampled after its start was sent and no later than its arrival.
std::uint64_t IndexOfNewSegment(const ReceiverState& state, std::int64_t first_sampled) {
  const double periods =
      static_cast<double>(first_sampled - state.anchor_ns) * state.group_rate / 1e9;
  const double index = static_cast<double>(state.segment_index) + std::round(periods);
  if (!(index > static_cast<double>(state.next_index))) return state.next_index;
  return static_cast<std::uint64_t>(index);
}

// The first whole groups of a connection fix where it sits: the run's first
// connection defines index 0 and the start time; a later one leaves a gap.
void BeginSegment(Device* device, std::int64_t now, std::int64_t first_sampled) {
  ReceiverState& state = device->receiver;
  if (first_sampled == kNoBound) first_sampled = now;  // no rate to go by
  if (state.segment_start_sent_ns == 0) {
    state.next_index = 0;
    state.start_unix_ns = platform::WallClockNs() - (now - first_sampled);
  } else {
    first_sampled = std::max(first_sampled, state.segment_start_sent_ns);
    const std::uint64_t index = IndexOfNewSegment(state, first_sampled);
    RecordGap(device->gaps, state.next_index, index - state.next_index, device->producer.put,
              state.segment_cause, true);
    state.next_index = index;
  }
  state.segment_pending = false;
  state.segment_index = state.next_index;
  state.anchor_ns = first_sampled;
  state.anchor_window_min_ns = first_sampled;
  state.anchor_previous_min_ns = kNoBound;
  state.anchor_window_start_ns = now;
  PublishAnchor(device);
}

// The receiver places a change made while streaming at the first group it
// was asked for, never before one it has handed on. Returns how many of the
// next `count` groups still go with the settings in force.
std::size_t GroupsBeforeNextChange(Device* device, std::size_t count) {
  RunTimeline& timeline = device->timeline;
  if (timeline.pending_count.load(std::memory_order_acquire) == 0) return count;
  ReceiverState& state = device->receiver;
  std::lock_guard<std::mutex> hold(timeline.lock);
  while (!timeline.pending.empty()) {
    const PendingChange& change = timeline.pending.front();
    const std::uint64_t at = std::max(change.earliest_index, state.next_index);
    if (at > state.next_index) {
      return static_cast<std::size_t>(std::min<std::uint64_t>(count, at - state.next_index));
    }
    if (!SameConversion(change.settings, state.settings)) {
      ApplyConversion(ConversionOf(change.settings), &state.settings);
      KR2270ConversionSettings entry = ConversionOf(state.settings);
      entry.index = state.next_index;
      entry.position = device->producer.put;
      timeline.settings.Append(entry);
      state.settings_number = timeline.settings.total - 1;
    }
    timeline.pending.pop_front();
    timeline.pending_count.store(timeline.pending.size(), std::memory_order_release);
  }
  return count;
}

// Hands count groups on: to the ring (the ones that fit), to an open
// recording (all of them), with their place in the timeline.
void HandOn(Device* device, const std::uint8_t* groups, std::size_t count) {
  ReceiverState& state = device->receiver;
  const auto group = static_cast<std::size_t>(state.group_size);
  const std::uint64_t index = state.next_index;
  const std::uint64_t dropped =
      PutGroupsAt(device, groups, count, group, index, state.settings_number, state.settings);
  CountPublished(device, count - dropped);
  if (dropped != 0) CountDropped(device, index + (count - dropped), dropped);
  BlockTimeline where;
  where.index = index;
  where.jump_cause = state.segment_cause;
  where.settings_number = state.settings_number;
  where.settings = &state.settings;
  where.start_unix_ns = state.start_unix_ns;
  where.group_rate = state.group_rate;
  AppendToRecording(device, groups, count * group, where);
  state.next_index = index + count;
  device->timeline.next_index.store(state.next_index, std::memory_order_relaxed);
  device->timeline.groups.fetch_add(count, std::memory_order_relaxed);
}

// Hands count whole groups on, cut where a change of settings falls.
void Publish(Device* device, const std::uint8_t* groups, std::size_t count) {
  const auto group = static_cast<std::size_t>(device->receiver.group_size);
  for (std::size_t left = count; left > 0;) {
    const std::size_t n = GroupsBeforeNextChange(device, left);
    HandOn(device, groups, n);
    groups += n * group;
    left -= n;
  }
  NotifyGroupWaiters(device);
}

void ReleaseHeld(Device* device, std::int64_t now) {
  ReceiverState& state = device->receiver;
  BeginSegment(device, now, state.held_bound_ns);
  Publish(device, state.held.data(), state.held.size() / static_cast<std::size_t>(state.group_size));
  state.held.clear();
}

// The groups of a connection after a reconnect wait until its start is
// settled; the rest of the stream never waits.
void Hold(Device* device, std::size_t whole, std::int64_t now) {
  ReceiverState& state = device->receiver;
  if (whole > 0) {
    if (state.held.empty()) {
      state.held_since_ns = now;
      state.held_bound_ns = kNoBound;
    }
    state.held.insert(state.held.end(), state.block.data(), state.block.data() + whole);
  }
  if (state.held.empty()) return;
  state.held_bound_ns = std::min(state.held_bound_ns, ArrivalBound(state, now));
  if (now - state.held_since_ns >= kSettleNs || state.held.size() >= kMaxHeldBytes) {
    ReleaseHeld(device, now);
  }
}

}  // namespace

std::int32_t DataReceive(Device* device, std::uint8_t* destination, std::int32_t count) {
  if (device->data_socket == platform::kNoSocket) return KR2270_ERROR_RESET;
  if (count < 0) return KR2270_ERROR_ARGUMENT;
  if (count == 0) return 0;  // a receive of nothing would read as a close
  const platform::IoResult r =
      platform::Receive(device->data_socket, destination, static_cast<std::size_t>(count));
  switch (r.error) {
    case platform::NetError::kNone:
      platform::AcknowledgePromptly(device->data_socket);
      return static_cast<std::int32_t>(r.bytes);
    case platform::NetError::kTimeout:
      return 0;
    case platform::NetError::kReset:
    case platform::NetError::kClosed:
      return KR2270_ERROR_RESET;
    default:
      return KR2270_ERROR_ARGUMENT;
  }
}

std::size_t CompleteBlock(ReceiverState& state, std::uint8_t* block, std::size_t received) {
  if (state.decimation <= 1 || state.group_size <= 0) return received;
  const auto group = static_cast<std::size_t>(state.group_size);
  const std::size_t window = group * static_cast<std::size_t>(state.decimation);
  auto position = static_cast<std::size_t>(state.window_position);
  std::size_t at = 0;
  std::size_t kept = 0;
  while (at < received) {
    const std::size_t left = received - at;
    if (position < group) {
      const std::size_t take = std::min(left, group - position);
      if (kept != at) std::memmove(block + kept, block + at, take);
      kept += take;
      at += take;
      position += take;
    } else {
      const std::size_t skip = std::min(left, window - position);
      at += skip;
      position += skip;
    }
    if (position == window) position = 0;
  }
  state.window_position = static_cast<std::int64_t>(position);
  return kept;
}

std::uint8_t* ReceiveTarget(ReceiverState& state) {
  return state.block.data() + state.partial_length;
}

std::size_t ReceiveRoom(const ReceiverState& state) {
  return state.block.size() - static_cast<std::size_t>(state.partial_length);
}

std::size_t GatherWholeGroups(ReceiverState& state, std::size_t received) {
  const std::size_t kept = CompleteBlock(state, ReceiveTarget(state), received);
  const std::size_t filled = static_cast<std::size_t>(state.partial_length) + kept;
  const std::size_t tail = filled % static_cast<std::size_t>(state.group_size);
  state.partial_length = static_cast<std::int32_t>(tail);
  return filled - tail;
}

void CarryPartialGroup(ReceiverState& state, std::size_t handed_on) {
  std::uint8_t* block = state.block.data();
  std::memmove(block, block + handed_on, static_cast<std::size_t>(state.partial_length));
}

void PassOnBlock(Device* device, std::size_t received) {
  ReceiverState& state = device->receiver;
  const std::int64_t now = platform::MonotonicNs();
  state.segment_bytes += received;
  const std::size_t whole = GatherWholeGroups(state, received);
  if (state.segment_pending && state.segment_start_sent_ns != 0) {
    Hold(device, whole, now);
  } else if (whole > 0) {
    const std::int64_t bound = ArrivalBound(state, now);
    if (state.segment_pending) {
      BeginSegment(device, now, bound);
    } else if (TightenAnchor(state, bound, now)) {
      PublishAnchor(device);
    }
    Publish(device, state.block.data(), whole / static_cast<std::size_t>(state.group_size));
  }
  CarryPartialGroup(state, whole);
}

void ReceiverLoop(Device* device) {
  ReceiverState& state = device->receiver;
  std::uint64_t ended_run = 0;  // the run whose connection is gone
  std::unique_lock<std::mutex> hold(device->data_lock);
  for (;;) {
    device->receiver_wake.wait(hold, [&] {
      return device->thread_run.load() == 0 ||
             (device->streaming.load() != 0 && state.run != ended_run);
    });
    if (device->thread_run.load() == 0) return;
    if (device->command_lost.load() && ReconnectWanted(device)) {
      ReopenLostCommandConnection(device, hold);
    }
    const std::int32_t received =
        DataReceive(device, ReceiveTarget(state), static_cast<std::int32_t>(ReceiveRoom(state)));
    // Held groups go on when their time is up, also without more data.
    if (received > 0 || (received == 0 && !state.held.empty())) {
      state.busy = true;
      hold.unlock();
      PassOnBlock(device, static_cast<std::size_t>(received));
      hold.lock();
      state.busy = false;
      device->receiver_wake.notify_all();
    } else if (received < 0) {
      if (ReconnectWanted(device) && ReconnectOrGiveUp(device, hold)) continue;
      // Nothing more will come on this connection: wait for a stop or a
      // close instead of failing in a loop.
      NoteConnectionEnd(device);
      ended_run = state.run;
    }
  }
}

void PlaceHeldGroups(Device* device) {
  if (!device->receiver.held.empty()) ReleaseHeld(device, platform::MonotonicNs());
}

void SettleAtStop(Device* device) {
  ReceiverState& state = device->receiver;
  if (!state.segment_pending || state.segment_start_sent_ns == 0) return;
  if (!state.held.empty()) {
    PlaceHeldGroups(device);
    return;
  }
  const std::uint64_t index = IndexOfNewSegment(state, state.segment_start_sent_ns);
  RecordGap(device->gaps, state.next_index, index - state.next_index, device->producer.put,
            state.segment_cause, true);
}

void CloseDataConnection(Device* device) {
  std::lock_guard<std::mutex> hold(device->data_lock);
  platform::CloseSocket(device->data_socket);
  device->data_socket = platform::kNoSocket;
  device->data_socket_wake.store(platform::kNoSocket);
}

}  // namespace kr2270
