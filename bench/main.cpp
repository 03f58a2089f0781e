// kr2270-bench: measures the library beside what a user would otherwise
// pick, in one run, and prints one table: figure, anchor, ratio, goal,
// pass or short. scripts/bench.sh builds and runs it.
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>

#include "bench_util.h"
#include "sections.h"

namespace {

using kr2270::bench::Config;
using kr2270::bench::Report;

const char* const kUsage =
    "usage: kr2270-bench [--quick] [--scale X] [--only SECTIONS] [--tmp DIR]\n"
    "                    [--stream-seconds S] [--modules N,N,...] [--sim PATH] [--out FILE]\n"
    "SECTIONS: commands,stream,split,recording,latency,scope (comma-separated)\n";

std::string SelfPath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

std::set<std::string> SplitList(const std::string& text) {
  std::set<std::string> items;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    if (!item.empty()) items.insert(item);
  }
  return items;
}

std::string MachineLine() {
  utsname u{};
  uname(&u);
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line, model = "unknown CPU";
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  return model + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, Linux " +
         u.release;
}

std::string Today() {
  const std::time_t now = std::time(nullptr);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", std::localtime(&now));
  return text;
}

struct Arguments {
  Config config;
  std::set<std::string> sections = {"commands", "stream", "split", "recording", "latency", "scope"};
  std::string out;
  // strace driver mode
  std::string driver, op;
  unsigned port = 0;
  long count = 0;
};

bool Parse(int argc, char** argv, Arguments* a) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    const auto value = [&] { return std::string(argv[++i]); };
    if (arg == "--quick") {
      a->config.scale = 0.25;
    } else if (arg == "--scale" && has_value) {
      a->config.scale = std::atof(value().c_str());
    } else if (arg == "--only" && has_value) {
      a->sections = SplitList(value());
    } else if (arg == "--tmp" && has_value) {
      a->config.temp_dir = value();
    } else if (arg == "--stream-seconds" && has_value) {
      a->config.stream_seconds = std::atof(value().c_str());
    } else if (arg == "--modules" && has_value) {
      a->config.module_counts.clear();
      for (const std::string& n : SplitList(value()))
        a->config.module_counts.push_back(std::atoi(n.c_str()));
    } else if (arg == "--sim" && has_value) {
      a->config.sim_executable = value();
    } else if (arg == "--out" && has_value) {
      a->out = value();
    } else if (arg == "--driver" && has_value) {
      a->driver = value();
    } else if (arg == "--op" && has_value) {
      a->op = value();
    } else if (arg == "--port" && has_value) {
      a->port = static_cast<unsigned>(std::atoi(value().c_str()));
    } else if (arg == "--count" && has_value) {
      a->count = std::atol(value().c_str());
    } else {
      return false;
    }
  }
  return a->config.scale > 0.0;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments a;
  a.config.self = SelfPath();
  a.config.sim_executable = KR2270_SIM_EXE;
  a.config.tool_executable = KR2270_TOOL_EXE;
  a.config.temp_dir = "/tmp/kr2270-bench";
  if (argc == 2 && std::string(argv[1]) == "--help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (!Parse(argc, argv, &a)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (!a.driver.empty()) return kr2270::bench::RunCommandDriver(a.driver, a.op, a.port, a.count);
  mkdir(a.config.temp_dir.c_str(), 0755);

  const double started = kr2270::bench::NowSeconds();
  const double load_before = kr2270::bench::LoadAverage();
  Report report;
  const struct {
    const char* name;
    void (*run)(const Config&, Report&);
  } sections[] = {{"commands", kr2270::bench::RunCommandSection},
                  {"split", kr2270::bench::RunSplitSection},
                  {"stream", kr2270::bench::RunStreamSection},
                  {"latency", kr2270::bench::RunLatencySection},
                  {"recording", kr2270::bench::RunRecordingSection},
                  {"scope", kr2270::bench::RunScopeSection}};
  for (const auto& s : sections) {
    if (a.sections.count(s.name) == 0) continue;
    std::fprintf(stderr, "kr2270-bench: %s ...\n", s.name);
    s.run(a.config, report);
  }

  std::string text = "# kr2270c benchmark, " + Today() + "\n\n" + MachineLine() + "\n\n";
  text += kr2270::bench::RenderTable(report.rows) + "\n";
  for (const std::string& note : report.notes) text += "- " + note + "\n";
  char tail[160];
  std::snprintf(tail, sizeof tail,
                "- Load average (1 min) %.2f before, %.2f after; %.0f s in all\n", load_before,
                kr2270::bench::LoadAverage(), kr2270::bench::NowSeconds() - started);
  text += tail;
  std::fputs(text.c_str(), stdout);
  if (!a.out.empty()) std::ofstream(a.out) << text;
  int shorts = 0;
  for (const auto& row : report.rows)
    shorts += kr2270::bench::VerdictOf(row) == kr2270::bench::Verdict::kShort;
  return shorts == 0 ? 0 : 1;
}
