// Between the acquisition and the browsers. The acquisition thread hands
// each batch over in constant time and goes back to the module; a view
// thread of its own folds the batches into envelopes, one per column width
// in use (viewers with the same width share it), encodes each frame once and
// queues it to every viewer of that width. A queue is bounded in frames and
// bytes: a viewer that does not keep up loses its own frames, and a view
// thread that does not keep up skips batches; neither ever holds up the
// acquisition.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "run/stream.h"
#include "scope/scope_traces.h"

namespace kr2270::tool {

// Frames a viewer may have waiting; about a third of a second of frames.
inline constexpr std::size_t kMaxQueuedFrames = 8;
// Bytes of frames a viewer may have waiting.
inline constexpr std::size_t kMaxQueuedBytes = 4 * 1024 * 1024;
// Columns in one frame at most: after a backlog the columns go out in
// several frames, each well inside a viewer's queue.
inline constexpr std::size_t kMaxFrameColumns = 1024;
// Viewers at once.
inline constexpr std::size_t kMaxViewers = 16;
// Columns a viewer gets per second at most, whatever window it asks for:
// bounds each frame, and the work and memory a viewer costs.
inline constexpr double kMaxColumnsPerSecond = 25000.0;
// Outputs handed over and not yet folded, at most: about a second at the
// highest rate. Beyond it the view skips batches (shown as a gap whose cause
// is "view behind"), the acquisition goes on.
inline constexpr std::int64_t kMaxPendingOutputs = 1 << 18;
// The cause of a gap the view itself skipped; the library's causes are >= 0.
inline constexpr std::int32_t kGapViewBehind = -1;

// One frame for one viewer: its number in the viewer's sequence and the
// shared JSON body (the members after "seq" and "dropped").
struct ViewerFrame {
  std::int64_t seq = 0;
  std::shared_ptr<const std::string> body;
};

struct ScopeViewer {
  double window_s = 0.0;
  int columns = 0;
  // Called by the view thread after it queued a frame or closed the viewer,
  // without a lock held; set before the viewer is added.
  std::function<void()> on_frame;

  std::mutex lock;
  std::deque<ViewerFrame> frames;
  std::size_t queued_bytes = 0;
  std::int64_t next_seq = 0;
  std::uint64_t dropped = 0;
  bool closed = false;   // no frame will come any more
  bool removed = false;  // RemoveViewer was called
};

// The answer to a request from the page.
struct PageReply {
  int http_status = 200;
  std::string json;
};

using PageJob = std::function<PageReply()>;
using PageReplyHandler = std::function<void(const PageReply&)>;

// What the acquisition thread hands to the view thread, in order.
struct ViewItem {
  enum class Kind { kBatch, kSkipped, kPublish, kEpoch } kind = Kind::kBatch;
  GroupBatch batch;               // kBatch
  std::vector<BatchGap> gaps;     // kBatch
  std::int64_t skipped = 0;       // kSkipped: outputs passed without values
  std::shared_ptr<const std::string> status;  // kPublish
  double output_rate = 0.0;       // kEpoch
  double t0 = 0.0;                // kEpoch
};

// Viewers of one column width, and their envelope.
struct SharedEnvelope {
  Envelope envelope;
  std::vector<std::shared_ptr<ScopeViewer>> viewers;
};

// The view thread's own state.
struct ViewState {
  double output_rate = 0.0;
  double t0 = 0.0;            // seconds from the scope's start to the epoch's
  std::int64_t position = 0;  // outputs passed this epoch, seen or missing
  std::vector<SharedEnvelope> envelopes;
  TraceValues values;
};

struct PendingJob {
  PageJob job;
  PageReplyHandler on_reply;
  bool taken = false;  // under the hub's lock
};

struct ScopeHub {
  // Fixed before the view thread starts.
  StreamSelection selection;
  std::size_t traces = 0;

  std::atomic<std::uint64_t> frames_dropped{0};
  std::atomic<std::uint64_t> outputs_skipped{0};
  std::atomic<std::size_t> viewer_count{0};

  std::mutex lock;
  std::condition_variable view_wake;
  std::deque<ViewItem> items;
  std::int64_t pending_outputs = 0;
  std::vector<GroupBatch> spare;  // batches the view thread is done with
  std::vector<std::shared_ptr<ScopeViewer>> joining;
  std::string config_json;
  std::string status_json = "{}";
  std::deque<std::shared_ptr<PendingJob>> jobs;
  bool view_due = false;  // a publish or a new epoch waits for the view thread
  bool closed = false;

  ViewState view;  // the view thread's (or RunViewWork's caller's)
  std::thread view_thread;
};

// Starts the view thread; CloseHub stops it.
void StartViewThread(ScopeHub& hub, double output_rate, std::string config_json);

// A new viewer whose columns are `window_s` / `columns` wide, fed from the
// next batch on; null when the hub is closed or has kMaxViewers already.
std::shared_ptr<ScopeViewer> AddViewer(ScopeHub& hub, double window_s, int columns,
                                       std::function<void()> on_frame = {});
// Any thread: the viewer gets nothing more and leaves its envelope.
void RemoveViewer(ScopeHub& hub, const std::shared_ptr<ScopeViewer>& viewer);

// Acquisition thread: hands a converted batch, with the gaps just before its
// outputs, to the view, in exchange for a spare batch to fill next (swapped,
// whatever their sizes).
void HandOff(ScopeHub& hub, GroupBatch& batch, std::vector<BatchGap> gaps);
// Acquisition thread: what was handed over so far goes out to the viewers as
// frames with `status_json`, one frame per run of columns.
void RequestPublish(ScopeHub& hub, std::string status_json);
// Acquisition thread, once the acquisition started again at `output_rate`:
// columns count from 0 again, at `t0` seconds, for every viewer. Batches of
// the old epoch handed over before it are folded into the old envelopes.
void StartEpoch(ScopeHub& hub, double output_rate, double t0, std::string config_json);

std::string ConfigJsonOf(ScopeHub& hub);
std::string StatusJsonOf(ScopeHub& hub);

// The view thread's work, once: folds and publishes what was handed over.
// Called by the view thread; tests call it in its stead.
void RunViewWork(ScopeHub& hub);

// Viewer side: the next frame as one Server-Sent Event, split so that the
// shared body is not copied: `head` + *body + "\n\n". False when none is
// queued; `closed` tells that none will come.
struct ViewerEvent {
  std::string head;
  std::shared_ptr<const std::string> body;
};
bool NextEvent(ScopeViewer& viewer, ViewerEvent& event, bool& closed);

// Any thread: queues `job` for the acquisition thread, which calls
// `on_reply` with its answer; a closed hub answers 503 at once. A job may
// be withdrawn until the acquisition takes it: WithdrawPageJob is true then,
// and `on_reply` is never called.
std::shared_ptr<PendingJob> SubmitPageJob(ScopeHub& hub, PageJob job, PageReplyHandler on_reply);
bool WithdrawPageJob(ScopeHub& hub, const std::shared_ptr<PendingJob>& pending);
// Acquisition thread: carries out the page's waiting requests.
void RunPageJobs(ScopeHub& hub);

// Ends every viewer's stream, answers the waiting jobs with 503, refuses
// further ones and stops the view thread.
void CloseHub(ScopeHub& hub);

}  // namespace kr2270::tool
