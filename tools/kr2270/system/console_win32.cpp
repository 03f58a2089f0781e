#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <io.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "system/console.h"
#include "system/system.h"

namespace kr2270::tool {
namespace {

bool StartWinsock() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

}  // namespace

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }
bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

bool IsWritableDirectory(const std::string& dir) {
  constexpr int kWrite = 2;
  return _waccess(Utf8Path(dir).c_str(), kWrite) == 0;
}

std::string MakeTemporaryDirectory(const std::string& prefix) {
  std::error_code error;
  const std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) return {};
  // CreateDirectory fails on an existing name, so a name taken meanwhile is skipped.
  const unsigned long long seed = GetTickCount64() ^ (std::uint64_t{GetCurrentProcessId()} << 32);
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path path = base / (prefix + std::to_string(seed + attempt * 7919ULL));
    if (CreateDirectoryW(path.c_str(), nullptr)) return Utf8Text(path);
    if (GetLastError() != ERROR_ALREADY_EXISTS) return {};
  }
  return {};
}

std::string LookUpIpv4(const std::string& host) {
  if (!StartWinsock()) return {};
  in_addr address{};
  if (inet_pton(AF_INET, host.c_str(), &address) == 1) return host;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return {};
  char text[INET_ADDRSTRLEN] = {};
  const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text);
  freeaddrinfo(found);
  return text;
}

}  // namespace kr2270::tool
