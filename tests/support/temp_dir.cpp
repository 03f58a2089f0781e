#include "temp_dir.h"

#include <filesystem>
#include <random>
#include <stdexcept>

namespace kr2270::test {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix) {
  // create_directory reports whether it made the directory, so two processes
  // drawing the same name cannot share one.
  std::random_device seed;
  std::mt19937_64 random(seed());
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = base / (prefix + std::to_string(random() % 1000000000000ULL));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      path = candidate.string();
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary directory in " + base.string());
}

TempDir::~TempDir() {
  std::error_code error;
  fs::remove_all(path, error);
}

}  // namespace kr2270::test
