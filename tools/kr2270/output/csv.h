// CSV output of converted groups. Rows are written by a thread of their
// own, so that a slow reader of a pipe never holds up the acquisition. A
// file is written as FILE.partial, created new (never through a link or
// over a file already there), and moved to FILE in one step once the run is
// over, complete or not; only a run that never started leaves nothing
// behind. An existing FILE is replaced only when asked to (--overwrite).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "run/stream.h"

namespace kr2270::tool {

struct CsvOutput {
  std::string path;     // as given; "-" is standard output
  std::string partial;  // where rows go until FinishCsv
  std::FILE* file = nullptr;
  bool codes = false;   // add a raw-code column per analog channel
  // The timeline index the next row has when no group is missing before
  // it; a replay that starts inside a recording leaves it unset, and its
  // first row takes its own index less `missing_before_first`.
  std::optional<std::uint64_t> next_index = 0;
  std::uint64_t missing_before_first = 0;
  bool overwrite = false;  // FILE and a stale FILE.partial may be replaced
  bool keep = false;    // set once rows matter: the file then outlives errors
  bool finished = false;
  std::string pending;  // formatted rows not yet handed to the writer
  std::int64_t rows = 0;

  // Shared with the writer thread, under `lock`.
  std::mutex lock;
  std::condition_variable changed;
  std::deque<std::string> chunks;
  std::size_t queued_bytes = 0;
  bool closing = false;
  int error = 0;  // system error of the first failed write, 0 while all is well
  std::thread writer;

  ~CsvOutput();  // a file never kept is removed
};

bool IsStdout(const std::string& path);

// Creates FILE.partial (or takes standard output) and starts its writer.
// Throws a usage error when FILE exists and `overwrite` is not given, and
// an error when FILE.partial cannot be created (a stale one is removed
// first only with `overwrite`).
std::unique_ptr<CsvOutput> OpenCsv(const std::string& path, bool codes, bool overwrite);

void WriteCsvHeader(CsvOutput& csv, const StreamSelection& selection);
// A row per output: its time from its timeline index, and in the gap column
// the groups missing just before it (the jump of the index over the one
// the row before leads to expect).
void WriteCsvRows(CsvOutput& csv, const StreamSelection& selection, const GroupBatch& batch);

// Rows of one capture, whose groups carry timeline indices (the same
// dialect): time_s is seconds from the trigger group (negative before it),
// and the gap column the indices missing just before the row.
void WriteCsvCaptureRows(CsvOutput& csv, const StreamSelection& selection, const GroupBatch& batch,
                         std::uint64_t trigger_index);

// Text of the caller's own (a header, a summary row), in order with the rows.
void WriteCsvText(CsvOutput& csv, const std::string& text);

// The system error of the first failed write, 0 when none failed yet.
int CsvError(CsvOutput& csv);

// Hands every row to the writer, waits for it, closes the file and moves
// it into place. Returns the system error of the first failed write or of
// the move (EEXIST: FILE appeared meanwhile and `overwrite` was not given);
// the rows that reached the file stay there either way, in FILE.partial
// when the move failed.
int FinishCsv(CsvOutput& csv);

}  // namespace kr2270::tool
