// The practice as counting reports it: kept in memory for the summary and, when asked,
// written line by line to a record file as it happens.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "record/practice_log.h"
#include "record/record.h"

namespace strikewell {

class Practice : public PracticeLog {
 public:
  Practice() = default;
  ~Practice() override;
  Practice(const Practice&) = delete;
  Practice& operator=(const Practice&) = delete;

  // Before the first entry: also writes every entry, as it comes, to a new record file
  // strikewell-STAMP.csv in dir, making dir and its parents if missing. stamp is the local
  // start time, YYYYMMDD-HHMMSS (Clock::LocalStamp). The record of a simulated bell says so
  // in its name (strikewell-STAMP-simulated.csv) and in its first line. with_strokes: the
  // blows will name their strokes (the tower's connection). A record of several bells
  // (several_bells) has the heading whose lines name the bell. Returns "" or, when dir
  // cannot be made or written, the sentence to show the ringer.
  std::string OpenFile(const std::string& dir, const std::string& stamp, bool simulated = false,
                       bool with_strokes = false, bool several_bells = false);

  // Once the way to ring is chosen, before the first entry: the heading names the
  // strokes when the blows will (a tower rung directly), whatever OpenFile was told.
  // Returns "" or the sentence to show the ringer.
  std::string NameStrokes(bool with_strokes);

  void Blow(const BlowLine& line) override;
  void Zeroed() override;
  void Disagreed(int32_t bell) override;
  void NotInTower(int32_t bell) override;

  const PracticeRecord& record() const { return record_; }
  // The record file's path; "" when there is none.
  const std::string& file_path() const { return path_; }
  // "" while every entry has reached the file; otherwise the sentence to show the ringer
  // (the entries stay in memory, the file stops at the line that failed).
  const std::string& file_error() const { return file_error_; }

 private:
  void Add(const RecordLine& line);

  PracticeRecord record_;
  std::optional<int64_t> first_sensor_us_;
  std::FILE* file_ = nullptr;
  std::string path_;
  std::string file_error_;
  bool simulated_ = false;
  bool with_strokes_ = false;
  bool several_bells_ = false;
};

}  // namespace strikewell
