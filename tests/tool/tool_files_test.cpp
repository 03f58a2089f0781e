// The files the tool writes, against a directory someone else prepared:
// links planted where its temporary and final files go, and outputs that
// are there already. Nothing may be written through a link, and nothing
// replaced without --overwrite.
#include <ctime>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "run_process.h"

namespace kr2270::testing {
namespace {

namespace fs = std::filesystem;

const std::string kTool = KR2270_TOOL_PATH;
const std::string kVictimText = "not to be touched\n";

ProcessResult Acquire(const std::string& csv, std::vector<std::string> more = {}) {
  std::vector<std::string> args = {kTool, "acquire", "--groups", "2000", "--csv", csv};
  args.insert(args.end(), more.begin(), more.end());
  return RunProcess(args);
}

// A file elsewhere that a planted link points to.
struct Victim {
  TempDir elsewhere;
  std::string path = elsewhere.File("victim.txt");
  Victim() { std::ofstream(path) << kVictimText; }
  bool Untouched() const { return ReadFile(path) == kVictimText; }
};

bool IsLink(const std::string& path) { return fs::is_symlink(fs::symlink_status(path)); }

TEST(ToolFiles, ALinkPlantedAsTheCsvsTemporaryFileIsNeverWrittenThrough) {
  TempDir dir;
  Victim victim;
  const std::string csv = dir.File("out.csv");
  fs::create_symlink(victim.path, csv + ".partial");
  const ProcessResult refused = Acquire(csv);
  EXPECT_EQ(refused.exit_code, 1) << refused.err;
  EXPECT_NE(refused.err.find("cannot write " + csv + ".partial"), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("--overwrite"), std::string::npos) << refused.err;
  EXPECT_TRUE(victim.Untouched());
  EXPECT_TRUE(IsLink(csv + ".partial")) << "left as it was";
  EXPECT_FALSE(FileExists(csv));

  // --overwrite removes the link itself, never what it points to.
  const ProcessResult replaced = Acquire(csv, {"--overwrite"});
  EXPECT_EQ(replaced.exit_code, 0) << replaced.err;
  EXPECT_TRUE(victim.Untouched());
  EXPECT_FALSE(FileExists(csv + ".partial"));
  EXPECT_EQ(Lines(ReadFile(csv)).size(), 2001u);
}

TEST(ToolFiles, AnExistingCsvIsKeptUnlessOverwriteIsGivenAndALinkThereIsReplacedNotFollowed) {
  TempDir dir;
  const std::string csv = dir.File("out.csv");
  std::ofstream(csv) << "earlier results\n";
  const ProcessResult kept = Acquire(csv);
  EXPECT_EQ(kept.exit_code, 2) << kept.err;
  EXPECT_NE(kept.err.find(csv + " exists: give --overwrite"), std::string::npos) << kept.err;
  EXPECT_EQ(ReadFile(csv), "earlier results\n");
  EXPECT_FALSE(FileExists(csv + ".partial"));
  const ProcessResult replaced = Acquire(csv, {"--overwrite"});
  EXPECT_EQ(replaced.exit_code, 0) << replaced.err;
  EXPECT_EQ(Lines(ReadFile(csv)).size(), 2001u);

  Victim victim;
  const std::string linked = dir.File("linked.csv");
  fs::create_symlink(victim.path, linked);
  EXPECT_EQ(Acquire(linked).exit_code, 2);
  EXPECT_TRUE(victim.Untouched());
  EXPECT_EQ(Acquire(linked, {"--overwrite"}).exit_code, 0);
  EXPECT_TRUE(victim.Untouched());
  EXPECT_FALSE(IsLink(linked)) << "the link itself was replaced by the CSV";
  EXPECT_EQ(Lines(ReadFile(linked)).size(), 2001u);
}

TEST(ToolFiles, PlayKeepsAnExistingCsvAsAcquireDoes) {
  TempDir dir;
  ASSERT_EQ(RunProcess({kTool, "acquire", "--groups", "500", "--record", dir.path}).exit_code, 0);
  std::string first;
  for (const auto& entry : fs::directory_iterator(dir.path))
    if (entry.path().string().ends_with("_1.dat")) first = entry.path().string();
  ASSERT_FALSE(first.empty());
  const std::string csv = dir.File("replay.csv");
  std::ofstream(csv) << "earlier\n";
  EXPECT_EQ(RunProcess({kTool, "play", first, "--csv", csv}).exit_code, 2);
  EXPECT_EQ(ReadFile(csv), "earlier\n");
  EXPECT_EQ(RunProcess({kTool, "play", first, "--csv", csv, "--overwrite"}).exit_code, 0);
  EXPECT_EQ(ReadFile(csv).rfind("time_s,", 0), 0u);
}

// "YY-MM-DD-HH-MM-SS", the recording's name stem for a local time.
std::string Stamp(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char text[32];
  std::strftime(text, sizeof text, "%y-%m-%d-%H-%M-%S", &local);
  return text;
}

TEST(ToolFiles, LinksPlantedWhereTheSidecarAndItsTemporaryFileGoAreNeverWrittenThrough) {
  TempDir dir;
  Victim victim;
  // Beside every name the next half minute could give the recording.
  const std::time_t now = std::time(nullptr);
  for (std::time_t t = now; t < now + 30; ++t)
    for (const std::string suffix : {"_1.json", "_1.json.tmp"})
      fs::create_symlink(victim.path, dir.File(Stamp(t) + suffix));
  const ProcessResult r = RunProcess({kTool, "acquire", "--groups", "2000", "--record", dir.path});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(victim.Untouched());
  int recordings = 0;
  for (const auto& entry : fs::directory_iterator(dir.path)) {
    const std::string name = entry.path().filename().string();
    if (IsLink(entry.path().string())) continue;
    if (name.ends_with(".dat")) {
      ++recordings;
      const std::string json = fs::path(entry.path()).replace_extension(".json").string();
      ASSERT_FALSE(IsLink(json)) << json;
      EXPECT_NE(ReadFile(json).find("\"reason\": \"span taken\""), std::string::npos) << json;
    }
  }
  EXPECT_EQ(recordings, 1);
}

}  // namespace
}  // namespace kr2270::testing
