// kr2270 scope over HTTP, as a browser sees it: the page and its files, the
// data stream, the token and origin checks, recording from the page, and a
// stalled viewer that must not cost the acquisition any group.
#include <signal.h>

#include <filesystem>
#include <regex>

#include <gtest/gtest.h>

#include "run_process.h"
#include "scope_client.h"
#include "sim/simulator.h"

namespace kr2270::testing {
namespace {

std::int64_t Field(const std::string& json, const std::string& name) {
  std::smatch m;
  if (!std::regex_search(json, m, std::regex("\"" + name + "\":(-?\\d+)"))) return -1;
  return std::stoll(m[1]);
}

double Number(const std::string& json, const std::string& name) {
  std::smatch m;
  if (!std::regex_search(json, m, std::regex("\"" + name + "\":(-?[0-9.e+-]+)"))) return -1.0;
  return std::stod(m[1]);
}

std::vector<std::string> Joined(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

int ReadEvents(const Scope& scope, const std::string& path,
               const std::function<bool(const std::string&)>& on_event,
               const HttpHeaders& headers = {}) {
  return ReadEvents(scope.Client(), path, on_event, headers);
}

// ---- endpoints ---------------------------------------------------------------------

TEST(ScopeHttp, ServesThePageItsFilesTheConfigurationAndLiveFrames) {
  Scope scope({"--rate", "56", "--counters", "1", "--encoders", "none", "--no-di"});
  ASSERT_GT(scope.port, 0) << "no URL printed";
  EXPECT_EQ(scope.host, "127.0.0.1");
  EXPECT_TRUE(scope.token.empty());
  const HttpClient client = scope.Client();

  auto page = client.Get("/");
  ASSERT_NE(page.status, 0);
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.Header("content-type").find("text/html"), std::string::npos);
  EXPECT_NE(page.body.find("uPlot.iife.min.js"), std::string::npos);
  for (const std::string file : {"/scope.js", "/uPlot.iife.min.js", "/scope.css", "/uPlot.min.css"}) {
    auto r = client.Get(file);
    ASSERT_NE(r.status, 0) << file;
    EXPECT_EQ(r.status, 200) << file;
    EXPECT_GT(r.body.size(), 100u) << file;
  }
  EXPECT_EQ(client.Get("/nothing-here").status, 404);

  auto config = client.Get("/api/config");
  ASSERT_NE(config.status, 0);
  EXPECT_NE(config.body.find("\"group_rate\":8000"), std::string::npos) << config.body;
  EXPECT_NE(config.body.find("{\"name\":\"ai8\",\"kind\":\"analog\"},{\"name\":\"ct1\",\"kind\":\"counter\"}]"),
            std::string::npos)
      << config.body;

  // 8000 outputs/s in a 1 s window of 100 columns: 80 outputs a column.
  std::vector<std::string> frames;
  ReadEvents(scope, "/api/stream?window=1&columns=100", [&](const std::string& frame) {
    frames.push_back(frame);
    return frames.size() < 10;
  });
  ASSERT_EQ(frames.size(), 10u);
  std::int64_t columns = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(Field(frames[i], "seq"), static_cast<std::int64_t>(i));
    EXPECT_EQ(Field(frames[i], "dropped"), 0);
    EXPECT_NE(frames[i].find("\"dt\":0.01,"), std::string::npos) << frames[i];
    columns += Field(frames[i], "n");
  }
  EXPECT_GT(columns, 0);
  EXPECT_EQ(Field(frames.back(), "lost"), 0);
  EXPECT_EQ(Field(frames.back(), "gaps"), 0);
  EXPECT_NE(frames.back().find("\"link\":\"up\""), std::string::npos);

  auto bad = client.Get("/api/stream?window=0.001");
  ASSERT_NE(bad.status, 0);
  EXPECT_EQ(bad.status, 400);
  EXPECT_EQ(client.Get("/api/stream?columns=many").status, 400);
}

TEST(ScopeHttp, WithoutATokenOnlyItsLoopbackNameAndItsOwnPageAreServed) {
  Scope scope({"--rate", "56"});
  ASSERT_GT(scope.port, 0);
  const HttpClient client = scope.Client();
  // A page elsewhere reaching 127.0.0.1 through a name of its own.
  auto rebound = client.Get("/", {{"Host", "attacker.example:" + std::to_string(scope.port)}});
  ASSERT_NE(rebound.status, 0);
  EXPECT_EQ(rebound.status, 403);
  EXPECT_EQ(client.Get("/", {{"Host", "localhost:" + std::to_string(scope.port)}}).status, 200);
  // A form on another site posting to the view.
  for (const std::string path : {"/api/record/start", "/api/rate"}) {
    auto foreign = client.Post(path.c_str(), "8", {{"Origin", "http://attacker.example"}});
    ASSERT_NE(foreign.status, 0) << path;
    EXPECT_EQ(foreign.status, 403) << path;
  }
  auto status = client.Get("/api/status");
  ASSERT_NE(status.status, 0);
  EXPECT_NE(status.body.find("\"on\":false"), std::string::npos) << status.body;
}

TEST(ScopeHttp, AnotherAddressAsksForThePrintedTokenOnEveryRequestOfItsInterface) {
  // 127.0.0.2 stands for "not 127.0.0.1" while the test stays on loopback.
  Scope scope({"--rate", "56", "--listen", "127.0.0.2:0"});
  ASSERT_GT(scope.port, 0);
  EXPECT_EQ(scope.host, "127.0.0.2");
  ASSERT_EQ(scope.token.size(), 32u);
  const HttpClient client = scope.Client();
  for (const std::string path : {"/api/config", "/api/status", "/api/stream"}) {
    auto r = client.Get(path);
    ASSERT_NE(r.status, 0) << path;
    EXPECT_EQ(r.status, 401) << path;
    auto wrong = client.Get((path + "?token=" + std::string(32, '0')));
    ASSERT_NE(wrong.status, 0) << path;
    EXPECT_EQ(wrong.status, 401) << path;
    auto shorter = client.Get(path, {{"Authorization", "Bearer " + scope.token.substr(1)}});
    EXPECT_EQ(shorter.status, 401) << path;
  }
  EXPECT_EQ(client.Post("/api/record/start", "").status, 401);
  EXPECT_EQ(client.Post("/api/rate", "8").status, 401);
  auto foreign = client.Post("/api/rate", "8", {{"Authorization", "Bearer " + scope.token},
                                           {"Origin", "http://attacker.example"}});
  ASSERT_NE(foreign.status, 0);
  EXPECT_EQ(foreign.status, 403);

  // The page's files are the same for every scope: they need no token. The
  // token is never set as a cookie, which every port of the host would get.
  auto page = client.Get("/?token=" + scope.token);
  ASSERT_NE(page.status, 0);
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.Header("set-cookie"), "");
  EXPECT_EQ(client.Get("/uPlot.iife.min.js").status, 200);
  EXPECT_EQ(client.Get("/api/config", {{"Authorization", "Bearer " + scope.token}}).status, 200);
  int events = ReadEvents(scope, "/api/stream?token=" + scope.token,
                          [](const std::string&) { return false; });
  EXPECT_EQ(events, 1);
}

TEST(ScopeHttp, BadListenAddressesAreUsageErrors) {
  for (const std::string listen : {"127.0.0.1", "127.0.0.1:70000", "somewhere:80", ":80"}) {
    const ProcessResult r = RunProcess(Joined(ToolCommand(), {"scope", "--listen", listen}));
    EXPECT_EQ(r.exit_code, 2) << listen << ": " << r.err;
    EXPECT_NE(r.err.find("--listen"), std::string::npos) << r.err;
  }
}

TEST(ScopeHttp, ALostDataConnectionIsShownAndThePageKeepsItsStatus) {
  sim::Simulator module;
  ASSERT_EQ(module.Start(), 0);
  Scope scope({"--rate", "56", "--host", "127.0.0.1", "--port", std::to_string(module.command_port()),
               "--data-port", std::to_string(module.data_port())});
  ASSERT_GT(scope.port, 0);
  bool dropped = false;
  int after = 0;
  std::string last;
  ReadEvents(scope, "/api/stream", [&](const std::string& frame) {
    last = frame;
    if (!dropped && Field(frame, "outputs") > 0) {
      module.DropDataConnection(true);
      dropped = true;
    }
    if (frame.find("\"link\":\"lost\"") != std::string::npos) ++after;
    // Frames go on after the loss: the view says what happened.
    return after < 5 && Field(frame, "seq") < 2000;
  });
  EXPECT_EQ(after, 5) << last;
  module.Stop();
  EXPECT_EQ(scope.Stop(), 3);
  EXPECT_NE(scope.process.buffered.find("data connection: lost"), std::string::npos)
      << scope.process.buffered;
}

TEST(ScopeHttp, AReconnectedStreamShowsItsGapOnTheTimeAxis) {
  sim::Simulator module;
  ASSERT_EQ(module.Start(), 0);
  // 16000 groups of channel 1 (4 bytes each), then the module drops the stream once.
  module.InjectDataFault(sim::DataFault::CloseAfter(16000 * 4));
  Scope scope(Joined({"--rate", "56", "--channels", "1", "--no-di", "--counters", "none",
                      "--encoders", "none", "--reconnect", "10"},
                     HostArgs(module)));
  ASSERT_GT(scope.port, 0);
  // 8000 outputs/s, one a column: the gap starts at column 16000, 2 s in.
  std::string with_gap;
  std::string after_gap;
  std::string last;
  std::vector<std::pair<std::int64_t, std::int64_t>> spans;  // first column, count
  ReadEvents(scope, "/api/stream?window=0.05&columns=4000", [&](const std::string& frame) {
    last = frame;
    spans.emplace_back(Field(frame, "col"), Field(frame, "n"));
    if (with_gap.empty() && frame.find("\"gaps\":[]") == std::string::npos) {
      with_gap = frame;
      return true;
    }
    if (!with_gap.empty() && after_gap.empty() && Field(frame, "n") > 0) after_gap = frame;
    // About 12 s of frames at most.
    return after_gap.empty() && Field(frame, "seq") < 300;
  });
  ASSERT_FALSE(with_gap.empty()) << last;
  ASSERT_FALSE(after_gap.empty()) << last;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      with_gap, m,
      std::regex(R"("gaps":\[\{"t":([0-9.e-]+),"len":([0-9.e-]+),"missing":(\d+),"cause":"link lost"\}\])")))
      << with_gap;
  EXPECT_DOUBLE_EQ(std::stod(m[1]), 2.0);
  const std::int64_t missing = std::stoll(m[3]);
  ASSERT_GT(missing, 0);
  EXPECT_NEAR(std::stod(m[2]), static_cast<double>(missing) / 8000.0, 1e-9);
  // Columns go on where the missing groups end, none drawn over them.
  const auto has = [&](std::int64_t column) {
    for (const auto& [first, n] : spans)
      if (column >= first && column < first + n) return true;
    return false;
  };
  EXPECT_TRUE(has(15999));
  EXPECT_TRUE(has(16000 + missing));
  for (std::int64_t c = 16000; c < 16000 + missing; ++c) EXPECT_FALSE(has(c)) << "column " << c;
  EXPECT_EQ(Field(after_gap, "reconnects"), 1) << after_gap;
  EXPECT_EQ(Field(after_gap, "epoch"), 0) << after_gap;
  // Groups of the run are missing: the end says so, as acquire does.
  EXPECT_EQ(scope.Stop(), 3);
  EXPECT_NE(scope.process.buffered.find("missing in gaps: " + std::to_string(missing) + "\n"),
            std::string::npos)
      << scope.process.buffered;
  EXPECT_NE(scope.process.buffered.find("data connection: kept"), std::string::npos);
  module.Stop();
}

TEST(ScopeHttp, ReconnectIsAnOptionWithAnOptionalValue) {
  const ProcessResult help = RunProcess(Joined(ToolCommand(), {"scope", "--help"}));
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("--reconnect [SECONDS]"), std::string::npos) << help.out;
  const ProcessResult bad = RunProcess(Joined(ToolCommand(), {"scope", "--reconnect", "soon"}));
  EXPECT_EQ(bad.exit_code, 2) << bad.err;
  EXPECT_NE(bad.err.find("--reconnect"), std::string::npos) << bad.err;
}

// ---- the rate from the page ----------------------------------------------------

TEST(ScopeHttp, TheRateFromThePageIsCheckedAsTheCommandLinesAndStartsANewEpoch) {
  TempDir dir;
  Scope scope({"--rate", "56", "--record", dir.path});
  ASSERT_GT(scope.port, 0);
  const HttpClient client = scope.Client();
  for (const std::string bad : {"fast", "0", "", "57"}) {
    auto r = client.Post("/api/rate", bad);
    ASSERT_NE(r.status, 0) << bad;
    EXPECT_EQ(r.status, 400) << bad;
    EXPECT_NE(r.body.find("{\"ok\":false,\"error\":\"--rate " + bad), std::string::npos) << r.body;
  }
  ASSERT_EQ(client.Post("/api/record/start", "").status, 200);
  auto busy = client.Post("/api/rate", "1000");
  ASSERT_NE(busy.status, 0);
  EXPECT_EQ(busy.status, 409);
  EXPECT_NE(busy.body.find("stop the recording before changing the rate"), std::string::npos)
      << busy.body;
  ASSERT_EQ(client.Post("/api/record/stop", "").status, 200);
  EXPECT_NE(client.Get("/api/config").body.find("\"rate_code\":56,"), std::string::npos);
  EXPECT_NE(client.Get("/api/config").body.find("\"epoch\":0,"), std::string::npos);

  // A 1 s window of 3000 columns: 3 outputs a column at 8000/s (0.375 ms),
  // 1 at 1000/s (1 ms).
  std::vector<std::string> before;
  std::vector<std::string> after;
  int changed = 0;
  std::string reply;
  ReadEvents(scope, "/api/stream?window=1&columns=3000", [&](const std::string& frame) {
    (Field(frame, "epoch") == 0 ? before : after).push_back(frame);
    if (before.size() == 3 && changed == 0) {
      const HttpClient other = scope.Client();
      auto r = other.Post("/api/rate", "1000");
      changed = r.status != 0 ? r.status : -1;
      reply = r.body;
    }
    return after.size() < 10 && Field(frame, "seq") < 2000;
  });
  ASSERT_EQ(changed, 200) << reply;
  EXPECT_EQ(reply, "{\"ok\":true}");
  ASSERT_EQ(after.size(), 10u);
  for (const std::string& frame : before) {
    EXPECT_NE(frame.find("\"dt\":0.000375,"), std::string::npos) << frame;
    EXPECT_NE(frame.find("\"t0\":0,"), std::string::npos) << frame;
  }
  const double t0 = Number(after.front(), "t0");
  EXPECT_GT(t0, 0.0) << after.front();
  if (Field(after.front(), "dropped") == Field(before.back(), "dropped")) {
    EXPECT_EQ(Field(after.front(), "col"), 0) << "columns count from 0 again: " << after.front();
  }
  for (const std::string& frame : after) {
    EXPECT_NE(frame.find("\"dt\":0.001,"), std::string::npos) << frame;
    EXPECT_EQ(Number(frame, "t0"), t0) << frame;
    EXPECT_EQ(Field(frame, "lost"), 0) << frame;
  }
  const std::string config = client.Get("/api/config").body;
  EXPECT_NE(config.find("\"rate_code\":48,\"group_rate\":1000,"), std::string::npos) << config;
  EXPECT_NE(config.find("\"epoch\":1,"), std::string::npos) << config;
  EXPECT_EQ(scope.Stop(), 0) << scope.process.buffered;
  EXPECT_NE(scope.process.buffered.find("lost groups:    0\n"), std::string::npos);
}

TEST(ScopeHttp, AModuleErrorOnARateChangeAnswers502AndTheScopeGoesOnAtTheOldRate) {
  sim::Simulator module;
  ASSERT_EQ(module.Start(), 0);
  Scope scope(Joined({"--rate", "56", "--channels", "1-2"}, HostArgs(module)));
  ASSERT_GT(scope.port, 0);
  const HttpClient client = scope.Client();
  ReadEvents(scope, "/api/stream", [](const std::string& frame) {
    return Field(frame, "outputs") <= 0 && Field(frame, "seq") < 250;
  });
  ASSERT_TRUE(module.streaming());
  // The scope sends nothing while it streams: the stop is the next request.
  module.InjectReplyFault(sim::ReplyFault::Exception(4));
  auto r = client.Post("/api/rate", "1000");
  ASSERT_NE(r.status, 0);
  EXPECT_EQ(r.status, 502) << r.body;
  EXPECT_NE(r.body.find("{\"ok\":false,\"error\":\"stopping acquisition"), std::string::npos)
      << r.body;
  const std::string config = client.Get("/api/config").body;
  EXPECT_NE(config.find("\"rate_code\":56,\"group_rate\":8000,"), std::string::npos) << config;
  EXPECT_NE(config.find("\"epoch\":1,"), std::string::npos) << config;
  std::int64_t outputs = 0;
  std::string last;
  ReadEvents(scope, "/api/stream?window=1&columns=3000", [&](const std::string& frame) {
    last = frame;
    outputs = Field(frame, "outputs");
    return outputs < 4000 && Field(frame, "seq") < 250;
  });
  EXPECT_GE(outputs, 4000) << "the stream did not start again: " << last;
  EXPECT_NE(last.find("\"dt\":0.000375,"), std::string::npos) << last;
  EXPECT_NE(last.find("\"link\":\"up\""), std::string::npos) << last;
  EXPECT_EQ(Field(last, "epoch"), 1) << last;
  module.Stop();
}

// ---- recording from the page ---------------------------------------------------

TEST(ScopeHttp, RecordingFromThePageWritesAReplayableRecordingAndItsMetadata) {
  TempDir dir;
  Scope scope({"--rate", "52", "--record", dir.path});
  ASSERT_GT(scope.port, 0);
  const HttpClient client = scope.Client();
  EXPECT_EQ(client.Post("/api/record/stop", "").status, 409);
  auto started = client.Post("/api/record/start", "");
  ASSERT_NE(started.status, 0);
  ASSERT_EQ(started.status, 200) << started.body;
  EXPECT_EQ(client.Post("/api/record/start", "").status, 409);
  auto range = client.Post("/api/range", "1=2");
  ASSERT_NE(range.status, 0);
  EXPECT_EQ(range.status, 409) << "a range changed under a running recording";
  // Some frames go by while it records.
  int seen = 0;
  ReadEvents(scope, "/api/stream", [&](const std::string& frame) {
    return ++seen < 10 || Field(frame, "bytes") <= 0;
  });
  auto stopped = client.Post("/api/record/stop", "");
  ASSERT_NE(stopped.status, 0);
  ASSERT_EQ(stopped.status, 200) << stopped.body;

  std::smatch m;
  ASSERT_TRUE(std::regex_search(stopped.body, m, std::regex("\"file\":\"([^\"]+\\.dat)\"")))
      << stopped.body;
  const std::string dat = m[1];
  const std::string json = std::filesystem::path(dat).replace_extension(".json").string();
  ASSERT_TRUE(FileExists(json));
  const std::string meta = ReadFile(json);
  const auto field = [&](const std::string& name) {
    std::smatch value;
    return std::regex_search(meta, value, std::regex("\"" + name + "\": (-?\\d+)")) ? std::stoll(value[1]) : -1;
  };
  EXPECT_EQ(field("rate_code"), 52) << meta;
  EXPECT_NE(meta.find("\"reason\": \"stopped\""), std::string::npos) << meta;
  EXPECT_NE(meta.find("\"detail\": \"stopped from the page\""), std::string::npos) << meta;
  EXPECT_EQ(field("groups_lost"), 0) << meta;
  // 8 analog channels of 4 bytes, the digital word, 4 counters, 2 encoders.
  const auto group_bytes = 8 * 4 + 2 + 4 * 4 + 2 * 4;
  const auto data_bytes = static_cast<std::int64_t>(std::filesystem::file_size(dat)) - 318;
  EXPECT_EQ(field("groups"), data_bytes / group_bytes) << meta;
  EXPECT_GT(field("groups"), 0) << meta;
  const ProcessResult play = RunProcess(Joined(ToolCommand(), {"play", dat}));
  EXPECT_EQ(play.exit_code, 0) << play.err;
  EXPECT_NE(play.out.find("4000"), std::string::npos) << play.out;

  auto bad_range = client.Post("/api/range", "9=1");
  ASSERT_NE(bad_range.status, 0);
  EXPECT_EQ(bad_range.status, 400);
  EXPECT_NE(bad_range.body.find("--range: 9 is outside 1..8"), std::string::npos) << bad_range.body;
  EXPECT_EQ(client.Post("/api/range", "1-2=2").status, 200);
}

// ---- a stalled viewer ----------------------------------------------------------

// Connects, asks for the stream and then never reads: the browser that froze.
std::unique_ptr<RawConnection> StalledViewer(const Scope& scope) {
  auto viewer = std::make_unique<RawConnection>(scope.host, scope.port, 4096);
  viewer->Send(RequestText("GET", scope.host, scope.port, "/api/stream?window=0.05&columns=4000"));
  return viewer;
}

TEST(ScopeHttp, AStalledViewerLosesFramesButTheAcquisitionLosesNoGroups) {
  // The highest rate, every channel: the largest frames.
  Scope scope({"--rate", "8"});
  ASSERT_GT(scope.port, 0);
  const HttpClient client = scope.Client();
  const auto stalled = StalledViewer(scope);
  ASSERT_TRUE(stalled->connected());
  std::int64_t dropped_elsewhere = -1;
  std::int64_t own_dropped = -1;
  std::int64_t lost = -1;
  std::int64_t last_seq = -1;
  int after_drops = 0;
  bool seq_continuous = true;
  const int events = ReadEvents(scope, "/api/stream", [&](const std::string& frame) {
    const std::int64_t seq = Field(frame, "seq");
    seq_continuous = seq_continuous && seq == last_seq + 1;
    last_seq = seq;
    own_dropped = Field(frame, "dropped");
    lost = Field(frame, "lost");
    dropped_elsewhere = Field(frame, "frames_dropped");
    // Keep watching for two seconds' worth of frames once drops began.
    if (dropped_elsewhere > 0) ++after_drops;
    return after_drops < 50 && seq < 3000;
  });
  EXPECT_GT(events, 50);
  EXPECT_GT(dropped_elsewhere, 0) << "the stalled viewer never lost a frame";
  EXPECT_EQ(after_drops, 50);
  EXPECT_EQ(lost, 0) << "groups lost while a viewer was stalled";
  EXPECT_EQ(own_dropped, 0) << "the reading viewer lost frames to the stalled one";
  EXPECT_TRUE(seq_continuous);
  const int exit_code = scope.Stop();
  EXPECT_EQ(exit_code, 0) << "kr2270 scope ended with lost data";
  const std::string rest = scope.process.buffered;
  EXPECT_NE(rest.find("lost groups:    0"), std::string::npos) << rest;
}

}  // namespace
}  // namespace kr2270::testing
