// A fresh directory in the system's temporary folder, removed with everything
// in it when the object goes.
#pragma once

#include <string>

namespace kr2270::test {

struct TempDir {
  explicit TempDir(const std::string& prefix = "kr2270-test-");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string path;  // native separators, no trailing one
};

}  // namespace kr2270::test
