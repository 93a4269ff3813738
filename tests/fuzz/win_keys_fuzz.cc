// The Windows key-event translator, fed any sequence of key records: a release gives
// a key only when it is Alt's and ends an Alt+keypad composition, a modifier pressed
// alone gives none, nor does a keypad digit pressed with Alt (it is being composed),
// and no event gives more than one key.
#include <cstddef>
#include <cstdint>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"
#include "platform/win_keys.h"

namespace {

namespace win = strikewell::win;

bool IsAlt(uint16_t vk) { return vk == win::kVkMenu || vk == win::kVkLMenu || vk == win::kVkRMenu; }

bool IsModifier(uint16_t vk) {
  return vk == win::kVkShift || vk == win::kVkControl || vk == win::kVkMenu ||
         vk == win::kVkCapital || vk == win::kVkNumLock || vk == win::kVkScroll ||
         (vk >= win::kVkLShift && vk <= win::kVkRMenu);
}

// Scan codes of the numeric keypad's digit keys.
bool IsKeypadDigitScan(uint16_t scan) {
  return (scan >= 71 && scan <= 73) || (scan >= 75 && scan <= 77) || (scan >= 79 && scan <= 82);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  strikewell::WinKeyTranslator translator;
  bool alt_digits_since_alt_release = false;
  while (input.remaining_bytes() > 0) {
    strikewell::WinKeyRecord record;
    record.key_down = input.ConsumeBool();
    // Mostly the keys and flags that matter, sometimes anything at all.
    if (input.ConsumeBool()) {
      record.virtual_key = input.ConsumeIntegralInRange<uint16_t>(0, 0xA5);
      record.scan_code = input.ConsumeIntegralInRange<uint16_t>(0, 90);
      record.control_state = input.ConsumeIntegralInRange<uint32_t>(0, 0x1FF);
    } else {
      record.virtual_key = input.ConsumeIntegral<uint16_t>();
      record.scan_code = input.ConsumeIntegral<uint16_t>();
      record.control_state = input.ConsumeIntegral<uint32_t>();
    }
    record.ch = input.ConsumeIntegral<uint8_t>();

    const bool alt = (record.control_state & (win::kLeftAltPressed | win::kRightAltPressed)) != 0;
    const bool ctrl =
        (record.control_state & (win::kLeftCtrlPressed | win::kRightCtrlPressed)) != 0;
    const bool composing_digit =
        record.key_down && alt && !ctrl && !(record.control_state & win::kEnhancedKey) &&
        IsKeypadDigitScan(record.scan_code) && !IsModifier(record.virtual_key);

    const auto key = translator.Translate(record);
    if (!record.key_down) {
      // Only the release of Alt after keypad digits delivers the composed character.
      if (key) {
        FUZZ_CHECK(IsAlt(record.virtual_key));
        FUZZ_CHECK(alt_digits_since_alt_release);
        FUZZ_CHECK(!key->extended);
      }
    } else if (IsModifier(record.virtual_key) || composing_digit) {
      FUZZ_CHECK(!key);
    }
    if (composing_digit) alt_digits_since_alt_release = true;
    if (!record.key_down && IsAlt(record.virtual_key)) alt_digits_since_alt_release = false;
    // Any other key pressed in between ends the composition.
    if (record.key_down && !composing_digit && !IsModifier(record.virtual_key)) {
      alt_digits_since_alt_release = false;
    }
  }
  return 0;
}
