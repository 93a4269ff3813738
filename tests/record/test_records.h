// Records written out by hand for the record tests; files and folders come from the
// shared test support.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "file_text.h"
#include "record/record.h"
#include "temp_dir.h"

namespace strikewell::testing {

// Blows counted 1, 2, 3, ... at these sensor times; every key 250 ms later and sent.
inline PracticeRecord Piece(std::initializer_list<int64_t> sensor_ms) {
  PracticeRecord record;
  for (const int64_t ms : sensor_ms) {
    record.push_back(RecordLine{.blow = static_cast<int32_t>(record.size()) + 1,
                                .sensor_ms = ms,
                                .key_ms = ms + 250,
                                .sent = true});
  }
  return record;
}

// first, the ringer's "0", then second.
inline PracticeRecord Zeroed(PracticeRecord first, const PracticeRecord& second) {
  first.push_back(RecordLine{.zeroed = true});
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

}  // namespace strikewell::testing
