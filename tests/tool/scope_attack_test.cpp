// kr2270 scope against hostile clients: floods of headers and bodies,
// connections that never finish a request, greedy viewers at the highest
// rate, framing, and numbers that are not numbers. Each must be refused or
// harmless, and the acquisition must lose nothing.
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "run_process.h"
#include "scope_client.h"

namespace kr2270::testing {
namespace {

using namespace std::chrono_literals;

// Peak and current resident memory of a process in KiB, where /proc tells
// (-1 elsewhere, for a tool that runs under Wine, and for a sanitized one).
long MemoryKiB(int pid, const std::string& field) {
  if (KR2270_TOOL_SANITIZED) return -1;  // shadow memory and quarantine would count
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

bool UnderAnotherSystem() { return ToolCommand().size() > 1; }

std::string Host(const Scope& scope) { return "127.0.0.1:" + std::to_string(scope.port); }

// ---- before a request is routed ------------------------------------------------

TEST(ScopeAttack, AHeaderFloodIsRefusedBeforeItIsHeldAndMemoryStaysFlat) {
  Scope scope({"--rate", "56"});
  ASSERT_GT(scope.port, 0);
  const long before = MemoryKiB(scope.process.pid, "VmRSS");
  // 20 at once, each offering 8 MiB of header lines and no token.
  const std::string line = "X-Filler: " + std::string(100, 'a') + "\r\n";
  std::string block;
  while (block.size() < 64 * 1024) block += line;
  std::atomic<int> refused{0};
  std::atomic<int> closed{0};
  std::vector<std::thread> floods;
  for (int i = 0; i < 20; ++i)
    floods.emplace_back([&] {
      RawConnection flood(scope.host, scope.port);
      if (!flood.Send("GET /api/status HTTP/1.1\r\nHost: " + Host(scope) + "\r\n")) return;
      // The server stops reading at its limit: a send then stalls or fails.
      for (int sent = 0; sent < 128 && flood.Send(block, 2s); ++sent) {
      }
      refused += flood.ReadReply(10s).status == 431 ? 1 : 0;
      closed += flood.WaitClosed(10s) ? 1 : 0;
    });
  for (auto& flood : floods) flood.join();
  EXPECT_EQ(refused.load(), 20);
  EXPECT_EQ(closed.load(), 20);
  const long after = MemoryKiB(scope.process.pid, "VmRSS");
  if (before > 0 && after > 0) {
    EXPECT_LT(after - before, 32 * 1024) << "KiB grown";
  }
  EXPECT_EQ(scope.Client().Get("/api/status").status, 200);
}

TEST(ScopeAttack, HeaderLinesAndHeadBytesHaveTheirLimits) {
  Scope scope({"--rate", "56"});
  ASSERT_GT(scope.port, 0);
  const HttpClient client = scope.Client();
  HttpHeaders many;
  for (int i = 0; i < 63; ++i) many.push_back({"X-N" + std::to_string(i), "1"});
  // With Host and Connection: 65 lines, one over the limit.
  EXPECT_EQ(client.Get("/api/status", many).status, 431);
  many.pop_back();
  EXPECT_EQ(client.Get("/api/status", many).status, 200);
  EXPECT_EQ(client.Get("/api/status", {{"X-Long", std::string(17 * 1024, 'b')}}).status, 431);
  EXPECT_EQ(client.Get("/api/status", {{"X-Long", std::string(15 * 1024, 'b')}}).status, 200);
}

TEST(ScopeAttack, ABodyOverItsLimitIsRefusedWith413BeforeItIsRead) {
  Scope scope({"--rate", "56"});
  ASSERT_GT(scope.port, 0);
  RawConnection huge(scope.host, scope.port);
  ASSERT_TRUE(huge.Send("POST /api/range HTTP/1.1\r\nHost: " + Host(scope) +
                        "\r\nContent-Length: 1099511627776\r\n\r\n1=2"));
  EXPECT_EQ(huge.ReadReply().status, 413);
  EXPECT_TRUE(huge.WaitClosed(10s));
  const HttpClient client = scope.Client();
  EXPECT_EQ(client.Post("/api/range", std::string(64 * 1024 + 1, '1')).status, 413);
  // At the limit the body reaches the handler, which refuses its content.
  EXPECT_EQ(client.Post("/api/range", std::string(64 * 1024, '1')).status, 400);
  EXPECT_EQ(client.Post("/api/range", "1=2").status, 200);
  EXPECT_EQ(client.Send("POST", "/api/range", {{"Transfer-Encoding", "chunked"}}, "").status, 501);
}

TEST(ScopeAttack, MalformedRequestsAreRefusedAndTheServerGoesOn) {
  Scope scope({"--rate", "56"});
  ASSERT_GT(scope.port, 0);
  const std::vector<std::pair<std::string, int>> cases = {
      {"GARBAGE\r\n\r\n", 400},
      {"GET /api/status HTTP/2.0\r\nHost: " + Host(scope) + "\r\n\r\n", 505},
      {"GET api/status HTTP/1.1\r\nHost: " + Host(scope) + "\r\n\r\n", 400},
      {"GET /api/status HTTP/1.1\r\nHost: " + Host(scope) + "\r\n folded\r\n\r\n", 400},
      {"GET /api/status HTTP/1.1\r\nHost : " + Host(scope) + "\r\n\r\n", 400},
      {"GET /%zz HTTP/1.1\r\nHost: " + Host(scope) + "\r\n\r\n", 400},
      {"POST /api/rate HTTP/1.1\r\nHost: " + Host(scope) + "\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n8", 400},
      {"DELETE /api/status HTTP/1.1\r\nHost: " + Host(scope) + "\r\n\r\n", 405},
  };
  for (const auto& [request, status] : cases) {
    RawConnection connection(scope.host, scope.port);
    ASSERT_TRUE(connection.Send(request));
    EXPECT_EQ(connection.ReadReply().status, status) << request;
  }
  EXPECT_EQ(scope.Client().Get("/api/status").status, 200);
}

// ---- connections that never finish a request -------------------------------------

TEST(ScopeAttack, IdleConnectionsDoNotHoldUpARealRequest) {
  Scope scope({"--rate", "56"});
  ASSERT_GT(scope.port, 0);
  // More than the server holds at once, from the same address as the page:
  // half of them with a head begun and never ended.
  std::vector<std::unique_ptr<RawConnection>> idle;
  for (int i = 0; i < 200; ++i) {
    idle.push_back(std::make_unique<RawConnection>(scope.host, scope.port));
    if (i % 2 == 1) idle.back()->Send("GET / HTTP/1.1\r\nHost: ");
  }
  // Each idle connection may hold the server for 10 s before it lets it go;
  // the answer must come well before the first of them would.
  RawConnection page(scope.host, scope.port);
  ASSERT_TRUE(page.Send(RequestText("GET", scope.host, scope.port, "/api/status")));
  const HttpReply reply = page.ReadReply(8s);
  EXPECT_EQ(reply.status, 200);
  EXPECT_NE(reply.body.find("\"elapsed\""), std::string::npos);
}

TEST(ScopeAttack, AHeadTrickledByteByByteIsCutOffAtTheRequestTimeLimit) {
  Scope scope({"--rate", "56"});
  ASSERT_GT(scope.port, 0);
  RawConnection slow(scope.host, scope.port);
  const std::string head = "GET /api/status HTTP/1.1\r\nHost: " + Host(scope) + "\r\n" +
                           std::string(4000, 'x');
  bool cut = false;
  // 100 ms a byte: the whole head would take 400 s; the limit is 10 s.
  for (std::size_t i = 0; i < head.size() && !cut; ++i) {
    cut = !slow.Send(head.substr(i, 1), 1s);
    std::string ignored;
    cut = cut || slow.ReadSome(ignored, 100ms) == RawConnection::Read::kClosed;
    if (i > 400) break;  // 40 s and more: the limit did not hold
  }
  EXPECT_TRUE(cut) << "a trickled head held its connection past the request time limit";
}

// ---- viewers -------------------------------------------------------------------

TEST(ScopeAttack, SixteenGreedyViewersAtTheHighestRateCostNoGroupAndBoundedMemory) {
  // 256000 groups a second, every channel; each viewer at the smallest window
  // and the most columns, reading as fast as it can.
  Scope scope({"--rate", "8"});
  ASSERT_GT(scope.port, 0);
  std::atomic<bool> enough{false};
  std::atomic<int> viewers_with_frames{0};
  std::vector<std::thread> viewers;
  for (int i = 0; i < 16; ++i)
    viewers.emplace_back([&] {
      bool seen = false;
      // Greedy, and light: a reader that parsed each frame at length would
      // take the cores from the scope it measures.
      ReadEvents(scope.Client(), "/api/stream?window=0.05&columns=4000", [&](const std::string& frame) {
        if (!seen) {
          seen = true;
          ++viewers_with_frames;
        }
        // Four seconds of the scope's own time; the status ends each frame.
        const auto at = frame.rfind("\"elapsed\":");
        if (at != std::string::npos && std::strtod(frame.c_str() + at + 10, nullptr) > 4.0) enough = true;
        return !enough.load();
      });
    });
  for (auto& viewer : viewers) viewer.join();
  EXPECT_TRUE(enough.load());
  EXPECT_EQ(viewers_with_frames.load(), 16);
  const long peak = MemoryKiB(scope.process.pid, "VmHWM");
  if (peak > 0) {
    EXPECT_LT(peak, 512 * 1024) << "KiB at the peak";
  }
  const int exit_code = scope.Stop();
  EXPECT_NE(scope.process.buffered.find("lost groups:    0\n"), std::string::npos)
      << scope.process.buffered;
  if (!UnderAnotherSystem()) {
    EXPECT_EQ(exit_code, 0) << scope.process.buffered;
  }
}

TEST(ScopeAttack, ASeventeenthViewerIsTurnedAwayAndALeavingOneMakesRoom) {
  Scope scope({"--rate", "56"});
  ASSERT_GT(scope.port, 0);
  std::vector<std::unique_ptr<RawConnection>> viewers;
  for (int i = 0; i < 16; ++i) {
    viewers.push_back(std::make_unique<RawConnection>(scope.host, scope.port));
    ASSERT_TRUE(viewers.back()->Send(RequestText("GET", scope.host, scope.port, "/api/stream")));
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos)
      ASSERT_EQ(viewers.back()->ReadSome(head, 10s), RawConnection::Read::kData);
    ASSERT_EQ(head.rfind("HTTP/1.1 200", 0), 0u) << head;
  }
  int status = 0;
  ReadEvents(scope.Client(), "/api/stream", [](const std::string&) { return false; }, {}, &status);
  EXPECT_EQ(status, 503);
  viewers.pop_back();
  // The server notices the leaving viewer when its connection ends.
  int events = 0;
  for (int attempt = 0; attempt < 100 && events == 0; ++attempt)
    events = ReadEvents(scope.Client(), "/api/stream", [](const std::string&) { return false; });
  EXPECT_EQ(events, 1);
}

// ---- the page in other sites' hands ------------------------------------------------

TEST(ScopeAttack, NoAnswerMayBeFramedByAnotherSite) {
  Scope scope({"--rate", "56", "--listen", "127.0.0.2:0"});
  ASSERT_GT(scope.port, 0);
  const HttpClient client = scope.Client();
  for (const auto& reply : {client.Get("/"), client.Get("/scope.js"), client.Get("/api/status"),
                            client.Get("/nothing"), client.Get("/api/status?token=" + scope.token)}) {
    ASSERT_NE(reply.status, 0);
    EXPECT_EQ(reply.Header("x-frame-options"), "DENY") << reply.status;
    EXPECT_EQ(reply.Header("content-security-policy"), "frame-ancestors 'none'") << reply.status;
    EXPECT_EQ(reply.Header("referrer-policy"), "no-referrer") << reply.status;
  }
  RawConnection stream(scope.host, scope.port);
  ASSERT_TRUE(stream.Send(RequestText("GET", scope.host, scope.port, "/api/stream?token=" + scope.token)));
  std::string head;
  while (head.find("\r\n\r\n") == std::string::npos)
    ASSERT_EQ(stream.ReadSome(head, 10s), RawConnection::Read::kData);
  EXPECT_NE(head.find("X-Frame-Options: DENY\r\n"), std::string::npos) << head;
}

TEST(ScopeAttack, AWindowOrColumnCountThatIsNoFiniteNumberIsRefused) {
  Scope scope({"--rate", "56"});
  ASSERT_GT(scope.port, 0);
  const HttpClient client = scope.Client();
  for (const std::string query : {"window=nan", "window=NaN", "window=inf", "window=-inf", "window=1e999",
                                  "window=", "window=0x1p-2", "window=1&columns=nan", "columns=1e3",
                                  "columns=99999999999", "window=0.01"}) {
    const HttpReply reply = client.Get("/api/stream?" + query);
    EXPECT_EQ(reply.status, 400) << query << ": " << reply.body;
  }
}

}  // namespace
}  // namespace kr2270::testing
