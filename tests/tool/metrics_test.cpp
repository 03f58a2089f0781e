// --metrics: the exposition text (each figure under its own name, labels
// escaped) and the server (what a scrape of a streaming module returns, the
// address rules, what it refuses and whom it lets go, the wait for a last
// scrape at the end of a run).
#include <atomic>
#include <map>
#include <regex>
#include <thread>

#include <CLI/CLI.hpp>
#include <gtest/gtest.h>

#include "app/metrics.h"
#include "app/tool.h"
#include "scope_client.h"
#include "sim/simulator.h"

namespace kr2270::tool {
namespace {

// sample line ("name{labels}") -> value; HELP and TYPE lines counted apart.
struct Exposition {
  std::map<std::string, std::string> samples;
  std::map<std::string, int> help;
  std::map<std::string, std::string> type;
};

Exposition Parse(const std::string& text) {
  Exposition e;
  std::istringstream lines(text);
  std::string line;
  const std::regex sample(R"(^([a-z_0-9]+\{.*\}) (\S+)$)");
  const std::regex meta(R"(^# (HELP|TYPE) ([a-z_0-9]+) (.+)$)");
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_match(line, m, meta)) {
      if (m[1] == "HELP") ++e.help[m[2]];
      else e.type[m[2]] = m[3];
    } else if (std::regex_match(line, m, sample)) {
      e.samples[m[1]] = m[2];
    } else {
      ADD_FAILURE() << "not an exposition line: " << line;
    }
  }
  return e;
}

TEST(MetricsText, EachFigureUnderItsOwnNameAndType) {
  ModuleFigures f;
  f.health.groups_received = 1001;
  f.health.groups_dropped = 1002;
  f.health.gaps = 1003;
  f.health.reconnects = 1004;
  f.health.command_timeouts = 1005;
  f.health.stale_replies = 1006;
  f.health.ring_fill_bytes = 1007;
  f.health.ring_high_water = 1008;
  f.health.command_connected = 1;
  f.health.data_connected = 0;
  f.missing_groups = 1009;
  f.data_lost = true;
  f.recording_bytes = 1010;
  f.recording_failed = true;
  const Exposition e = Parse(MetricsText(f, "10.0.0.5:502"));
  const std::string m = "{module=\"10.0.0.5:502\"}";
  const std::map<std::string, std::string> want = {
      {"kr2270_groups_received_total" + m, "1001"}, {"kr2270_groups_dropped_total" + m, "1002"},
      {"kr2270_gaps_total" + m, "1003"},            {"kr2270_reconnects_total" + m, "1004"},
      {"kr2270_command_timeouts_total" + m, "1005"}, {"kr2270_stale_replies_total" + m, "1006"},
      {"kr2270_ring_fill_bytes" + m, "1007"},       {"kr2270_ring_high_water_bytes" + m, "1008"},
      {"kr2270_missing_groups_total" + m, "1009"},  {"kr2270_recording_bytes_total" + m, "1010"},
      {"kr2270_data_lost" + m, "1"},                {"kr2270_recording_failed" + m, "1"},
      {"kr2270_link_up{module=\"10.0.0.5:502\",connection=\"command\"}", "1"},
      {"kr2270_link_up{module=\"10.0.0.5:502\",connection=\"data\"}", "0"}};
  EXPECT_EQ(e.samples, want);
  for (const auto& [name, type] : e.type) {
    EXPECT_EQ(e.help.at(name), 1) << name;
    // Counters end in _total, and only counters do.
    const bool total = name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0;
    EXPECT_EQ(type, total ? "counter" : "gauge") << name;
  }
  EXPECT_EQ(e.type.size(), 13u);
}

TEST(MetricsText, ModuleLabelIsEscaped) {
  const std::string text = MetricsText(ModuleFigures{}, "a\"b\\c\nd");
  EXPECT_NE(text.find("{module=\"a\\\"b\\\\c\\nd\"}"), std::string::npos) << text;
  EXPECT_EQ(text.find("\nd\""), std::string::npos);
}

struct StreamingModule {
  sim::Simulator sim;
  KR2270Device* device = KR2270_DeviceCreate();
  StreamingModule() {
    EXPECT_EQ(sim.Start(), 0);
    EXPECT_EQ(KR2270_CmdConnect(device, "127.0.0.1", 0, sim.command_port(), sim.data_port(), 2000), 0);
    std::uint8_t one[8] = {1};
    EXPECT_EQ(KR2270_AdInFifo(device, one, 4, 2000), 0);
    EXPECT_EQ(KR2270_HcSetFreq(device, 56, 2000), 0);
    EXPECT_EQ(KR2270_HcSetTranBytesCount(device, 320, 2000), 0);
    EXPECT_EQ(KR2270_HcStart(device, 1, 2000), 0);
    EXPECT_GT(KR2270_HcWaitGroups(device, 80, 5000), 0);
  }
  ~StreamingModule() {
    KR2270_HcStart(device, 0, 2000);
    KR2270_CmdClose(device);
    KR2270_DeviceClose(device);
  }
};

testing::HttpReply Get(const MetricsServer& server, const std::string& path) {
  return testing::HttpClient{"127.0.0.1", MetricsPort(server)}.Get(path);
}

std::uint64_t Value(const std::string& text, const std::string& sample) {
  const Exposition e = Parse(text);
  const auto it = e.samples.find(sample);
  if (it == e.samples.end()) {
    ADD_FAILURE() << "no " << sample << " in\n" << text;
    return UINT64_MAX;
  }
  return std::stoull(it->second);
}

TEST(MetricsServer, ScrapeShowsTheStreamingModule) {
  StreamingModule module;
  const MetricsHandle server = StartMetrics({"127.0.0.1:0", 0.0}, module.device, "127.0.0.1:502");
  ASSERT_NE(server, nullptr);
  ASSERT_GT(MetricsPort(*server), 0);
  const auto first = Get(*server, "/metrics");
  ASSERT_EQ(first.status, 200);
  EXPECT_EQ(first.Header("content-type"), "text/plain; version=0.0.4; charset=utf-8");
  const std::string received = "kr2270_groups_received_total{module=\"127.0.0.1:502\"}";
  const std::uint64_t before = Value(first.body, received);
  EXPECT_GE(before, 80u);
  EXPECT_EQ(Value(first.body, "kr2270_link_up{module=\"127.0.0.1:502\",connection=\"data\"}"), 1u);
  // Each scrape reads the library anew.
  ASSERT_GT(KR2270_HcWaitGroups(module.device, static_cast<std::int32_t>(before) + 80, 5000), 0);
  const auto second = Get(*server, "/metrics");
  ASSERT_EQ(second.status, 200);
  EXPECT_GT(Value(second.body, received), before);
  EXPECT_EQ(Get(*server, "/").status, 404);
}

TEST(MetricsServer, AddressRules) {
  KR2270Device* device = KR2270_DeviceCreate();
  for (const char* bad : {"abc", "1.2.3:80", "127.0.0.1:70000", "127.0.0.1:", "host.example:80",
                          "127.0.0.1:-1", "9270x"}) {
    try {
      StartMetrics({bad, 0.0}, device, "m");
      ADD_FAILURE() << bad << " was taken";
    } catch (const ToolError& error) {
      EXPECT_EQ(error.exit_code, kExitUsage) << bad;
      EXPECT_NE(error.message.find("--metrics"), std::string::npos) << error.message;
    }
  }
  EXPECT_EQ(StartMetrics({"", 0.0}, device, "m"), nullptr);
  // A bare port and ":port" bind loopback.
  for (const char* loopback : {"0", ":0", "localhost:0"}) {
    const MetricsHandle server = StartMetrics({loopback, 0.0}, device, "m");
    EXPECT_EQ(Get(*server, "/metrics").status, 200) << loopback;
  }
  // A port that is taken is a failure, not a usage error.
  const MetricsHandle first = StartMetrics({"0", 0.0}, device, "m");
  try {
    StartMetrics({std::to_string(MetricsPort(*first)), 0.0}, device, "m");
    ADD_FAILURE() << "a taken port was bound twice";
  } catch (const ToolError& error) {
    EXPECT_EQ(error.exit_code, kExitFailure);
  }
  KR2270_DeviceClose(device);
}

TEST(MetricsServer, RefusesWhatIsNotAScrape) {
  KR2270Device* device = KR2270_DeviceCreate();
  const MetricsHandle server = StartMetrics({"0", 0.0}, device, "m");
  const testing::HttpClient client{"127.0.0.1", MetricsPort(*server)};
  const auto posted = client.Post("/metrics", "x");
  EXPECT_EQ(posted.status, 413);  // a scrape has no body
  EXPECT_EQ(client.Send("DELETE", "/metrics", {}, "").status, 405);
  EXPECT_EQ(client.Get("/metrics", {{"X-Filler", std::string(9000, 'a')}}).status, 431);
  testing::RawConnection raw("127.0.0.1", MetricsPort(*server));
  ASSERT_TRUE(raw.Send("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n"));
  EXPECT_EQ(raw.ReadReply().status, 501);
  // Each answer ends its connection, scrapes included.
  EXPECT_TRUE(raw.WaitClosed(std::chrono::seconds(15)));
  EXPECT_EQ(client.Get("/metrics").status, 200);
  KR2270_DeviceClose(device);
}

TEST(MetricsServer, IdleClientsAreLetGoAndBounded) {
  KR2270Device* device = KR2270_DeviceCreate();
  const MetricsHandle server = StartMetrics({"0", 0.0}, device, "m");
  std::vector<std::unique_ptr<testing::RawConnection>> idle;
  for (int i = 0; i < 16; ++i) {
    idle.push_back(std::make_unique<testing::RawConnection>("127.0.0.1", MetricsPort(*server)));
    ASSERT_TRUE(idle.back()->connected());
  }
  // One more than the server keeps is closed without an answer.
  testing::RawConnection extra("127.0.0.1", MetricsPort(*server));
  ASSERT_TRUE(extra.Send("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  EXPECT_EQ(extra.ReadReply().status, 0);
  // Those that never ask are closed after the request time-out.
  for (auto& connection : idle) EXPECT_TRUE(connection->WaitClosed(std::chrono::seconds(30)));
  KR2270_DeviceClose(device);
}

TEST(MetricsOptions, BadAddressIsRefusedWhenTheOptionsAreRead) {
  for (const char* bad : {"abc", "127.0.0.1:99999", "example.org:9270"}) {
    CLI::App app;
    MetricsOptions options;
    AddMetricsOptions(app, options);
    EXPECT_THROW(app.parse(std::vector<std::string>{bad, "--metrics"}), CLI::ValidationError) << bad;
  }
  CLI::App app;
  MetricsOptions options;
  AddMetricsOptions(app, options);
  app.parse(std::vector<std::string>{"2.5", "--metrics-linger", "0.0.0.0:9270", "--metrics"});
  EXPECT_EQ(options.address, "0.0.0.0:9270");
  EXPECT_EQ(options.linger_s, 2.5);
}

TEST(MetricsServer, FinishWaitsForOneMoreScrapeAndShowsAFailedRecording) {
  KR2270Device* device = KR2270_DeviceCreate();
  const MetricsHandle server = StartMetrics({"0", 600.0}, device, "m");
  std::atomic<bool> finished{false};
  // Scrapes until the wait is over: the wait must end at the first scrape
  // after it began, far inside its 600 s bound.
  std::thread scraper([&] {
    while (!finished) Get(*server, "/metrics");
  });
  FinishMetrics(server.get(), true);
  finished = true;
  scraper.join();
  const auto reply = Get(*server, "/metrics");
  ASSERT_EQ(reply.status, 200);
  EXPECT_EQ(Value(reply.body, "kr2270_recording_failed{module=\"m\"}"), 1u);
  KR2270_DeviceClose(device);
}

TEST(MetricsServer, FinishWithoutLingerReturnsAtOnce) {
  KR2270Device* device = KR2270_DeviceCreate();
  const MetricsHandle server = StartMetrics({"0", 0.0}, device, "m");
  FinishMetrics(server.get(), false);  // no scraper: a wait would hang the test
  FinishMetrics(nullptr, true);
  const auto reply = Get(*server, "/metrics");
  ASSERT_EQ(reply.status, 200);
  EXPECT_EQ(Value(reply.body, "kr2270_recording_failed{module=\"m\"}"), 0u);
  KR2270_DeviceClose(device);
}

}  // namespace
}  // namespace kr2270::tool
