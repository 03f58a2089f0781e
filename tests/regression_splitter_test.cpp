// The splitter fuzz corpus replayed without libFuzzer: every seed and every
// past finding must keep the splitter's rules.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "../fuzz/splitter_fuzz.cpp"

namespace kr2270 {
namespace {

namespace fs = std::filesystem;

TEST(RegressionSplitter, CorpusKeepsEveryRule) {
  const fs::path corpus = fs::path(KR2270_SOURCE_DIR) / "fuzz/corpus/splitter";
  int files = 0;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> input((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    EXPECT_EQ(fuzzcheck::CheckSplitter(input.data(), input.size()), "") << entry.path().filename();
    ++files;
  }
  EXPECT_GE(files, 10);  // the corpus is there, not an empty directory
}

}  // namespace
}  // namespace kr2270
