// Between the acquisition and the browsers: each viewer's envelope and its
// short queue of frames, and the requests from the page that the acquisition
// thread carries out. The acquisition never waits for a viewer: a frame that
// does not fit a viewer's queue is dropped and counted.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "scope/scope_traces.h"

namespace kr2270::tool {

// Frames a viewer may have waiting; about a third of a second of frames.
inline constexpr std::size_t kMaxQueuedFrames = 8;
// Viewers at once; each holds one server thread while it watches.
inline constexpr std::size_t kMaxViewers = 16;
// Columns a viewer gets per second at most, whatever window it asks for:
// bounds each frame, and the work and memory a viewer costs.
inline constexpr double kMaxColumnsPerSecond = 25000.0;

// One frame as the acquisition thread hands it over; the viewer's own thread
// turns it into text, so that formatting never holds up the acquisition.
struct ScopeFrame {
  std::int64_t seq = 0;
  std::int64_t first_column = 0;
  double column_s = 0.0;
  double t0 = 0.0;      // seconds at column 0 of the frame's numbering
  double output_rate = 0.0;
  std::vector<std::vector<Column>> columns;  // per column, one entry per trace
  std::vector<GapMark> gaps;
  std::shared_ptr<const std::string> status_json;
};

struct ScopeViewer {
  // Under the hub's lock (the acquisition thread feeds it).
  double window_s = 0.0;  // as asked, for the envelope of each new epoch
  int columns = 0;
  Envelope envelope;
  std::int64_t seq = 0;
  // Under `lock`: shared with the viewer's HTTP thread.
  std::mutex lock;
  std::condition_variable wake;
  std::deque<ScopeFrame> frames;
  std::uint64_t dropped = 0;
  bool closed = false;
};

// The answer to a request from the page.
struct PageReply {
  int http_status = 200;
  std::string json;
};

using PageJob = std::function<PageReply()>;

struct ScopeHub {
  std::size_t traces = 0;
  std::atomic<std::uint64_t> frames_dropped{0};

  std::mutex lock;
  std::condition_variable job_done;
  // An epoch is one start of the acquisition at one rate: positions and
  // column numbers count from its start, time from the scope's.
  double output_rate = 0.0;  // outputs per second
  double t0 = 0.0;           // seconds from the scope's start to the epoch's
  int epoch = 0;
  std::int64_t position = 0;  // outputs fed and missing in gaps, this epoch
  std::string config_json;
  std::vector<std::shared_ptr<ScopeViewer>> viewers;
  std::string status_json = "{}";
  struct Pending {
    PageJob job;
    PageReply reply;
    bool done = false;
  };
  std::deque<std::shared_ptr<Pending>> jobs;
  bool closed = false;
};

// A new viewer whose columns are `window_s` / `columns` wide; null when the
// hub is closed or has kMaxViewers already.
std::shared_ptr<ScopeViewer> AddViewer(ScopeHub& hub, double window_s, int columns);
void RemoveViewer(ScopeHub& hub, const std::shared_ptr<ScopeViewer>& viewer);

// Acquisition thread: folds a batch, with the gaps just before its outputs,
// into every viewer's envelope.
void FeedViewers(ScopeHub& hub, const TraceValues& values, std::int32_t count,
                 const std::vector<BatchGap>& gaps = {});
// Acquisition thread: the columns completed since the last call go to each
// viewer as one frame per run of columns (a gap that skips columns makes
// two), with `status_json`; a full queue drops the frame.
void PublishFrames(ScopeHub& hub, const std::string& status_json);

// Acquisition thread, once the acquisition started again at `output_rate`:
// every viewer gets a new envelope for it, numbered from 0 again, at `t0`
// seconds. Publish what the old epoch completed first.
void StartEpoch(ScopeHub& hub, double output_rate, double t0, std::string config_json);

std::string ConfigJsonOf(ScopeHub& hub);

// Viewer thread: the next frame as JSON, waiting at most `limit`. Empty when
// none came in time; nullopt once the viewer is closed.
std::optional<std::string> NextFrameJson(ScopeViewer& viewer, std::chrono::milliseconds limit);
// Acquisition thread: carries out the page's waiting requests.
void RunPageJobs(ScopeHub& hub);

// Any thread: runs `job` on the acquisition thread and waits for its reply
// (503 when the hub closes or the acquisition does not answer in time).
PageReply RunOnAcquisition(ScopeHub& hub, PageJob job);

// Ends every viewer's stream and refuses further jobs.
void CloseHub(ScopeHub& hub);

std::string FrameJson(const ScopeFrame& frame, std::uint64_t dropped);

}  // namespace kr2270::tool
