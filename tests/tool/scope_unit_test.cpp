// The live view's reductions and hand-over, without a server: envelopes per
// column, viewers joining late, the frame queues that drop instead of
// waiting, and the requests the acquisition thread carries out.
#include <cmath>
#include <thread>

#include <gtest/gtest.h>

#include "scope/http_request.h"
#include "scope/scope_hub.h"
#include "scope/scope_json.h"
#include "scope/scope_traces.h"

namespace kr2270::tool {
namespace {

// Two traces over outputs first..first+count-1: a sawtooth and its negation.
TraceValues Signal(std::int64_t first, std::int32_t count) {
  TraceValues values(2);
  for (std::int32_t i = 0; i < count; ++i) {
    const double v = static_cast<double>((first + i) % 17) - 3.5 * std::sin(0.1 * static_cast<double>(first + i));
    values[0].push_back(v);
    values[1].push_back(-v);
  }
  return values;
}

Column Reference(std::int64_t from, std::int64_t to, std::size_t trace) {
  const TraceValues v = Signal(from, static_cast<std::int32_t>(to - from));
  Column c{v[trace][0], v[trace][0], v[trace].back()};
  for (double x : v[trace]) {
    c.min = std::min(c.min, x);
    c.max = std::max(c.max, x);
  }
  return c;
}

void Feed(Envelope& envelope, std::int64_t& next, std::int32_t count) {
  AddToEnvelope(envelope, Signal(next, count), count);
  next += count;
}

TEST(ScopeEnvelope, ColumnsHoldTheExtremesAndLastValueOfTheirOutputsHoweverTheBatchesFall) {
  for (const std::vector<std::int32_t>& batches :
       {std::vector<std::int32_t>{1000}, {7, 1, 1, 300, 13, 678}, {10, 10, 10, 970}}) {
    Envelope e = MakeEnvelope(2, 10, 0);
    std::int64_t next = 0;
    for (std::int32_t n : batches) Feed(e, next, n);
    ASSERT_EQ(e.ready.size(), 1u);
    ASSERT_EQ(e.ready[0].first, 0);
    ASSERT_EQ(e.ready[0].columns.size(), 100u);
    for (std::int64_t j = 0; j < 100; ++j)
      for (std::size_t t = 0; t < 2; ++t) {
        const Column want = Reference(j * 10, j * 10 + 10, t);
        const Column got = e.ready[0].columns[static_cast<std::size_t>(j)][t];
        EXPECT_EQ(got.min, want.min) << "column " << j << " trace " << t;
        EXPECT_EQ(got.max, want.max) << "column " << j << " trace " << t;
        EXPECT_EQ(got.last, want.last) << "column " << j << " trace " << t;
      }
  }
}

TEST(ScopeEnvelope, AnOpenColumnIsNotReadyAndOneJoiningLateClosesWhereTheOthersDo) {
  Envelope early = MakeEnvelope(2, 10, 0);
  std::int64_t next = 0;
  Feed(early, next, 25);
  EXPECT_EQ(early.ready[0].columns.size(), 2u);  // 20..24 still open

  Envelope late = MakeEnvelope(2, 10, next);
  EXPECT_EQ(late.ready[0].first, 2);
  Feed(early, next, 3);
  AddToEnvelope(late, Signal(25, 3), 3);
  AddToEnvelope(late, Signal(28, 12), 12);
  Feed(early, next, 12);
  ASSERT_EQ(late.ready.size(), 1u);
  const ColumnRun& got = late.ready[0];
  ASSERT_EQ(got.first, 2);
  ASSERT_EQ(got.columns.size(), 2u);
  // Column 2 of the late viewer covers only what it saw: outputs 25..29.
  EXPECT_EQ(got.columns[0][0].min, Reference(25, 30, 0).min);
  EXPECT_EQ(got.columns[0][0].max, Reference(25, 30, 0).max);
  // Column 3 is the same for both.
  EXPECT_EQ(got.columns[1][0].min, early.ready[0].columns[3][0].min);
  EXPECT_EQ(got.columns[1][1].max, early.ready[0].columns[3][1].max);
}

void ExpectColumn(const std::vector<Column>& got, std::int64_t from, std::int64_t to) {
  for (std::size_t t = 0; t < 2; ++t) {
    const Column want = Reference(from, to, t);
    EXPECT_EQ(got[t].min, want.min) << "outputs " << from << ".." << to << " trace " << t;
    EXPECT_EQ(got[t].max, want.max) << "outputs " << from << ".." << to << " trace " << t;
    EXPECT_EQ(got[t].last, want.last) << "outputs " << from << ".." << to << " trace " << t;
  }
}

TEST(ScopeEnvelope, GapsInOneBatchSkipTheirPositionsAndEachJumpEndsARun) {
  Envelope e = MakeEnvelope(2, 10, 0);
  // Before output 10: 3 missing, inside column 1. Before 30: 100 missing,
  // from column 3 to 13. Before 45: 20 missing, from column 14 to 16.
  AddToEnvelope(e, Signal(0, 60), 60,
                {{10, 3, KR2270_GAP_RING_FULL}, {30, 100, KR2270_GAP_MODULE_RESTART}, {45, 20, 9}});
  ASSERT_EQ(e.ready.size(), 3u);
  ASSERT_EQ(e.ready[0].first, 0);
  ASSERT_EQ(e.ready[0].columns.size(), 4u);
  ExpectColumn(e.ready[0].columns[0], 0, 10);
  ExpectColumn(e.ready[0].columns[1], 10, 17);  // positions 13..19
  ExpectColumn(e.ready[0].columns[2], 17, 27);
  ExpectColumn(e.ready[0].columns[3], 27, 30);  // completed with what it had
  ASSERT_EQ(e.ready[0].gaps.size(), 2u);
  EXPECT_EQ(e.ready[0].gaps[0].position, 10);
  EXPECT_EQ(e.ready[0].gaps[0].missing, 3);
  EXPECT_EQ(e.ready[0].gaps[1].position, 33);
  EXPECT_EQ(e.ready[0].gaps[1].cause, KR2270_GAP_MODULE_RESTART);

  ASSERT_EQ(e.ready[1].first, 13);
  ASSERT_EQ(e.ready[1].columns.size(), 2u);
  ExpectColumn(e.ready[1].columns[0], 30, 37);  // positions 133..139
  ExpectColumn(e.ready[1].columns[1], 37, 45);
  ASSERT_EQ(e.ready[1].gaps.size(), 1u);
  EXPECT_EQ(e.ready[1].gaps[0].position, 148);

  ASSERT_EQ(e.ready[2].first, 16);
  ASSERT_EQ(e.ready[2].columns.size(), 2u);
  ExpectColumn(e.ready[2].columns[0], 45, 47);  // positions 168, 169
  ExpectColumn(e.ready[2].columns[1], 47, 57);
  EXPECT_TRUE(e.ready[2].gaps.empty());
  EXPECT_EQ(e.column, 18);
  EXPECT_EQ(e.filled, 3);
}

TEST(ScopeEnvelope, ColumnWidthFollowsRateAndWindowAndNeverFallsBelowOneOutput) {
  EXPECT_EQ(GroupsPerColumn(256000.0, 2.0, 1000), 512);
  EXPECT_EQ(GroupsPerColumn(1000.0, 0.1, 1000), 1);
  EXPECT_EQ(GroupsPerColumn(8000.0, 60.0, 4000), 120);
  EXPECT_EQ(GroupsPerColumn(8000.0, 1.0, 0), 8000);
}

TEST(ScopeTraces, DigitalWordsSplitIntoInputsAndEncodersReadAsSignedCounts) {
  StreamSelection s;
  s.digital = true;
  s.encoders = {true, true};
  const auto traces = TracesOf(s);
  ASSERT_EQ(traces.size(), 18u);
  EXPECT_EQ(traces[0].name, "di1");
  EXPECT_EQ(traces[15].name, "di16");
  EXPECT_EQ(traces[17].name, "ec2");
  GroupBatch batch;
  batch.count = 2;
  batch.digital = {0x8001, 0x0002};
  batch.encoders[0] = {5, 0xFFFFFFFFu};
  batch.encoders[1] = {0x80000000u, 7};
  TraceValues values;
  FillTraceValues(s, batch, values);
  ASSERT_EQ(values.size(), 18u);
  EXPECT_EQ(values[0], (std::vector<double>{1, 0}));   // input 1
  EXPECT_EQ(values[1], (std::vector<double>{0, 1}));   // input 2
  EXPECT_EQ(values[15], (std::vector<double>{1, 0}));  // input 16
  EXPECT_EQ(values[16], (std::vector<double>{5, -1}));
  EXPECT_EQ(values[17], (std::vector<double>{-2147483648.0, 7}));
}

TEST(ScopeJson, TextIsEscapedAndNonFiniteNumbersBecomeNull) {
  EXPECT_EQ(JsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\u000a\\u0001\"");
  EXPECT_EQ(JsonNumber(std::nan("")), "null");
  EXPECT_EQ(JsonNumber(INFINITY), "null");
  EXPECT_EQ(JsonNumber(0.1), "0.1");
  EXPECT_EQ(JsonNumber(-4.0000012345, 7), "-4.000001");
}

void GiveTwoTracesAt1000PerSecond(ScopeHub& hub) {
  hub.selection.analog[0] = true;
  hub.selection.analog[1] = true;
  hub.traces = 2;
  hub.view.output_rate = 1000.0;
}

// The acquisition's side: a converted batch of the two traces, handed over.
void Feed(ScopeHub& hub, std::int64_t first, std::int32_t count, std::vector<BatchGap> gaps = {}) {
  const TraceValues values = Signal(first, count);
  GroupBatch batch;
  batch.count = count;
  batch.volts[0] = values[0];
  batch.volts[1] = values[1];
  HandOff(hub, batch, std::move(gaps));
}

// A publish, carried out at once in place of the view thread.
void Publish(ScopeHub& hub, const std::string& status) {
  RequestPublish(hub, status);
  RunViewWork(hub);
}

std::vector<std::string> TakeFrames(ScopeViewer& viewer) {
  std::vector<std::string> frames;
  ViewerEvent event;
  bool closed = false;
  while (NextEvent(viewer, event, closed)) {
    EXPECT_EQ(event.head.rfind("data: {", 0), 0u);
    frames.push_back(event.head.substr(6) + *event.body);
  }
  return frames;
}

TEST(ScopeHub, AViewerThatTakesNothingLosesFramesWhileAnotherGetsEveryOne) {
  ScopeHub hub;
  GiveTwoTracesAt1000PerSecond(hub);
  auto stalled = AddViewer(hub, 1.0, 100);  // 10 outputs a column
  auto reader = AddViewer(hub, 1.0, 100);
  ASSERT_TRUE(stalled && reader);
  std::int64_t next = 0;
  const int frames = static_cast<int>(kMaxQueuedFrames) + 5;
  std::vector<std::string> read;
  for (int f = 0; f < frames; ++f) {
    Feed(hub, next, 40);
    next += 40;
    Publish(hub, "{\"f\":" + std::to_string(f) + "}");
    for (const std::string& frame : TakeFrames(*reader)) read.push_back(frame);
  }
  {
    std::lock_guard<std::mutex> guard(stalled->lock);
    EXPECT_EQ(stalled->frames.size(), kMaxQueuedFrames);
    EXPECT_EQ(stalled->dropped, 5u);
  }
  EXPECT_EQ(hub.frames_dropped.load(), 5u);
  ASSERT_EQ(read.size(), static_cast<std::size_t>(frames));
  // Each frame carries the four columns completed since the one before.
  EXPECT_NE(read[0].find("{\"seq\":0,\"dropped\":0,\"col\":0,\"dt\":0.01,\"n\":4,"), std::string::npos)
      << read[0];
  EXPECT_NE(read[3].find("{\"seq\":3,\"dropped\":0,\"col\":12,\"dt\":0.01,\"n\":4,"), std::string::npos)
      << read[3];
  EXPECT_NE(read[3].find("\"status\":{\"f\":3}}"), std::string::npos) << read[3];
  // The stalled viewer still gets what it had queued: the oldest frames.
  const std::vector<std::string> oldest = TakeFrames(*stalled);
  ASSERT_FALSE(oldest.empty());
  EXPECT_NE(oldest.front().find("{\"seq\":0,\"dropped\":5,"), std::string::npos) << oldest.front();
  RemoveViewer(hub, stalled);
  RemoveViewer(hub, reader);
  EXPECT_EQ(hub.viewer_count.load(), 0u);
  RunViewWork(hub);
  EXPECT_TRUE(hub.view.envelopes.empty());
}

TEST(ScopeHub, AViewThreadThatFellBehindSendsWhatItFoldedAsOneFrameWithTheNewestStatus) {
  ScopeHub hub;
  GiveTwoTracesAt1000PerSecond(hub);
  auto viewer = AddViewer(hub, 1.0, 100);  // 10 outputs a column
  RunViewWork(hub);
  // Twenty publishes go by before the view thread gets a turn.
  for (int f = 0; f < 20; ++f) {
    Feed(hub, 40 * f, 40);
    RequestPublish(hub, "{\"f\":" + std::to_string(f) + "}");
  }
  RunViewWork(hub);
  const std::vector<std::string> frames = TakeFrames(*viewer);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_NE(frames[0].find("\"col\":0,\"dt\":0.01,\"n\":80,"), std::string::npos) << frames[0];
  EXPECT_NE(frames[0].find("\"status\":{\"f\":19}}"), std::string::npos);
  EXPECT_EQ(viewer->dropped, 0u);
}

TEST(ScopeHub, ViewersOfOneColumnWidthShareTheirEnvelopeAndEachFrame) {
  ScopeHub hub;
  GiveTwoTracesAt1000PerSecond(hub);
  std::vector<std::shared_ptr<ScopeViewer>> same;
  for (int i = 0; i < 5; ++i) same.push_back(AddViewer(hub, 1.0, 100));
  auto other = AddViewer(hub, 1.0, 50);  // 20 outputs a column
  Feed(hub, 0, 100);
  Publish(hub, "{}");
  ASSERT_EQ(hub.view.envelopes.size(), 2u);
  std::vector<const std::string*> bodies;
  for (auto& viewer : same) {
    std::lock_guard<std::mutex> guard(viewer->lock);
    ASSERT_EQ(viewer->frames.size(), 1u);
    bodies.push_back(viewer->frames.front().body.get());
  }
  for (const std::string* body : bodies) EXPECT_EQ(body, bodies.front()) << "encoded once, shared";
  const std::vector<std::string> wide = TakeFrames(*other);
  ASSERT_EQ(wide.size(), 1u);
  EXPECT_NE(wide[0].find("\"dt\":0.02,\"n\":5,"), std::string::npos) << wide[0];
}

std::string Framing(const std::string& frame) {
  const auto values = frame.find(",\"v\":");
  const auto t0 = frame.find(",\"t0\":");
  const auto status = frame.find(",\"status\":");
  return frame.substr(0, values) + frame.substr(t0, status - t0);
}

TEST(ScopeHub, AGapInABatchSkipsItsColumnsAndTheFrameUpToItCarriesIt) {
  ScopeHub hub;
  GiveTwoTracesAt1000PerSecond(hub);
  auto viewer = AddViewer(hub, 1.0, 100);  // 10 outputs a column
  ASSERT_TRUE(viewer);
  // 50 groups missing before output 35: positions 35..84 are gone.
  Feed(hub, 0, 100, {{35, 50, KR2270_GAP_LINK_LOST}});
  Publish(hub, "{}");
  const std::vector<std::string> frames = TakeFrames(*viewer);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(Framing(frames[0]),
            "{\"seq\":0,\"dropped\":0,\"col\":0,\"dt\":0.01,\"n\":4,\"t0\":0,\"gaps\":"
            "[{\"t\":0.035,\"len\":0.05,\"missing\":50,\"cause\":\"link lost\"}]");
  EXPECT_EQ(Framing(frames[1]),
            "{\"seq\":1,\"dropped\":0,\"col\":8,\"dt\":0.01,\"n\":7,\"t0\":0,\"gaps\":[]");
  // Column 3 stops where the data did; column 8 starts with output 35.
  const std::string v3 = JsonNumber(Reference(30, 35, 0).min, 7) + ',' +
                         JsonNumber(Reference(30, 35, 0).max, 7) + ',' +
                         JsonNumber(Reference(30, 35, 0).last, 7) + "]";
  EXPECT_NE(frames[0].find(v3), std::string::npos) << frames[0];
  const std::string v8 = "[[" + JsonNumber(Reference(35, 40, 0).min, 7) + ',' +
                         JsonNumber(Reference(35, 40, 0).max, 7) + ',';
  EXPECT_NE(frames[1].find(v8), std::string::npos) << frames[1];
  // A viewer of another width joining now lines up with the positions, gap
  // included: 150 outputs passed, 20 a column.
  auto late = AddViewer(hub, 1.0, 50);
  ASSERT_TRUE(late);
  RunViewWork(hub);
  ASSERT_EQ(hub.view.envelopes.size(), 2u);
  EXPECT_EQ(hub.view.envelopes[1].envelope.column, 7);
  EXPECT_EQ(hub.view.envelopes[1].envelope.filled, 10);
}

TEST(ScopeHub, AGapAtABatchBoundaryGoesWithTheFirstColumnsAfterIt) {
  ScopeHub hub;
  GiveTwoTracesAt1000PerSecond(hub);
  auto viewer = AddViewer(hub, 1.0, 100);
  ASSERT_TRUE(viewer);
  Feed(hub, 0, 40);
  Publish(hub, "{}");
  Feed(hub, 40, 20, {{0, 25, KR2270_GAP_RING_FULL}});
  Publish(hub, "{}");
  const std::vector<std::string> frames = TakeFrames(*viewer);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(Framing(frames[0]),
            "{\"seq\":0,\"dropped\":0,\"col\":0,\"dt\":0.01,\"n\":4,\"t0\":0,\"gaps\":[]");
  // Positions 40..64 are missing: columns 4 and 5 never come.
  EXPECT_EQ(Framing(frames[1]),
            "{\"seq\":1,\"dropped\":0,\"col\":6,\"dt\":0.01,\"n\":2,\"t0\":0,\"gaps\":"
            "[{\"t\":0.04,\"len\":0.025,\"missing\":25,\"cause\":\"ring full\"}]");
}

TEST(ScopeHub, ANewEpochNumbersColumnsFromZeroAtItsRateAndStartTime) {
  ScopeHub hub;
  GiveTwoTracesAt1000PerSecond(hub);
  auto viewer = AddViewer(hub, 1.0, 300);  // 3 outputs a column at 1000/s
  ASSERT_TRUE(viewer);
  Feed(hub, 0, 100);
  RequestPublish(hub, "{}");
  StartEpoch(hub, 500.0, 2.5, "{\"epoch\":1}");
  EXPECT_EQ(ConfigJsonOf(hub), "{\"epoch\":1}");
  Feed(hub, 0, 9);
  // The old epoch's outputs, handed over before it, go to the old columns.
  Publish(hub, "{}");
  const std::vector<std::string> frames = TakeFrames(*viewer);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(Framing(frames[0]),
            "{\"seq\":0,\"dropped\":0,\"col\":0,\"dt\":0.003,\"n\":33,\"t0\":0,\"gaps\":[]");
  // 2 outputs a column at 500/s, for the same window and columns.
  EXPECT_EQ(Framing(frames[1]),
            "{\"seq\":1,\"dropped\":0,\"col\":0,\"dt\":0.004,\"n\":4,\"t0\":2.5,\"gaps\":[]");
  EXPECT_EQ(hub.view.position, 9);
}

TEST(ScopeHub, ColumnsPerSecondAreBoundedWhateverTheWindow) {
  ScopeHub hub;
  hub.view.output_rate = 256000.0;
  hub.traces = 1;
  auto viewer = AddViewer(hub, 0.05, 4000);  // would be 3 outputs a column
  ASSERT_TRUE(viewer);
  RunViewWork(hub);
  ASSERT_EQ(hub.view.envelopes.size(), 1u);
  const std::int64_t width = hub.view.envelopes[0].envelope.groups_per_column;
  EXPECT_EQ(width, 11);
  EXPECT_LE(256000.0 / static_cast<double>(width), kMaxColumnsPerSecond);
}

// Every channel kind: 30 traces of long numbers, the largest frames.
GroupBatch EveryChannel(std::int32_t count) {
  GroupBatch batch;
  batch.count = count;
  const auto n = static_cast<std::size_t>(count);
  for (auto& volts : batch.volts)
    for (std::size_t i = 0; i < n; ++i) volts.push_back(-1.2345678 * std::sin(0.37 * static_cast<double>(i)));
  batch.digital.assign(n, 0xA5A5);
  for (auto& counter : batch.counters) counter.assign(n, 123456789u);
  for (auto& encoder : batch.encoders) encoder.assign(n, 4000000000u);
  return batch;
}

void SelectEveryChannel(ScopeHub& hub) {
  hub.selection.analog.fill(true);
  hub.selection.digital = true;
  hub.selection.counters.fill(true);
  hub.selection.counter_modes.fill(2);  // raw counts: no converted values needed
  hub.selection.encoders.fill(true);
  hub.traces = 30;
  hub.view.output_rate = 256000.0;
}

TEST(ScopeHub, ABacklogGoesOutInFramesOfBoundedColumnsAndAQueueHoldsBoundedBytes) {
  ScopeHub hub;
  SelectEveryChannel(hub);
  auto viewer = AddViewer(hub, 0.05, 4000);  // 11 outputs a column
  ASSERT_TRUE(viewer);
  // A backlog of 2.5 s of columns held up, then published at once.
  for (int i = 0; i < 20; ++i) {
    GroupBatch batch = EveryChannel(32000);
    HandOff(hub, batch, {});
  }
  Publish(hub, "{}");
  std::lock_guard<std::mutex> guard(viewer->lock);
  EXPECT_LE(viewer->queued_bytes, kMaxQueuedBytes);
  EXPECT_GT(viewer->dropped, 0u);
  std::size_t bytes = 0;
  for (const ViewerFrame& frame : viewer->frames) {
    bytes += frame.body->size();
    const auto n = frame.body->find("\"n\":");
    ASSERT_NE(n, std::string::npos);
    EXPECT_LE(std::stoul(frame.body->substr(n + 4)), kMaxFrameColumns);
  }
  EXPECT_EQ(bytes, viewer->queued_bytes);
  EXPECT_GT(viewer->frames.size(), 0u);
}

TEST(ScopeHub, AHandOffIsASwapAndAViewBehindSkipsBatchesAsAGapOfItsOwn) {
  ScopeHub hub;
  GiveTwoTracesAt1000PerSecond(hub);
  auto viewer = AddViewer(hub, 1.0, 100);
  Feed(hub, 0, 10);
  RunViewWork(hub);  // the batch comes back as a spare
  GroupBatch batch;
  batch.count = 10;
  batch.volts[0].assign(10, 1.0);
  batch.volts[1].assign(10, 2.0);
  HandOff(hub, batch, {});
  EXPECT_EQ(batch.count, 0) << "the caller fills a spare next";
  EXPECT_EQ(batch.volts[0].size(), 10u) << "the spare is the batch handed over before";
  // Nobody folds: past the bound, batches pass the view by.
  std::int64_t handed = 20;
  while (handed <= kMaxPendingOutputs + 5000) {
    Feed(hub, handed, 1000);
    handed += 1000;
  }
  EXPECT_GT(hub.outputs_skipped.load(), 0u);
  Publish(hub, "{}");
  bool skipped_gap = false;
  for (const std::string& frame : TakeFrames(*viewer))
    skipped_gap = skipped_gap || frame.find("\"cause\":\"view behind\"") != std::string::npos;
  EXPECT_TRUE(skipped_gap);
  // Positions still count every output, folded or skipped.
  EXPECT_EQ(hub.view.position, handed);
}

TEST(ScopeHub, TheViewThreadPublishesWhileTheAcquisitionOnlyHandsOver) {
  ScopeHub hub;
  GiveTwoTracesAt1000PerSecond(hub);
  std::mutex lock;
  std::condition_variable arrived;
  int notes = 0;
  auto viewer = AddViewer(hub, 1.0, 100, [&] {
    std::lock_guard<std::mutex> guard(lock);
    ++notes;
    arrived.notify_all();
  });
  StartViewThread(hub, 1000.0, "{}");
  Feed(hub, 0, 100);
  RequestPublish(hub, "{\"n\":1}");
  {
    std::unique_lock<std::mutex> guard(lock);
    ASSERT_TRUE(arrived.wait_for(guard, std::chrono::seconds(30), [&] { return notes > 0; }));
  }
  const std::vector<std::string> frames = TakeFrames(*viewer);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_NE(frames[0].find("\"n\":10,"), std::string::npos) << frames[0];
  CloseHub(hub);
  ViewerEvent event;
  bool closed = false;
  EXPECT_FALSE(NextEvent(*viewer, event, closed));
  EXPECT_TRUE(closed);
}

TEST(ScopeHub, ViewersAreBoundedAndNoneJoinsAClosedHub) {
  ScopeHub hub;
  GiveTwoTracesAt1000PerSecond(hub);
  std::vector<std::shared_ptr<ScopeViewer>> viewers;
  for (std::size_t i = 0; i < kMaxViewers; ++i) viewers.push_back(AddViewer(hub, 1.0, 100));
  for (const auto& v : viewers) EXPECT_TRUE(v);
  EXPECT_FALSE(AddViewer(hub, 1.0, 100));
  RemoveViewer(hub, viewers.back());
  RemoveViewer(hub, viewers.back());  // once is what counts
  EXPECT_TRUE(AddViewer(hub, 1.0, 100));
  EXPECT_FALSE(AddViewer(hub, 1.0, 100));
  CloseHub(hub);
  ViewerEvent event;
  bool closed = false;
  EXPECT_FALSE(NextEvent(*viewers.front(), event, closed));
  EXPECT_TRUE(closed);
  RemoveViewer(hub, viewers.front());
  EXPECT_FALSE(AddViewer(hub, 1.0, 100));
}

TEST(ScopeHub, PageRequestsRunOnTheAcquisitionThreadOrAreWithdrawnOrRefused) {
  ScopeHub hub;
  std::thread::id ran_on;
  PageReply got;
  auto pending = SubmitPageJob(
      hub, [&] { ran_on = std::this_thread::get_id(); return PageReply{201, "{\"ok\":true}"}; },
      [&](const PageReply& reply) { got = reply; });
  std::thread::id acquisition_id;
  std::thread acquisition([&] {
    acquisition_id = std::this_thread::get_id();
    RunPageJobs(hub);
  });
  acquisition.join();
  EXPECT_EQ(got.http_status, 201);
  EXPECT_EQ(got.json, "{\"ok\":true}");
  EXPECT_EQ(ran_on, acquisition_id);
  EXPECT_FALSE(WithdrawPageJob(hub, pending)) << "taken already";

  bool ran = false;
  int replies = 0;
  auto withdrawn = SubmitPageJob(hub, [&] { ran = true; return PageReply{}; },
                                 [&](const PageReply&) { ++replies; });
  EXPECT_TRUE(WithdrawPageJob(hub, withdrawn));
  RunPageJobs(hub);
  EXPECT_FALSE(ran);
  EXPECT_EQ(replies, 0);

  // Waiting when the hub closes, or asking after: 503, and never run.
  SubmitPageJob(hub, [&] { ran = true; return PageReply{}; },
                [&](const PageReply& reply) { got = reply; });
  CloseHub(hub);
  EXPECT_EQ(got.http_status, 503);
  got = {};
  SubmitPageJob(hub, [&] { ran = true; return PageReply{}; },
                [&](const PageReply& reply) { got = reply; });
  EXPECT_EQ(got.http_status, 503);
  RunPageJobs(hub);
  EXPECT_FALSE(ran);
}

// ---- requests --------------------------------------------------------------

TEST(HttpRequest, LimitsHoldWhileAHeadIsStillArriving) {
  const RequestLimits limits;
  EXPECT_EQ(CheckHead("GET / HTTP/1.1\r\nHost: a\r\n", limits).head_bytes, 0u);
  EXPECT_EQ(CheckHead("GET / HTTP/1.1\r\nHost: a\r\n", limits).refuse, 0);
  const HeadCheck whole = CheckHead("\r\nGET / HTTP/1.1\r\nHost: a\r\n\r\nbody", limits);
  EXPECT_EQ(whole.head_bytes, 29u) << "a blank line before the request is skipped";
  // No blank line yet, and already too much: refused without the rest.
  EXPECT_EQ(CheckHead("GET / HTTP/1.1\r\nX: " + std::string(17000, 'a'), limits).refuse, 431);
  std::string lines = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 65; ++i) lines += "X: 1\r\n";
  EXPECT_EQ(CheckHead(lines, limits).refuse, 431);
  EXPECT_EQ(CheckHead(lines + "\r\n", limits).refuse, 431);
}

TEST(HttpRequest, APathItsQueryAndItsHeadersAreDecodedAndAnythingOddIsRefused) {
  const RequestLimits limits;
  HttpRequest r;
  std::string why;
  ASSERT_EQ(ParseHead("POST /api/a%20b?window=0.5&x=a+b%2B&flag HTTP/1.1\r\nHOST: h:1\r\n"
                      "Content-Length: 12\r\nConnection: close\r\n\r\n",
                      limits, r, why), 0) << why;
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.path, "/api/a b");
  ASSERT_NE(FindParam(r, "x"), nullptr);
  EXPECT_EQ(*FindParam(r, "x"), "a b+");
  ASSERT_NE(FindParam(r, "flag"), nullptr);
  EXPECT_EQ(HeaderValue(r, "host"), "h:1");
  EXPECT_EQ(r.content_length, 12u);
  EXPECT_FALSE(r.keep_alive);
  ASSERT_EQ(ParseHead("GET / HTTP/1.0\r\n\r\n", limits, r, why), 0);
  EXPECT_FALSE(r.keep_alive) << "HTTP/1.0 closes unless it asks otherwise";
  const std::vector<std::pair<std::string, int>> refused = {
      {"GET / HTTP/2\r\n\r\n", 505},
      {"GET /%4 HTTP/1.1\r\n\r\n", 400},
      {"GET /?a=%zz HTTP/1.1\r\n\r\n", 400},
      {"GET http://elsewhere/ HTTP/1.1\r\n\r\n", 400},
      {"G(T / HTTP/1.1\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nBad Name: 1\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nNo colon\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nContent-Length: 65537\r\n\r\n", 413},
      {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n", 413},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 501},
  };
  for (const auto& [head, status] : refused) EXPECT_EQ(ParseHead(head, limits, r, why), status) << head;
}

}  // namespace
}  // namespace kr2270::tool
