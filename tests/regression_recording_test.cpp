// The recording fuzz corpus replayed without libFuzzer: every seed and every
// past finding must keep the rules of the header parser and the reader.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "../fuzz/recording_fuzz.cpp"

namespace kr2270 {
namespace {

namespace fs = std::filesystem;

TEST(RegressionRecording, CorpusKeepsEveryRule) {
  const fs::path corpus = fs::path(KR2270_SOURCE_DIR) / "fuzz/corpus/recording";
  int files = 0;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> input((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    EXPECT_EQ(fuzzcheck::CheckRecording(input.data(), input.size()), "") << entry.path().filename();
    ++files;
  }
  EXPECT_GE(files, 8);  // the corpus is there, not an empty directory
}

}  // namespace
}  // namespace kr2270
