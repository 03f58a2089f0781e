// The per-module record behind every handle.
#pragma once

#include <atomic>
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
#include "platform/platform.h"

namespace kr2270 {

struct RecordingReader;

// The settings that give the stream its meaning: exactly what a recording
// header carries, in header order. Kept together so that a header can be
// parsed into a copy, checked, and then committed at once.
struct Settings {
  std::uint8_t ad_enabled[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  std::int32_t ad_full_code[8] = {8388607, 8388607, 8388607, 8388607,
                                  8388607, 8388607, 8388607, 8388607};
  std::int32_t ad_zero_code[8] = {4194303, 4194303, 4194303, 4194303,
                                  4194303, 4194303, 4194303, 4194303};
  double ad_span[8] = {10.0, 10.0, 10.0, 10.0, 10.0, 10.0, 10.0, 10.0};
  double ad_offset[8] = {};
  std::uint8_t ad_range[8] = {};
  std::uint8_t ad_end_mode[8] = {};
  std::int32_t ad_reserved[8] = {};
  std::int8_t ad_sleep[2] = {};
  std::uint8_t ct_in_fifo[4] = {};
  std::int8_t ct_mode[4] = {};
  double ct_freq_base[4] = {1000.0, 1000.0, 1000.0, 1000.0};
  std::uint8_t di_in_fifo = 0;
  std::uint8_t ec_in_fifo[2] = {};
  std::int32_t rate_code = 0;
  std::uint8_t trigger_reserved = 0;
  std::uint8_t trigger_enable = 0;
  std::uint8_t trigger_mode = 0;
  std::int32_t trigger_count = 0;
  std::uint8_t ad_code_bytes = 4;
  std::uint8_t ad_range_ex[8] = {};
};

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
  // What the automatic reconnect needs, copied at the start: the application
  // may change the handle's settings while the stream runs.
  Settings started_settings;
  std::uint32_t address = 0;  // network byte order
  std::int32_t command_port = 0;
  std::int32_t data_port = 0;
  // Guarded by data_lock. Runs begun by the start sequence, so that the
  // thread notices a new run even when it slept through a stop and a start.
  std::uint64_t run = 0;
  // Guarded by data_lock. The thread works on a block outside the lock; the
  // stop waits for it, so that nothing is put after the stop returns.
  bool busy = false;
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
  // thread writes it. A leaf lock: nothing else is taken while it is held.
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
  kr2270::HealthCounters health;
  kr2270::GapLog gaps;  // gaps.lock

  // KR2270_HcWaitGroups sleeps on groups_ready; the receiver, the stop and a
  // lost connection notify it under wait_lock, so that no wake-up is missed.
  std::mutex wait_lock;
  std::condition_variable groups_ready;

  // Stream ring and channel queues.
  kr2270::StreamFifo stream_fifo;
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

// Setters change the mirror through this, so that a start on another thread
// copies whole settings, never half of a change.
template <typename Change>
void MirrorSettings(Device* device, Change&& change) {
  std::lock_guard<std::mutex> hold(device->settings_lock);
  change(device->settings);
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
