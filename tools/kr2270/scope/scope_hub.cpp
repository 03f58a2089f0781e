#include "scope/scope_hub.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "scope/scope_json.h"

namespace kr2270::tool {
namespace {

// How long the page waits for a request to be carried out: covers a
// recording's open or close and a few command exchanges.
constexpr auto kJobTimeout = std::chrono::seconds(10);

void AppendColumns(std::string& out, const ScopeFrame& frame, std::size_t trace) {
  out += '[';
  bool first = true;
  for (const auto& column : frame.columns) {
    const Column& c = column[trace];
    if (!first) out += ',';
    first = false;
    out += JsonNumber(c.min, 7) + ',' + JsonNumber(c.max, 7) + ',' + JsonNumber(c.last, 7);
  }
  out += ']';
}

// Where data stopped, on the frame's time axis; how long it stayed away.
void AppendGaps(std::string& out, const ScopeFrame& frame) {
  out += '[';
  for (const GapMark& gap : frame.gaps) {
    if (out.back() != '[') out += ',';
    out += "{\"t\":" + JsonNumber(frame.t0 + static_cast<double>(gap.position) / frame.output_rate, 12) +
           ",\"len\":" + JsonNumber(static_cast<double>(gap.missing) / frame.output_rate, 12) +
           ",\"missing\":" + std::to_string(gap.missing) + ",\"cause\":" +
           JsonString(GapCauseName(gap.cause)) + "}";
  }
  out += ']';
}

std::int64_t GroupsPerViewerColumn(const ScopeHub& hub, const ScopeViewer& viewer) {
  const auto fewest = static_cast<std::int64_t>(std::ceil(hub.output_rate / kMaxColumnsPerSecond));
  return std::max(fewest, GroupsPerColumn(hub.output_rate, viewer.window_s, viewer.columns));
}

void Offer(ScopeViewer& viewer, ScopeFrame frame, std::atomic<std::uint64_t>& dropped_total) {
  {
    std::lock_guard<std::mutex> guard(viewer.lock);
    if (viewer.closed) return;
    if (viewer.frames.size() >= kMaxQueuedFrames) {
      ++viewer.dropped;
      dropped_total.fetch_add(1);
      return;
    }
    viewer.frames.push_back(std::move(frame));
  }
  viewer.wake.notify_one();
}

void CloseViewer(ScopeViewer& viewer) {
  {
    std::lock_guard<std::mutex> guard(viewer.lock);
    viewer.closed = true;
  }
  viewer.wake.notify_all();
}

}  // namespace

std::string FrameJson(const ScopeFrame& frame, std::uint64_t dropped) {
  const std::size_t traces = frame.columns.empty() ? 0 : frame.columns.front().size();
  std::string out = "{\"seq\":" + std::to_string(frame.seq) +
                    ",\"dropped\":" + std::to_string(dropped) +
                    ",\"col\":" + std::to_string(frame.first_column) +
                    ",\"dt\":" + JsonNumber(frame.column_s) +
                    ",\"n\":" + std::to_string(frame.columns.size()) + ",\"v\":[";
  for (std::size_t t = 0; t < traces; ++t) {
    if (t > 0) out += ',';
    AppendColumns(out, frame, t);
  }
  out += "],\"t0\":" + JsonNumber(frame.t0, 12) + ",\"gaps\":";
  AppendGaps(out, frame);
  return out + ",\"status\":" + *frame.status_json + "}";
}

std::optional<std::string> NextFrameJson(ScopeViewer& viewer, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> guard(viewer.lock);
  viewer.wake.wait_for(guard, limit, [&] { return !viewer.frames.empty() || viewer.closed; });
  if (viewer.closed) return std::nullopt;
  if (viewer.frames.empty()) return std::string();
  ScopeFrame frame = std::move(viewer.frames.front());
  viewer.frames.pop_front();
  const std::uint64_t dropped = viewer.dropped;
  guard.unlock();
  return FrameJson(frame, dropped);
}

std::shared_ptr<ScopeViewer> AddViewer(ScopeHub& hub, double window_s, int columns) {
  std::lock_guard<std::mutex> guard(hub.lock);
  if (hub.closed || hub.viewers.size() >= kMaxViewers) return nullptr;
  auto viewer = std::make_shared<ScopeViewer>();
  viewer->window_s = window_s;
  viewer->columns = columns;
  viewer->envelope = MakeEnvelope(hub.traces, GroupsPerViewerColumn(hub, *viewer), hub.position);
  hub.viewers.push_back(viewer);
  return viewer;
}

void RemoveViewer(ScopeHub& hub, const std::shared_ptr<ScopeViewer>& viewer) {
  std::lock_guard<std::mutex> guard(hub.lock);
  hub.viewers.erase(std::remove(hub.viewers.begin(), hub.viewers.end(), viewer),
                    hub.viewers.end());
}

void FeedViewers(ScopeHub& hub, const TraceValues& values, std::int32_t count,
                 const std::vector<BatchGap>& gaps) {
  std::lock_guard<std::mutex> guard(hub.lock);
  for (auto& viewer : hub.viewers) AddToEnvelope(viewer->envelope, values, count, gaps);
  hub.position += count;
  for (const BatchGap& gap : gaps) hub.position += gap.missing;
}

void PublishFrames(ScopeHub& hub, const std::string& status_json) {
  auto status = std::make_shared<const std::string>(status_json);
  std::lock_guard<std::mutex> guard(hub.lock);
  hub.status_json = status_json;
  for (auto& viewer : hub.viewers) {
    const double column_s =
        static_cast<double>(viewer->envelope.groups_per_column) / hub.output_rate;
    std::vector<ColumnRun> runs = TakeReady(viewer->envelope);
    // A run left empty after a gap's run has nothing to say.
    if (runs.size() > 1 && runs.back().columns.empty() && runs.back().gaps.empty()) runs.pop_back();
    for (ColumnRun& run : runs)
      Offer(*viewer,
            {viewer->seq++, run.first, column_s, hub.t0, hub.output_rate, std::move(run.columns),
             std::move(run.gaps), status},
            hub.frames_dropped);
  }
}

void StartEpoch(ScopeHub& hub, double output_rate, double t0, std::string config_json) {
  std::lock_guard<std::mutex> guard(hub.lock);
  hub.output_rate = output_rate;
  hub.t0 = t0;
  ++hub.epoch;
  hub.position = 0;
  hub.config_json = std::move(config_json);
  for (auto& viewer : hub.viewers)
    viewer->envelope = MakeEnvelope(hub.traces, GroupsPerViewerColumn(hub, *viewer), 0);
}

std::string ConfigJsonOf(ScopeHub& hub) {
  std::lock_guard<std::mutex> guard(hub.lock);
  return hub.config_json;
}

void RunPageJobs(ScopeHub& hub) {
  std::unique_lock<std::mutex> guard(hub.lock);
  while (!hub.jobs.empty()) {
    auto pending = hub.jobs.front();
    hub.jobs.pop_front();
    guard.unlock();
    PageReply reply = pending->job();
    guard.lock();
    pending->reply = std::move(reply);
    pending->done = true;
    hub.job_done.notify_all();
  }
}

PageReply RunOnAcquisition(ScopeHub& hub, PageJob job) {
  auto pending = std::make_shared<ScopeHub::Pending>();
  pending->job = std::move(job);
  std::unique_lock<std::mutex> guard(hub.lock);
  if (hub.closed) return {503, "{\"error\":\"the acquisition has ended\"}"};
  hub.jobs.push_back(pending);
  const bool done = hub.job_done.wait_for(guard, kJobTimeout,
                                          [&] { return pending->done || hub.closed; });
  if (!done || !pending->done) {
    // Not taken yet: withdraw it so that it never runs after the answer.
    hub.jobs.erase(std::remove(hub.jobs.begin(), hub.jobs.end(), pending), hub.jobs.end());
    return {503, "{\"error\":\"the acquisition did not answer\"}"};
  }
  return pending->reply;
}

void CloseHub(ScopeHub& hub) {
  std::vector<std::shared_ptr<ScopeViewer>> viewers;
  {
    std::lock_guard<std::mutex> guard(hub.lock);
    hub.closed = true;
    viewers = hub.viewers;
  }
  hub.job_done.notify_all();
  for (auto& viewer : viewers) CloseViewer(*viewer);
}

}  // namespace kr2270::tool
