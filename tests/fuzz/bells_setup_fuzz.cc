// The set-up file of several bells: whatever it holds, reading it ends in a set-up
// that the program can ring or in one printable sentence, a damaged file leaves the
// set-up as it was, and a set-up read from it is written back to text that reads as
// the same set-up.
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "settings/bells_setup.h"

namespace {

using strikewell::BellsSetup;
using strikewell::BellsText;

bool IsPrintable(const std::string& text) {
  for (const char ch : text) {
    if (ch < ' ' || ch > '~') return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const BellsSetup before{.ComPortName = "before", .convention = true, .bells = {{.bell = 9}}};
  BellsSetup setup = before;
  const BellsText text = strikewell::ParseBellsText(bytes, setup, "bells.ini");
  if (!text.malformed.empty()) {
    FUZZ_CHECK(text.held_anything);
    FUZZ_CHECK(IsPrintable(text.malformed));
    FUZZ_CHECK(text.malformed.size() < 400);
    FUZZ_CHECK(setup == before);
    return 0;
  }
  if (!text.held_anything) {
    FUZZ_CHECK(setup == before);
    return 0;
  }
  // What the counting loop relies on: 1 to 16 bells, each number and source once.
  FUZZ_CHECK(!setup.ComPortName.empty());
  FUZZ_CHECK(!setup.bells.empty() && setup.bells.size() <= 16);
  std::set<int32_t> numbers;
  for (const strikewell::BellSetup& bell : setup.bells) {
    FUZZ_CHECK(bell.bell >= 1 && bell.bell <= 16);
    FUZZ_CHECK(bell.SensorNum >= 1 && bell.SensorNum <= 16);
    FUZZ_CHECK(numbers.insert(bell.bell).second);
  }
  BellsSetup again;
  const BellsText reread =
      strikewell::ParseBellsText(strikewell::BellsFileText(setup), again, "bells.ini");
  FUZZ_CHECK(reread.malformed.empty());
  FUZZ_CHECK(again == setup);
  return 0;
}
