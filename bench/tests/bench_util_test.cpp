#include "bench_util.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>

namespace kr2270::bench {
namespace {

TEST(PercentileTest, NearestRank) {
  std::vector<double> v;
  for (int i = 100; i >= 1; --i) v.push_back(i);  // 1..100, unsorted
  EXPECT_EQ(Percentile(v, 50), 50);
  EXPECT_EQ(Percentile(v, 99), 99);
  EXPECT_EQ(Percentile(v, 100), 100);
  EXPECT_EQ(Percentile(v, 0), 1);
  EXPECT_EQ(Median({7.0}), 7.0);
  EXPECT_EQ(Median({3.0, 1.0, 2.0}), 2.0);
}

TEST(PercentileTest, FailedRunsAreLeftOut) {
  EXPECT_EQ(Median({std::nan(""), 5.0, 1.0, std::nan(""), 3.0}), 3.0);
  EXPECT_TRUE(std::isnan(Median({})));
  EXPECT_TRUE(std::isnan(Median({std::nan("")})));
}

// As strace 6 prints it with -c.
constexpr const char* kStraceSmall =
    "% time     seconds  usecs/call     calls    errors syscall\n"
    "------ ----------- ----------- --------- --------- ----------------\n"
    " 60.00    0.000600           3       200           sendto\n"
    " 35.00    0.000350           1       210         4 recvfrom\n"
    "  5.00    0.000050          50         1           execve\n"
    "------ ----------- ----------- --------- --------- ----------------\n"
    "100.00    0.001000           2       411         4 total\n";
constexpr const char* kStraceLarge =
    "% time     seconds  usecs/call     calls    errors syscall\n"
    "------ ----------- ----------- --------- --------- ----------------\n"
    " 60.00    0.006000           3      2200           sendto\n"
    " 39.00    0.003900           1      2210         4 recvfrom\n"
    "  1.00    0.000050          50         1           execve\n"
    "------ ----------- ----------- --------- --------- ----------------\n"
    "100.00    0.010000           2      4411         4 total\n";

TEST(StraceTest, SummaryRowsAndTotal) {
  SyscallCounts counts;
  ASSERT_TRUE(ParseStraceSummary(kStraceSmall, &counts));
  EXPECT_EQ(counts.total, 411);
  EXPECT_EQ(counts.calls.at("sendto"), 200);
  EXPECT_EQ(counts.calls.at("recvfrom"), 210);  // the errors column is not the calls
  EXPECT_EQ(counts.calls.at("execve"), 1);
}

TEST(StraceTest, FixedCostsCancelBetweenTwoRuns) {
  SyscallCounts fewer, more;
  ASSERT_TRUE(ParseStraceSummary(kStraceSmall, &fewer));
  ASSERT_TRUE(ParseStraceSummary(kStraceLarge, &more));
  EXPECT_DOUBLE_EQ(CallsPerOperation(fewer, more, 2000), 2.0);
  const auto per = CallsPerOperationBySyscall(fewer, more, 2000);
  EXPECT_DOUBLE_EQ(per.at("sendto"), 1.0);
  EXPECT_DOUBLE_EQ(per.at("recvfrom"), 1.0);
  EXPECT_EQ(per.count("execve"), 0u);
}

TEST(StraceTest, TextWithoutTotalIsRefused) {
  SyscallCounts counts;
  EXPECT_FALSE(ParseStraceSummary("strace: exec: No such file or directory\n", &counts));
}

TEST(DdTest, RateFromTheStatisticsLine) {
  double rate = 0.0;
  ASSERT_TRUE(
      ParseDdRate("256+0 records in\n256+0 records out\n"
                  "268435456 bytes (268 MB, 256 MiB) copied, 0.25 s, 1.1 GB/s\n",
                  &rate));
  EXPECT_DOUBLE_EQ(rate, 268435456.0 / 0.25);
  EXPECT_FALSE(ParseDdRate("dd: failed to open 'x': No such file or directory\n", &rate));
}

TEST(TransferSizeTest, TenMillisecondsOfWholeGroupsWithinSixteenBits) {
  // The examples of docs/cli.md.
  EXPECT_EQ(RecommendedTransferBytes(32, 8000.0), 80 * 32);
  EXPECT_EQ(RecommendedTransferBytes(32, 256000.0), 2047 * 32);
  // Every channel at the highest rate: capped at 1129 groups, about 4.4 ms.
  EXPECT_EQ(RecommendedTransferBytes(58, 256000.0), 1129 * 58);
  EXPECT_EQ(RecommendedTransferBytes(58, 8000.0), 80 * 58);
  EXPECT_EQ(RecommendedTransferBytes(4, 40.0), 4);  // at least one group
}

TEST(ProcessTest, OutputAndExitStatusOfAChild) {
  const ProcessResult r = RunProcess({"sh", "-c", "echo out; echo err >&2; exit 3"});
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_NE(r.output.find("out\n"), std::string::npos);
  EXPECT_NE(r.output.find("err\n"), std::string::npos);
}

bool Connects(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

TEST(SimProcessTest, ReportsItsPortsAndEndsOnStop) {
  SimProcess sim = StartSimProcess(KR2270_SIM_EXE, {"--sequence"});
  ASSERT_GT(sim.pid, 0);
  ASSERT_NE(sim.command_port, 0);
  ASSERT_NE(sim.data_port, 0);
  EXPECT_TRUE(Connects(sim.command_port));
  StopSimProcess(sim);
  EXPECT_EQ(sim.pid, -1);
  EXPECT_FALSE(Connects(sim.command_port));
}

TEST(SimProcessTest, BadOptionsGiveNoProcess) {
  SimProcess sim = StartSimProcess(KR2270_SIM_EXE, {"--no-such-option"});
  EXPECT_EQ(sim.pid, -1);
}

}  // namespace
}  // namespace kr2270::bench
