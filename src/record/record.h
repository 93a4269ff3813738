// A practice record: every blow of a practice with its sensor and key times, and the
// zeroings, as the record file holds them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace strikewell {

// The record file's first line.
inline constexpr const char* kRecordHeading = "blow,sensor_ms,key_ms,key";

// One line of a record. Times are whole milliseconds since the sensor time of the record's
// first blow.
struct RecordLine {
  bool zeroed = false;  // "# zeroed": the ringer pressed "0"; the other fields are unused
  int32_t blow = 0;
  int64_t sensor_ms = 0;
  int64_t key_ms = 0;
  bool sent = false;
  bool keyless = false;  // counted without Ringing Room: no key was meant to be sent

  bool operator==(const RecordLine&) const = default;
};

using PracticeRecord = std::vector<RecordLine>;

// The line before the heading in the record of a simulated bell, so that it never passes
// for a real practice.
inline constexpr const char* kSimulatedMark = "# simulated bell";

// The line as the file holds it, without its line end: "12,9600,9850,sent" (or "dropped",
// or "none" when counting only) or "# zeroed".
std::string RecordLineText(const RecordLine& line);

// Reads one line (without its line end) into `line`. Returns "" when it is a record line,
// otherwise what is wrong, to follow "Line N of FILE ".
std::string ParseRecordLine(const std::string& text, RecordLine& line);

// The text quoted in a sentence: at most 30 characters, anything but printable ASCII as "?".
std::string Quoted(const std::string& text);

}  // namespace strikewell
