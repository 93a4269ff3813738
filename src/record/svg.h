// A picture of a practice's intervals, as SVG text that any web browser shows.
#pragma once

#include <string>

#include "record/record.h"

namespace strikewell {

// 800 by 400 pixels: the interval ending at each blow, handstroke and backstroke gaps as two
// series with their means dashed, and a line where the ringer zeroed and started again.
// stamp: the record's start, YYYYMMDD-HHMMSS, for the title ("" leaves the date out).
std::string PracticeSvg(const PracticeRecord& record, const std::string& stamp);

// The stamp in a record file's name (strikewell-YYYYMMDD-HHMMSS....csv), or "".
std::string StampOfFileName(const std::string& path);

}  // namespace strikewell
