#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <filesystem>

#include "system/console.h"

namespace kr2270::tool {

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }
bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

bool IsWritableDirectory(const std::string& dir) { return access(dir.c_str(), W_OK | X_OK) == 0; }

std::string MakeTemporaryDirectory(const std::string& prefix) {
  std::error_code error;
  std::string pattern = (std::filesystem::temp_directory_path(error) / (prefix + "XXXXXX")).string();
  if (error || mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

std::string LookUpIpv4(const std::string& host) {
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
