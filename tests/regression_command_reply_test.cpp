// Command replies: the fuzz corpus and the fuzzer's findings, replayed
// without libFuzzer, and each finding once more end to end on a socket.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "../fuzz/command_reply_fuzz.cpp"
#include "command/command.h"
#include "scripted_peer.h"

namespace kr2270 {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

const fs::path kCorpus = fs::path(KR2270_SOURCE_DIR) / "fuzz/corpus/command_reply";

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(RegressionCommandReply, CorpusKeepsEveryRule) {
  int files = 0;
  for (const auto& entry : fs::directory_iterator(kCorpus)) {
    const Bytes input = ReadFile(entry.path());
    EXPECT_EQ(fuzzcheck::CheckCommandReply(input.data(), input.size()), "")
        << entry.path().filename();
    ++files;
  }
  EXPECT_GE(files, 10);  // the corpus is there, not an empty directory
}

// Finding: a reply whose length field promises more than arrived before the
// module closed the connection was judged on its first bytes and accepted.
TEST(RegressionCommandReply, ReplyCutShortByACloseIsNeverAccepted) {
  test::ScriptedPeer peer;
  Device* device = KR2270_DeviceCreate();
  ASSERT_NE(device, nullptr);
  ASSERT_EQ(KR2270_CmdConnect(device, "127.0.0.1", 0, peer.port(), 0, 1000), 0);

  // A read of 4 bytes: function, count and data are right, the length field
  // says 250, and the connection closes after 13 bytes.
  peer.AddStep({Bytes{0, 0, 0, 0, 0, 250, 1, 3, 4, 1, 2, 3, 4}, 0, {}, 0, true});
  std::uint8_t data[4] = {9, 9, 9, 9};
  EXPECT_EQ(ReadRegisters(device, 256, data, 2000), KR2270_ERROR_READ_REPLY);
  EXPECT_EQ(data[0], 9);
  EXPECT_EQ(data[3], 9);

  // The same for the echo of a write of 2 bytes.
  ASSERT_EQ(KR2270_CmdConnect(device, "127.0.0.1", 0, peer.port(), 0, 1000), 0);
  peer.AddStep({Bytes{0, 0, 0, 0, 0, 250, 1, 0x10, 0, 14, 0, 1}, 0, {}, 0, true});
  EXPECT_EQ(WriteRegisters(device, 14, {0, 1}, 2000), KR2270_ERROR_WRITE_ECHO);
  KR2270_DeviceClose(device);
}

}  // namespace
}  // namespace kr2270
