// The terminal key decoder, fed bytes with quiet gaps between some of them: it never
// makes more keys than it was given bytes, a quiet gap always ends a held sequence, a
// plain character typed outside a sequence is that character, and no two-part key has
// the code 0 (which would read as a key of its own).
#include <cstddef>
#include <cstdint>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_check.h"
#include "platform/key_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  strikewell::KeyDecoder decoder;
  size_t bytes_fed = 0;
  size_t keys = 0;
  const auto drain = [&decoder, &keys] {
    size_t new_keys = 0;
    while (const auto key = decoder.Next()) {
      FUZZ_CHECK(!key->extended || key->code != 0);
      ++new_keys;
    }
    keys += new_keys;
    return new_keys;
  };

  while (input.remaining_bytes() > 0) {
    // About one step in eight is a pause long enough to tell a lone Escape.
    if (input.ConsumeIntegralInRange(0, 7) == 0) {
      decoder.QuietGap();
      FUZZ_CHECK(!decoder.InSequence());
      drain();
    } else {
      const uint8_t byte = input.ConsumeIntegral<uint8_t>();
      const bool plain = !decoder.InSequence() && byte >= 0x20 && byte <= 0x7E;
      decoder.Feed(byte);
      ++bytes_fed;
      if (plain) {
        const auto key = decoder.Next();
        FUZZ_CHECK(key.has_value() && !key->extended && key->code == byte);
        FUZZ_CHECK(!decoder.InSequence());
        ++keys;
      }
      drain();
    }
    FUZZ_CHECK(keys <= bytes_fed);
  }
  decoder.QuietGap();
  drain();
  FUZZ_CHECK(keys <= bytes_fed);
  return 0;
}
