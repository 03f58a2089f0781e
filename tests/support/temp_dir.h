// A fresh directory under /tmp, removed with everything in it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace kr2270::test {

struct TempDir {
  std::string path;
  TempDir() {
    char pattern[] = "/tmp/kr2270-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    path = made != nullptr ? made : "";
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
};

}  // namespace kr2270::test
