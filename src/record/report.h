// Report mode: the summary and the picture of a record file written earlier.
#pragma once

#include <string>

#include "record/record.h"

namespace strikewell {

struct RecordFileRead {
  PracticeRecord record;
  std::string error;       // "" or the sentence saying why the file is no record
  std::string note;        // "" or a sentence about a last line cut short, which is left out
  bool simulated = false;  // the record of a simulated bell
};

// Reads a record file strictly: the heading (after the simulated bell's mark in its
// record), then blow lines and zeroing lines, with LF or
// CR LF line ends. A last line without its line end that does not read is taken as cut short
// by a crash, not as a fault of the file.
RecordFileRead ReadRecordFile(const std::string& path);

// Reads the record at csv_path, puts its summary (or why there is none) and where its
// picture went into out, and writes the picture beside it, the .csv replaced by .svg.
// Returns the exit status: 0, or 1 with one sentence in err when the file is no readable
// record or the picture cannot be written.
int RunReport(const std::string& csv_path, std::string& out, std::string& err);

}  // namespace strikewell
