#include "scope/scope_hub.h"

#include <algorithm>
#include <cmath>

#include "scope/scope_json.h"
#include "system/system.h"

namespace kr2270::tool {
namespace {

// Batches kept for the acquisition to fill again, so that it seldom allocates.
constexpr std::size_t kSpareBatches = 4;

const char* CauseName(std::int32_t cause) {
  return cause == kGapViewBehind ? "view behind" : GapCauseName(cause);
}

void AppendColumns(std::string& out, const std::vector<std::vector<Column>>& columns,
                   std::size_t from, std::size_t to, std::size_t trace) {
  out += '[';
  for (std::size_t i = from; i < to; ++i) {
    const Column& c = columns[i][trace];
    if (i > from) out += ',';
    AppendJsonNumber(out, c.min, 7);
    out += ',';
    AppendJsonNumber(out, c.max, 7);
    out += ',';
    AppendJsonNumber(out, c.last, 7);
  }
  out += ']';
}

// Where data stopped, on the frame's time axis; how long it stayed away.
void AppendGaps(std::string& out, const std::vector<GapMark>& gaps, double t0, double output_rate) {
  out += '[';
  for (const GapMark& gap : gaps) {
    if (out.back() != '[') out += ',';
    out += "{\"t\":" + JsonNumber(t0 + static_cast<double>(gap.position) / output_rate, 12) +
           ",\"len\":" + JsonNumber(static_cast<double>(gap.missing) / output_rate, 12) +
           ",\"missing\":" + std::to_string(gap.missing) + ",\"cause\":" +
           JsonString(CauseName(gap.cause)) + "}";
  }
  out += ']';
}

// Columns [from, to) of a run as a frame's body: every member but the
// viewer's own "seq" and "dropped", and the closing brace.
std::string FrameBody(const ColumnRun& run, std::size_t from, std::size_t to, double column_s,
                      const ViewState& view, const std::string& status) {
  const std::size_t traces = run.columns.empty() ? 0 : run.columns.front().size();
  std::string out;
  out.reserve((to - from) * traces * 3 * 10 + 512);  // about what the numbers take
  out += "\"col\":" + std::to_string(run.first + static_cast<std::int64_t>(from)) +
                    ",\"dt\":" + JsonNumber(column_s) + ",\"n\":" + std::to_string(to - from) +
                    ",\"v\":[";
  for (std::size_t t = 0; t < traces; ++t) {
    if (t > 0) out += ',';
    AppendColumns(out, run.columns, from, to, t);
  }
  out += "],\"t0\":" + JsonNumber(view.t0, 12) + ",\"gaps\":";
  AppendGaps(out, from == 0 ? run.gaps : std::vector<GapMark>{}, view.t0, view.output_rate);
  return out + ",\"status\":" + status + "}";
}

std::int64_t GroupsPerViewerColumn(double output_rate, const ScopeViewer& viewer) {
  const auto fewest = static_cast<std::int64_t>(std::ceil(output_rate / kMaxColumnsPerSecond));
  return std::max(fewest, GroupsPerColumn(output_rate, viewer.window_s, viewer.columns));
}

void Notify(ScopeViewer& viewer) {
  if (viewer.on_frame) viewer.on_frame();
}

void Offer(ScopeViewer& viewer, const std::shared_ptr<const std::string>& body,
           std::atomic<std::uint64_t>& dropped_total) {
  {
    std::lock_guard<std::mutex> guard(viewer.lock);
    if (viewer.closed) return;
    const std::int64_t seq = viewer.next_seq++;
    if (viewer.frames.size() >= kMaxQueuedFrames ||
        viewer.queued_bytes + body->size() > kMaxQueuedBytes) {
      ++viewer.dropped;
      dropped_total.fetch_add(1);
      return;
    }
    viewer.frames.push_back({seq, body});
    viewer.queued_bytes += body->size();
  }
  Notify(viewer);
}

void CloseViewer(ScopeViewer& viewer) {
  {
    std::lock_guard<std::mutex> guard(viewer.lock);
    viewer.closed = true;
    viewer.frames.clear();
    viewer.queued_bytes = 0;
  }
  Notify(viewer);
}

bool IsClosed(ScopeViewer& viewer) {
  std::lock_guard<std::mutex> guard(viewer.lock);
  return viewer.closed;
}

void Join(ScopeHub& hub, const std::shared_ptr<ScopeViewer>& viewer) {
  ViewState& view = hub.view;
  const std::int64_t width = GroupsPerViewerColumn(view.output_rate, *viewer);
  for (SharedEnvelope& shared : view.envelopes)
    if (shared.envelope.groups_per_column == width) {
      shared.viewers.push_back(viewer);
      return;
    }
  view.envelopes.push_back({MakeEnvelope(hub.traces, width, view.position), {viewer}});
}

void DropClosedViewers(ViewState& view) {
  for (SharedEnvelope& shared : view.envelopes)
    std::erase_if(shared.viewers, [](const auto& viewer) { return IsClosed(*viewer); });
  std::erase_if(view.envelopes, [](const SharedEnvelope& shared) { return shared.viewers.empty(); });
}

void Fold(ScopeHub& hub, const GroupBatch& batch, const std::vector<BatchGap>& gaps) {
  ViewState& view = hub.view;
  if (!view.envelopes.empty()) {
    if (batch.count > 0) FillTraceValues(hub.selection, batch, view.values);
    for (SharedEnvelope& shared : view.envelopes)
      AddToEnvelope(shared.envelope, view.values, batch.count, gaps);
  }
  view.position += batch.count;
  for (const BatchGap& gap : gaps) view.position += gap.missing;
}

void Skip(ScopeHub& hub, std::int64_t outputs) {
  GroupBatch none;
  Fold(hub, none, {{0, outputs, kGapViewBehind}});
}

void Publish(ScopeHub& hub, const std::string& status) {
  ViewState& view = hub.view;
  for (SharedEnvelope& shared : view.envelopes) {
    const double column_s =
        static_cast<double>(shared.envelope.groups_per_column) / view.output_rate;
    std::vector<ColumnRun> runs = TakeReady(shared.envelope);
    // A run left empty after a gap's run has nothing to say.
    if (runs.size() > 1 && runs.back().columns.empty() && runs.back().gaps.empty()) runs.pop_back();
    for (const ColumnRun& run : runs) {
      std::size_t from = 0;
      do {
        const std::size_t to = std::min(run.columns.size(), from + kMaxFrameColumns);
        const auto body = std::make_shared<const std::string>(
            FrameBody(run, from, to, column_s, view, status));
        for (const auto& viewer : shared.viewers) Offer(*viewer, body, hub.frames_dropped);
        from = to;
      } while (from < run.columns.size());
    }
  }
}

void NewEpoch(ScopeHub& hub, double output_rate, double t0) {
  ViewState& view = hub.view;
  view.output_rate = output_rate;
  view.t0 = t0;
  view.position = 0;
  std::vector<std::shared_ptr<ScopeViewer>> viewers;
  for (SharedEnvelope& shared : view.envelopes)
    viewers.insert(viewers.end(), shared.viewers.begin(), shared.viewers.end());
  view.envelopes.clear();
  for (const auto& viewer : viewers) Join(hub, viewer);
}

void Carry(ScopeHub& hub, ViewItem& item) {
  switch (item.kind) {
    case ViewItem::Kind::kBatch: Fold(hub, item.batch, item.gaps); break;
    case ViewItem::Kind::kSkipped: Skip(hub, item.skipped); break;
    case ViewItem::Kind::kPublish: Publish(hub, *item.status); break;
    case ViewItem::Kind::kEpoch: NewEpoch(hub, item.output_rate, item.t0); break;
  }
}

// A publish with a later one in the same epoch behind it: a view thread that
// fell behind sends what it folded meanwhile as one frame (or a few of
// bounded size), with the newest status, rather than a burst of frames that
// would overflow every viewer's queue at once.
bool Superseded(const std::deque<ViewItem>& items, std::size_t i) {
  if (items[i].kind != ViewItem::Kind::kPublish) return false;
  for (std::size_t j = i + 1; j < items.size(); ++j) {
    if (items[j].kind == ViewItem::Kind::kEpoch) return false;
    if (items[j].kind == ViewItem::Kind::kPublish) return true;
  }
  return false;
}

void ViewThread(ScopeHub& hub) {
  // Drawing may wait; the acquisition, on the same cores, may not.
  LowerThreadPriority();
  std::unique_lock<std::mutex> guard(hub.lock);
  while (!hub.closed) {
    hub.view_wake.wait(guard, [&] { return hub.closed || hub.view_due; });
    if (hub.closed) break;
    hub.view_due = false;
    guard.unlock();
    RunViewWork(hub);
    guard.lock();
  }
}

void Push(ScopeHub& hub, ViewItem item, bool due) {
  {
    std::lock_guard<std::mutex> guard(hub.lock);
    if (hub.closed) return;
    hub.items.push_back(std::move(item));
    hub.view_due = hub.view_due || due;
  }
  if (due) hub.view_wake.notify_one();
}

}  // namespace

void StartViewThread(ScopeHub& hub, double output_rate, std::string config_json) {
  hub.view.output_rate = output_rate;
  hub.config_json = std::move(config_json);
  hub.view_thread = std::thread([&hub] { ViewThread(hub); });
}

std::shared_ptr<ScopeViewer> AddViewer(ScopeHub& hub, double window_s, int columns,
                                       std::function<void()> on_frame) {
  auto viewer = std::make_shared<ScopeViewer>();
  viewer->window_s = window_s;
  viewer->columns = columns;
  viewer->on_frame = std::move(on_frame);
  std::lock_guard<std::mutex> guard(hub.lock);
  if (hub.closed || hub.viewer_count.load() >= kMaxViewers) return nullptr;
  ++hub.viewer_count;
  hub.joining.push_back(viewer);
  return viewer;
}

void RemoveViewer(ScopeHub& hub, const std::shared_ptr<ScopeViewer>& viewer) {
  {
    std::lock_guard<std::mutex> guard(viewer->lock);
    if (viewer->removed) return;
    viewer->removed = true;
    viewer->closed = true;
    viewer->frames.clear();
    viewer->queued_bytes = 0;
  }
  --hub.viewer_count;
}

void HandOff(ScopeHub& hub, GroupBatch& batch, std::vector<BatchGap> gaps) {
  std::int64_t outputs = batch.count;
  for (const BatchGap& gap : gaps) outputs += gap.missing;
  std::lock_guard<std::mutex> guard(hub.lock);
  if (hub.closed) return;
  if (hub.pending_outputs + batch.count > kMaxPendingOutputs) {
    // The view is behind: these outputs pass it by; the batch is kept to fill again.
    hub.outputs_skipped.fetch_add(static_cast<std::uint64_t>(outputs));
    if (!hub.items.empty() && hub.items.back().kind == ViewItem::Kind::kSkipped)
      hub.items.back().skipped += outputs;
    else
      hub.items.push_back({ViewItem::Kind::kSkipped, {}, {}, outputs, nullptr, 0.0, 0.0});
    return;
  }
  ViewItem item;
  std::swap(item.batch, batch);
  item.gaps = std::move(gaps);
  hub.pending_outputs += item.batch.count;
  hub.items.push_back(std::move(item));
  if (!hub.spare.empty()) {
    std::swap(batch, hub.spare.back());
    hub.spare.pop_back();
  }
  batch.count = 0;
}

void RequestPublish(ScopeHub& hub, std::string status_json) {
  auto status = std::make_shared<const std::string>(status_json);
  {
    std::lock_guard<std::mutex> guard(hub.lock);
    if (hub.closed) return;
    hub.status_json = std::move(status_json);
    if (!hub.items.empty() && hub.items.back().kind == ViewItem::Kind::kPublish) {
      hub.items.back().status = std::move(status);
    } else {
      ViewItem item;
      item.kind = ViewItem::Kind::kPublish;
      item.status = std::move(status);
      hub.items.push_back(std::move(item));
    }
    hub.view_due = true;
  }
  hub.view_wake.notify_one();
}

void StartEpoch(ScopeHub& hub, double output_rate, double t0, std::string config_json) {
  {
    std::lock_guard<std::mutex> guard(hub.lock);
    hub.config_json = std::move(config_json);
  }
  ViewItem item;
  item.kind = ViewItem::Kind::kEpoch;
  item.output_rate = output_rate;
  item.t0 = t0;
  Push(hub, std::move(item), true);
}

std::string ConfigJsonOf(ScopeHub& hub) {
  std::lock_guard<std::mutex> guard(hub.lock);
  return hub.config_json;
}

std::string StatusJsonOf(ScopeHub& hub) {
  std::lock_guard<std::mutex> guard(hub.lock);
  return hub.status_json;
}

void RunViewWork(ScopeHub& hub) {
  std::deque<ViewItem> items;
  std::vector<std::shared_ptr<ScopeViewer>> joining;
  {
    std::lock_guard<std::mutex> guard(hub.lock);
    items.swap(hub.items);
    joining.swap(hub.joining);
    hub.pending_outputs = 0;
  }
  DropClosedViewers(hub.view);
  for (const auto& viewer : joining) Join(hub, viewer);
  for (std::size_t i = 0; i < items.size(); ++i)
    if (!Superseded(items, i)) Carry(hub, items[i]);
  std::lock_guard<std::mutex> guard(hub.lock);
  for (ViewItem& item : items)
    if (item.kind == ViewItem::Kind::kBatch && hub.spare.size() < kSpareBatches)
      hub.spare.push_back(std::move(item.batch));
}

bool NextEvent(ScopeViewer& viewer, ViewerEvent& event, bool& closed) {
  std::lock_guard<std::mutex> guard(viewer.lock);
  closed = viewer.closed;
  if (closed || viewer.frames.empty()) return false;
  ViewerFrame frame = std::move(viewer.frames.front());
  viewer.frames.pop_front();
  viewer.queued_bytes -= frame.body->size();
  event.head = "data: {\"seq\":" + std::to_string(frame.seq) +
               ",\"dropped\":" + std::to_string(viewer.dropped) + ",";
  event.body = std::move(frame.body);
  return true;
}

std::shared_ptr<PendingJob> SubmitPageJob(ScopeHub& hub, PageJob job, PageReplyHandler on_reply) {
  auto pending = std::make_shared<PendingJob>();
  pending->job = std::move(job);
  pending->on_reply = std::move(on_reply);
  {
    std::lock_guard<std::mutex> guard(hub.lock);
    if (!hub.closed) {
      hub.jobs.push_back(pending);
      return pending;
    }
    pending->taken = true;
  }
  pending->on_reply({503, "{\"error\":\"the acquisition has ended\"}"});
  return pending;
}

bool WithdrawPageJob(ScopeHub& hub, const std::shared_ptr<PendingJob>& pending) {
  std::lock_guard<std::mutex> guard(hub.lock);
  if (pending->taken) return false;
  pending->taken = true;
  std::erase(hub.jobs, pending);
  return true;
}

void RunPageJobs(ScopeHub& hub) {
  std::unique_lock<std::mutex> guard(hub.lock);
  while (!hub.jobs.empty()) {
    auto pending = hub.jobs.front();
    hub.jobs.pop_front();
    pending->taken = true;
    guard.unlock();
    pending->on_reply(pending->job());
    guard.lock();
  }
}

void CloseHub(ScopeHub& hub) {
  std::deque<std::shared_ptr<PendingJob>> jobs;
  {
    std::lock_guard<std::mutex> guard(hub.lock);
    hub.closed = true;
    jobs.swap(hub.jobs);
    for (auto& pending : jobs) pending->taken = true;
  }
  hub.view_wake.notify_all();
  if (hub.view_thread.joinable()) hub.view_thread.join();
  // The view thread has ended: its state is this thread's now.
  for (SharedEnvelope& shared : hub.view.envelopes)
    for (auto& viewer : shared.viewers) CloseViewer(*viewer);
  std::vector<std::shared_ptr<ScopeViewer>> joining;
  {
    std::lock_guard<std::mutex> guard(hub.lock);
    joining.swap(hub.joining);
  }
  for (auto& viewer : joining) CloseViewer(*viewer);
  for (auto& pending : jobs) pending->on_reply({503, "{\"error\":\"the acquisition has ended\"}"});
}

}  // namespace kr2270::tool
