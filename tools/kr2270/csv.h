// CSV output of converted groups. A file is written as FILE.partial and
// renamed only once complete, so a failed run leaves nothing that looks done.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "stream.h"

namespace kr2270::tool {

struct CsvOutput {
  std::string path;     // as given; "-" is standard output
  std::string partial;  // where rows go until CommitCsv
  std::FILE* file = nullptr;
  bool codes = false;   // add a raw-code column per analog channel
  std::string pending;  // formatted rows not yet handed to the file
  bool committed = false;
  ~CsvOutput();  // an uncommitted file is removed
};

bool IsStdout(const std::string& path);

// Opens FILE.partial (or standard output); throws when it cannot be created.
std::unique_ptr<CsvOutput> OpenCsv(const std::string& path, bool codes);

void WriteCsvHeader(CsvOutput& csv, const StreamSelection& selection);
void WriteCsvRows(CsvOutput& csv, const StreamSelection& selection, const GroupBatch& batch,
                  std::int64_t first_index);

// Flushes, closes and renames into place; throws when any write failed.
void CommitCsv(CsvOutput& csv);

// Flushes and closes but leaves the rows under FILE.partial: for runs whose
// data has gaps. Returns the name the rows are under.
std::string KeepCsvPartial(CsvOutput& csv);

}  // namespace kr2270::tool
