#include "scope_hub.h"

#include <algorithm>
#include <chrono>

#include "scope_json.h"

namespace kr2270::tool {
namespace {

// How long the page waits for a request to be carried out: covers a
// recording's open or close and a few command exchanges.
constexpr auto kJobTimeout = std::chrono::seconds(10);

void AppendColumns(std::string& out, const Envelope& envelope, std::size_t trace) {
  out += '[';
  bool first = true;
  for (const auto& column : envelope.ready) {
    const Column& c = column[trace];
    if (!first) out += ',';
    first = false;
    out += JsonNumber(c.min, 7) + ',' + JsonNumber(c.max, 7) + ',' + JsonNumber(c.last, 7);
  }
  out += ']';
}

void Offer(ScopeViewer& viewer, std::string frame, std::atomic<std::uint64_t>& dropped_total) {
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

std::string FrameJson(const ScopeViewer& viewer, double output_rate, std::uint64_t dropped,
                      const std::string& status_json) {
  const Envelope& e = viewer.envelope;
  std::string out = "{\"seq\":" + std::to_string(viewer.seq) +
                    ",\"dropped\":" + std::to_string(dropped) +
                    ",\"col\":" + std::to_string(e.first_ready) +
                    ",\"dt\":" + JsonNumber(static_cast<double>(e.groups_per_column) / output_rate) +
                    ",\"n\":" + std::to_string(e.ready.size()) + ",\"v\":[";
  for (std::size_t t = 0; t < e.open.size(); ++t) {
    if (t > 0) out += ',';
    AppendColumns(out, e, t);
  }
  return out + "],\"status\":" + status_json + "}";
}

std::shared_ptr<ScopeViewer> AddViewer(ScopeHub& hub, double window_s, int columns) {
  std::lock_guard<std::mutex> guard(hub.lock);
  if (hub.closed || hub.viewers.size() >= kMaxViewers) return nullptr;
  auto viewer = std::make_shared<ScopeViewer>();
  viewer->envelope = MakeEnvelope(hub.traces, GroupsPerColumn(hub.output_rate, window_s, columns),
                                  hub.outputs);
  hub.viewers.push_back(viewer);
  return viewer;
}

void RemoveViewer(ScopeHub& hub, const std::shared_ptr<ScopeViewer>& viewer) {
  std::lock_guard<std::mutex> guard(hub.lock);
  hub.viewers.erase(std::remove(hub.viewers.begin(), hub.viewers.end(), viewer),
                    hub.viewers.end());
}

void FeedViewers(ScopeHub& hub, const TraceValues& values, std::int32_t count) {
  std::lock_guard<std::mutex> guard(hub.lock);
  for (auto& viewer : hub.viewers) AddToEnvelope(viewer->envelope, values, count);
  hub.outputs += count;
}

void PublishFrames(ScopeHub& hub, const std::string& status_json) {
  std::lock_guard<std::mutex> guard(hub.lock);
  hub.status_json = status_json;
  for (auto& viewer : hub.viewers) {
    std::uint64_t dropped = 0;
    {
      std::lock_guard<std::mutex> viewer_guard(viewer->lock);
      dropped = viewer->dropped;
    }
    std::string frame = FrameJson(*viewer, hub.output_rate, dropped, status_json);
    ++viewer->seq;
    viewer->envelope.ready.clear();
    Offer(*viewer, std::move(frame), hub.frames_dropped);
  }
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
