#include <algorithm>
#include <cstring>

#include "acquisition/acquisition.h"
#include "device/lifecycle.h"
#include "kr2270c.h"
#include "recording/recording.h"

namespace kr2270 {
namespace {

// A failure is kept by the writer for KR2270_DFWClose to report.
void AppendToRecording(Device* device, const std::uint8_t* bytes, std::size_t length,
                       std::uint64_t run) {
  std::lock_guard<std::mutex> hold(device->file_lock);
  if (device->writer.file != nullptr) {
    AppendRecording(device, bytes, static_cast<std::int32_t>(length), run);
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
void CountDropped(Device* device, std::uint64_t dropped) {
  RecordGap(device->gaps, device->health.groups_received.load(std::memory_order_relaxed), dropped,
            KR2270_GAP_RING_FULL, false);
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

std::uint64_t PutGroups(StreamFifo& fifo, const std::uint8_t* groups, std::size_t count,
                        std::size_t group_size) {
  const std::size_t room = FifoFree(fifo) / group_size;
  const std::size_t fit = std::min(count, room);
  if (fit > 0) FifoPut(fifo, groups, static_cast<std::uint32_t>(fit * group_size));
  return count - fit;
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
  const std::size_t whole = GatherWholeGroups(state, received);
  if (whole > 0) {
    const auto group = static_cast<std::size_t>(state.group_size);
    const std::size_t groups = whole / group;
    const std::uint64_t dropped = PutGroups(device->stream_fifo, state.block.data(), groups, group);
    CountPublished(device, groups - dropped);
    if (dropped != 0) CountDropped(device, dropped);
    // The run changes only at a start, while the thread is idle.
    AppendToRecording(device, state.block.data(), whole, state.run);
    NotifyGroupWaiters(device);
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
    if (received > 0) {
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

void CloseDataConnection(Device* device) {
  std::lock_guard<std::mutex> hold(device->data_lock);
  platform::CloseSocket(device->data_socket);
  device->data_socket = platform::kNoSocket;
  device->data_socket_wake.store(platform::kNoSocket);
}

}  // namespace kr2270
