// The per-module record behind every handle.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/channel_queue.h"
#include "acquisition/gap_log.h"
#include "acquisition/stream_fifo.h"
#include "acquisition/timeline.h"
#include "device/settings.h"
#include "platform/platform.h"
#include "recording/sidecar.h"

namespace kr2270 {

struct RecordingReader;

// Command connection state; every field but `wake` is guarded by cmd_lock.
struct CommandChannel {
  std::mutex lock;
  platform::Socket socket = platform::kNoSocket;
  // Copy of socket that the close reads without the lock, to wake an
  // exchange waiting for a reply; kNoSocket once the close began.
  std::atomic<platform::Socket> wake{platform::kNoSocket};
  // Late replies thrown away since the handle was created.
  std::atomic<std::uint64_t> stale_replies{0};
  // Requests that timed out with their replies still owed by the module,
  // oldest first (their first 12 bytes): the replies are thrown away as
  // they arrive, so they are never taken for a later request's reply.
  static constexpr int kMaxOwedReplies = 4;
  std::uint8_t owed[kMaxOwedReplies][12] = {};
  int owed_replies = 0;
  // Monotonic time after which the owed replies count as dropped.
  std::int64_t owed_until_ns = 0;
  // Bytes of owed replies that arrived before their requests timed out.
  std::uint8_t carry[260] = {};
  std::size_t carry_length = 0;
  // Bytes beyond a reply arrived with it: the stream must be drained.
  bool needs_drain = false;
  // The receive time-out the socket holds now, to skip redundant calls.
  std::int32_t socket_timeout_ms = -1;
};

// State of the receiver thread for one acquisition run. Written by the start
// sequence while the thread is idle, then owned by the thread.
struct ReceiverState {
  std::int32_t group_size = 0;
  std::int32_t decimation = 1;
  std::int64_t bytes_per_second = 0;
  // Decimation phase: byte position inside the current F x G window.
  std::int64_t window_position = 0;
  // Bytes of a group whose rest has not arrived yet, kept at the front of
  // the block: the ring and the recording only take whole groups.
  std::int32_t partial_length = 0;
  std::vector<std::uint8_t> block;
  // Where the automatic reconnect goes, copied at the start.
  std::uint32_t address = 0;  // network byte order
  std::int32_t command_port = 0;
  std::int32_t data_port = 0;
  // A lost command connection being reopened; zero when none is.
  std::chrono::steady_clock::time_point command_lost_at{};
  std::chrono::steady_clock::time_point command_next_try{};
  std::int32_t command_back_off_ms = 0;
  // Guarded by data_lock. Runs begun by the start sequence, so that the
  // thread notices a new run even when it slept through a stop and a start.
  std::uint64_t run = 0;
  // Guarded by data_lock. The thread works on a block outside the lock; the
  // stop waits for it, so that nothing is put after the stop returns.
  bool busy = false;

  // The timeline. A segment is what one data connection delivers: the
  // module numbers its groups from 0 on each.
  double group_rate = 0.0;   // after decimation: the rate of the index
  double module_rate = 0.0;  // as the module sends
  std::uint64_t next_index = 0;  // of the next group received
  bool segment_pending = true;   // the next whole groups begin a segment
  // Of the reconnect that began the pending segment: when its start was
  // sent (monotonic ns; 0 for the run's first segment) and the gap's cause.
  std::int64_t segment_start_sent_ns = 0;
  std::int32_t segment_cause = 0;
  std::uint64_t segment_index = 0;  // index of the segment's first group
  std::uint64_t segment_bytes = 0;  // received in the segment, before decimation
  // When the segment's first group was sampled: each arrival bounds it from
  // above, and the least bound of the last two windows follows a module
  // clock that runs apart from the host's.
  std::int64_t anchor_ns = 0;
  std::int64_t anchor_window_min_ns = 0;
  std::int64_t anchor_previous_min_ns = 0;
  std::int64_t anchor_window_start_ns = 0;
  // The conversion settings the receiver hands groups on with.
  std::uint64_t settings_number = 0;
  Settings settings;
  std::int64_t start_unix_ns = 0;  // of index 0, once the first groups came
  // Whole groups of a new connection, held until its start is settled.
  std::vector<std::uint8_t> held;
  std::int64_t held_since_ns = 0;
  std::int64_t held_bound_ns = 0;
};

// Counters behind KR2270_GetHealth. Each has one writer that adds with a
// relaxed operation, so the hot path never takes a lock for them.
struct HealthCounters {
  std::atomic<std::uint64_t> groups_received{0};  // receiver; since start
  std::atomic<std::uint64_t> ring_high_water{0};  // receiver; bytes, since start
  std::atomic<std::uint64_t> reconnects{0};
  std::atomic<std::uint64_t> command_timeouts{0};  // under cmd.lock
  std::atomic<std::int32_t> last_error{0};
};

// Recording writer state; guarded by file_lock.
struct RecordingWriter {
  std::FILE* file = nullptr;
  std::string path;
  std::string directory;   // of the open, for the recording a new run begins
  std::int32_t bytes = 0;  // bytes in the current file; 0 = header pending
  std::int32_t file_limit = 524288000;
  std::unique_ptr<char[]> io_buffer;
  // The first failure since it was last reported (-201 or -202): data that
  // did not reach a file. Kept until KR2270_DFWOpen or KR2270_DFWClose
  // returned it.
  std::int32_t failure = 0;
  std::int64_t total_bytes = 0;  // since the open, headers included
  std::int32_t files = 0;        // files begun since the open
  // The acquisition run whose groups the recording holds; 0 = none yet. A
  // later run's groups begin a new recording under their own header.
  std::uint64_t run = 0;
  // The recording's sidecar: its timeline, kept as the blocks arrive.
  std::string first_path;    // of the recording's first file
  std::string sidecar_path;
  RecordingTimeline timeline;
  bool timeline_begun = false;  // its first group arrived
  std::int64_t data_bytes = 0;  // of the recording, headers not counted
  std::uint64_t settings_number = 0;  // of the run's settings last recorded
  std::int64_t sidecar_written_ns = 0;
  std::int64_t sidecar_cost_ns = 0;  // how long the last rewrite took
  // KR2270_DFWSetField's, for every recording of this open.
  std::vector<std::pair<std::string, std::string>> fields;
};

}  // namespace kr2270

struct KR2270Device {
  // What the module was last told (setters write it on the caller's thread).
  kr2270::Settings settings;
  // What the bytes in the stream ring mean: the run's settings, copied at
  // start, or a recording's header loaded for playback. The receiver, the
  // splitter and every recording header of a run use these. Written only
  // while nothing fills the ring (under data_lock), by the application.
  kr2270::Settings stream_settings;
  // Guards `settings` against a start copying it while a setter on another
  // thread writes it. Only timeline.lock is taken while it is held (a change
  // of conversion is posted in the order the changes were made).
  std::mutex settings_lock;

  // Acquisition.
  std::atomic<std::int32_t> transfer_bytes{0};
  std::int32_t filter_times = 0;
  std::atomic<std::uint8_t> streaming{0};

  // Connections.
  char ip_address[20] = {};
  std::atomic<std::int32_t> command_port{0};
  std::int32_t data_port = 0;
  kr2270::CommandChannel cmd;
  kr2270::platform::Socket data_socket = kr2270::platform::kNoSocket;  // data_lock
  // Copy of data_socket that close and stop read without data_lock, to wake a
  // receive in progress.
  std::atomic<kr2270::platform::Socket> data_socket_wake{kr2270::platform::kNoSocket};

  // Receiver thread.
  std::mutex data_lock;
  std::condition_variable receiver_wake;  // with data_lock
  std::atomic<std::int32_t> thread_run{1};
  std::thread receiver_thread;
  kr2270::ReceiverState receiver;
  std::atomic<std::uint64_t> lost_groups{0};
  std::atomic<bool> data_link_lost{false};
  std::atomic<bool> auto_reconnect{false};
  std::atomic<std::int32_t> reconnect_wait_ms{0};
  // The command connection failed while streaming with the reconnect on; the
  // receiver thread opens a new one.
  std::atomic<bool> command_lost{false};
  kr2270::HealthCounters health;
  kr2270::GapLog gaps;  // gaps.lock
  kr2270::RunTimeline timeline;  // timeline.lock
  // KR2270_CmdClose was called: the reconnect must not open a new command
  // connection behind the application's back.
  std::atomic<bool> command_closed_by_application{false};

  // KR2270_HcWaitGroups sleeps on groups_ready; the receiver, the stop and a
  // lost connection notify it under wait_lock, so that no wake-up is missed.
  std::mutex wait_lock;
  std::condition_variable groups_ready;

  // Stream ring and channel queues.
  kr2270::StreamFifo stream_fifo;
  kr2270::StreamMarks marks;
  kr2270::ProducerPosition producer;  // the ring's producer only
  kr2270::SplitPosition split;        // the splitting thread only
  kr2270::ChannelQueue<std::int32_t> ad_queue[8];
  kr2270::ChannelQueue<std::uint16_t> di_queue;
  kr2270::ChannelQueue<std::uint32_t> ct_queue[4];
  kr2270::ChannelQueue<std::uint32_t> ec_queue[2];
  std::vector<std::uint8_t> split_scratch;
  std::int64_t filter_sum[8] = {};
  std::vector<std::int32_t> filter_window[8];

  // Recording and playback.
  std::mutex file_lock;
  kr2270::RecordingWriter writer;
  kr2270::RecordingReader* reader = nullptr;
};

namespace kr2270 {

using Device = ::KR2270Device;

// A change of how codes convert, made while a run may be streaming: the
// receiver places it in the timeline (acquisition).
void PostConversionChange(Device* device, const Settings& settings);

// Setters change the mirror through this, so that a start on another thread
// copies whole settings, never half of a change, and so that a change of
// conversion during a run reaches the timeline in the order it was made.
template <typename Change>
void MirrorSettings(Device* device, Change&& change) {
  std::lock_guard<std::mutex> hold(device->settings_lock);
  const Settings before = device->settings;
  change(device->settings);
  if (!SameConversion(before, device->settings)) PostConversionChange(device, device->settings);
}

inline Settings CopyOfSettings(Device* device) {
  std::lock_guard<std::mutex> hold(device->settings_lock);
  return device->settings;
}

// The process-wide list of live handles, in creation order.
std::vector<Device*> DeviceListSnapshot();

// Test hook (not exported): the file size at which recordings rotate.
void SetRecordFileLimit(Device* device, std::int32_t limit);

}  // namespace kr2270
