// A practice record: every blow of a practice with its sensor and key times, and the
// zeroings, as the record file holds them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "record/practice_log.h"

namespace strikewell {

// The record file's first line.
inline constexpr const char* kRecordHeading = "blow,sensor_ms,key_ms,key";
// The first line of a record of ringing through the tower's connection, whose sent
// blows also name the stroke they rang as.
inline constexpr const char* kRecordHeadingWithStrokes = "blow,sensor_ms,key_ms,key,stroke";
// The first line of the record of several bells, whose blow lines end in the bell's
// number; blow is then that bell's count.
inline constexpr const char* kBellsRecordHeading = "blow,sensor_ms,key_ms,key,bell";
// Several bells rung through the tower's connection: each sent blow's stroke, then
// its bell.
inline constexpr const char* kBellsRecordHeadingWithStrokes =
    "blow,sensor_ms,key_ms,key,stroke,bell";

// One line of a record. Times are whole milliseconds since the sensor time of the record's
// first blow.
struct RecordLine {
  bool zeroed = false;  // "# zeroed": the ringer pressed "0"; the other fields are unused
  int32_t blow = 0;
  int64_t sensor_ms = 0;
  int64_t key_ms = 0;
  bool sent = false;
  bool keyless = false;  // counted without Ringing Room: no key was meant to be sent
  Stroke stroke = Stroke::kUnknown;
  // Not 0: "# disagreed bell N", the tower's server said a stroke of bell N disagreed
  // with its state, so another client rang it too; the other fields are unused.
  int32_t disagreed_bell = 0;
  // Not 0: "# not in the tower bell N", the blow before it was dropped because the tower
  // has no bell N (a box of more bells than the tower); the other fields are unused.
  int32_t lacking_bell = 0;
  int32_t bell = 0;  // 1..16 in the record of several bells; 0 for the single bell

  bool operator==(const RecordLine&) const = default;
};

using PracticeRecord = std::vector<RecordLine>;

// The line before the heading in the record of a simulated bell, so that it never passes
// for a real practice.
inline constexpr const char* kSimulatedMark = "# simulated bell";

// The line as the file holds it, without its line end: "12,9600,9850,sent" (or "dropped",
// or "none" when counting only), "12,9600,9850,sent,hand" (a known stroke), "# zeroed" or
// "# disagreed bell 4"; a blow of one of several bells ends in its number,
// "12,9600,9850,sent,3".
std::string RecordLineText(const RecordLine& line);

// Reads one line (without its line end) into `line`: a blow line with a bell when
// with_bell (a record of several bells), without one otherwise. Returns "" when it is a
// record line, otherwise what is wrong, to follow "Line N of FILE ".
std::string ParseRecordLine(const std::string& text, RecordLine& line, bool with_bell = false);

// The text quoted in a sentence: at most 30 characters, anything but printable ASCII as "?".
std::string Quoted(const std::string& text);

}  // namespace strikewell
