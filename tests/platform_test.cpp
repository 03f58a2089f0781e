// What the core relies on from every platform layer: files that are never
// truncated or opened when they are not regular, the path separator, and
// sockets whose blocked receive can be woken from another thread.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "platform/platform.h"
#include "temp_dir.h"
#include "test_socket.h"

namespace kr2270 {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(PlatformFiles, CreateNewFileNeverTouchesAnExistingFile) {
  test::TempDir dir;
  const std::string path = (fs::path(dir.path) / "a.dat").string();
  platform::FileOpen first = platform::CreateNewFile(path.c_str());
  ASSERT_NE(first.file, nullptr) << first.error;
  ASSERT_EQ(std::fwrite("kept", 1, 4, first.file), 4u);
  std::fclose(first.file);

  const platform::FileOpen second = platform::CreateNewFile(path.c_str());
  EXPECT_EQ(second.file, nullptr);
  EXPECT_TRUE(platform::IsExistsError(second.error)) << second.error;
  EXPECT_EQ(Slurp(path), "kept");
  // A missing directory is not "exists".
  const std::string nowhere = (fs::path(dir.path) / "no" / "b.dat").string();
  const platform::FileOpen missing = platform::CreateNewFile(nowhere.c_str());
  EXPECT_EQ(missing.file, nullptr);
  EXPECT_FALSE(platform::IsExistsError(missing.error));
}

TEST(PlatformFiles, OpenRegularFileSeekAndSize) {
  test::TempDir dir;
  const std::string path = (fs::path(dir.path) / "b.dat").string();
  std::ofstream(path, std::ios::binary) << std::string("0123456789\n\r\x1a" "end", 16);
  platform::FileOpen opened = platform::OpenRegularFile(path.c_str());
  ASSERT_NE(opened.file, nullptr) << opened.error;
  // Binary: no byte is translated or taken for the end of the file.
  EXPECT_EQ(platform::FileSize(opened.file), 16);
  ASSERT_TRUE(platform::SeekFile(opened.file, 10));
  char tail[7] = {};
  EXPECT_EQ(std::fread(tail, 1, 6, opened.file), 6u);
  EXPECT_EQ(std::string(tail, 6), std::string("\n\r\x1a" "end", 6));
  EXPECT_FALSE(platform::SeekFile(opened.file, -1));
  std::fclose(opened.file);

  const platform::FileOpen directory = platform::OpenRegularFile(dir.path.c_str());
  EXPECT_EQ(directory.file, nullptr);
  EXPECT_NE(directory.error, 0);
  const std::string missing = (fs::path(dir.path) / "none.dat").string();
  const platform::FileOpen absent = platform::OpenRegularFile(missing.c_str());
  EXPECT_EQ(absent.file, nullptr);
  EXPECT_NE(absent.error, 0);

  EXPECT_TRUE(platform::IsDirectory(dir.path.c_str()));
  EXPECT_FALSE(platform::IsRegularFile(dir.path.c_str()));
  EXPECT_TRUE(platform::IsRegularFile(path.c_str()));
  EXPECT_FALSE(platform::IsDirectory(path.c_str()));
  EXPECT_FALSE(platform::FileExists(missing.c_str()));
  EXPECT_FALSE(platform::IsDirectory(nullptr));
}

TEST(PlatformPaths, SeparatorsAndLocalTime) {
  EXPECT_TRUE(platform::IsPathSeparator('/'));  // accepted everywhere
  EXPECT_TRUE(platform::IsPathSeparator(platform::kPathSeparator));
  EXPECT_EQ(platform::IsPathSeparator('\\'), platform::kPathSeparator == '\\');
  EXPECT_FALSE(platform::IsPathSeparator('_'));
  EXPECT_FALSE(platform::IsPathSeparator(':'));

  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ASSERT_TRUE(platform::LocalTime(now, &local));
  EXPECT_EQ(std::mktime(&local), now);  // the local time of now, not another zone's
}

// A connected pair: the library's socket and the test's end of it.
struct Connection {
  platform::Socket library = platform::kNoSocket;
  test::TestSocket peer = test::kNoTestSocket;
  test::TestSocket listener = test::kNoTestSocket;
  Connection() {
    std::uint16_t port = 0;
    listener = test::BindLoopback(&port, true);
    std::uint32_t loopback = 0;
    EXPECT_TRUE(platform::ParseIpv4("127.0.0.1", &loopback));
    library = platform::TcpSocket();
    EXPECT_TRUE(platform::SetNonBlocking(library, true));
    EXPECT_TRUE(platform::ConnectWithTimeout(library, loopback, port, 5000));
    EXPECT_TRUE(platform::SetNonBlocking(library, false));
    peer = test::Accept(listener);
  }
  ~Connection() {
    platform::CloseSocket(library);
    test::CloseTest(peer);
    test::CloseTest(listener);
  }
};

TEST(PlatformSockets, ShutdownWakesAReceiveBlockedInAnotherThread) {
  ASSERT_TRUE(platform::NetStartup());
  Connection c;
  ASSERT_NE(c.peer, test::kNoTestSocket);
  auto blocked = std::async(std::launch::async, [&] {
    char byte = 0;
    return platform::Receive(c.library, &byte, 1);
  });
  // Whether or not the receive has begun, the shutdown must end it.
  EXPECT_EQ(blocked.wait_for(50ms), std::future_status::timeout);
  platform::ShutdownSocket(c.library);
  const bool woke = blocked.wait_for(10s) == std::future_status::ready;
  if (!woke) {  // free the thread, so that the failure does not hang the test
    platform::CloseSocket(c.library);
    c.library = platform::kNoSocket;
  }
  ASSERT_TRUE(woke) << "the receive stayed blocked";
  const platform::IoResult r = blocked.get();
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.bytes, 0);
}

TEST(PlatformSockets, TimeOutDataAndOrderlyClose) {
  ASSERT_TRUE(platform::NetStartup());
  Connection c;
  ASSERT_NE(c.peer, test::kNoTestSocket);
  char buffer[8] = {};
  EXPECT_EQ(platform::ReceiveNow(c.library, buffer, sizeof buffer).error, platform::NetError::kTimeout);
  ASSERT_TRUE(platform::SetReceiveTimeout(c.library, 50));
  EXPECT_EQ(platform::Receive(c.library, buffer, sizeof buffer).error, platform::NetError::kTimeout);
  EXPECT_EQ(platform::WaitReadable(c.library, 0), 0);

  ASSERT_EQ(test::SendSome(c.peer, "abc", 3), 3);
  ASSERT_EQ(platform::WaitReadable(c.library, 5000), 1);
  const platform::IoResult got = platform::ReceiveNow(c.library, buffer, sizeof buffer);
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(got.bytes)), "abc");
  EXPECT_TRUE(platform::Send(c.library, "xy", 2).ok());
  ASSERT_EQ(test::WaitTestReadable(c.peer, 5000), 1);
  EXPECT_EQ(test::ReceiveSome(c.peer, buffer, sizeof buffer), 2);

  test::CloseTest(c.peer);
  c.peer = test::kNoTestSocket;
  ASSERT_TRUE(platform::SetReceiveTimeout(c.library, 5000));
  const platform::IoResult closed = platform::Receive(c.library, buffer, sizeof buffer);
  EXPECT_EQ(closed.error, platform::NetError::kClosed);
  EXPECT_EQ(closed.bytes, 0);
}

// A receive time-out in the middle of a stream: nothing of what came before
// or after may be lost or moved (Winsock's own receive time-out may leave a
// socket in an undefined state, which would shift every later group).
TEST(PlatformSockets, ATimeOutInTheMiddleOfAStreamLosesAndShiftsNoByte) {
  ASSERT_TRUE(platform::NetStartup());
  Connection c;
  ASSERT_NE(c.peer, test::kNoTestSocket);
  ASSERT_TRUE(platform::SetReceiveTimeout(c.library, 30));
  std::string sent;
  std::string received;
  for (int piece = 0; piece < 6; ++piece) {
    // 7 bytes: a piece never ends where a group of 4 or 8 would.
    std::string bytes;
    for (int i = 0; i < 7; ++i) bytes += static_cast<char>('A' + (sent.size() + bytes.size()) % 26);
    ASSERT_EQ(test::SendSome(c.peer, bytes.data(), bytes.size()), 7);
    sent += bytes;
    while (received.size() < sent.size()) {
      char buffer[64];
      const platform::IoResult r = platform::Receive(c.library, buffer, sizeof buffer);
      if (r.error == platform::NetError::kTimeout) continue;  // not there yet
      ASSERT_TRUE(r.ok()) << "piece " << piece;
      received.append(buffer, static_cast<std::size_t>(r.bytes));
    }
    // Nothing more is coming: the receive times out, and takes nothing.
    char none[64];
    EXPECT_EQ(platform::Receive(c.library, none, sizeof none).error, platform::NetError::kTimeout);
  }
  EXPECT_EQ(received, sent);
}

TEST(PlatformSockets, ShutdownEndsAReceiveThatWaitsWithATimeOut) {
  ASSERT_TRUE(platform::NetStartup());
  Connection c;
  ASSERT_NE(c.peer, test::kNoTestSocket);
  ASSERT_TRUE(platform::SetReceiveTimeout(c.library, 2000));
  auto blocked = std::async(std::launch::async, [&] {
    char byte = 0;
    platform::IoResult r = platform::Receive(c.library, &byte, 1);
    // A wait that the shutdown did not cut short ends in a time-out; the
    // receive after it sees the shutdown.
    if (r.error == platform::NetError::kTimeout) r = platform::Receive(c.library, &byte, 1);
    return r;
  });
  EXPECT_EQ(blocked.wait_for(50ms), std::future_status::timeout);
  platform::ShutdownSocket(c.library);
  ASSERT_EQ(blocked.wait_for(10s), std::future_status::ready) << "the receive stayed blocked";
  const platform::IoResult r = blocked.get();
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.bytes, 0);
}

TEST(PlatformSockets, NothingListeningFailsTheConnect) {
  ASSERT_TRUE(platform::NetStartup());
  std::uint16_t port = 0;
  const test::TestSocket holder = test::BindLoopback(&port, false);
  ASSERT_NE(holder, test::kNoTestSocket);
  std::uint32_t loopback = 0;
  ASSERT_TRUE(platform::ParseIpv4("127.0.0.1", &loopback));
  EXPECT_FALSE(platform::ParseIpv4("127.0.0", &loopback));
  EXPECT_FALSE(platform::ParseIpv4("localhost", &loopback));
  const platform::Socket s = platform::TcpSocket();
  ASSERT_NE(s, platform::kNoSocket);
  ASSERT_TRUE(platform::SetNonBlocking(s, true));
  EXPECT_FALSE(platform::ConnectWithTimeout(s, loopback, port, 5000));
  platform::CloseSocket(s);
  test::CloseTest(holder);
}

}  // namespace
}  // namespace kr2270
