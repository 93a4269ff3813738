// The settings file's bytes: whatever a file holds, reading it ends in a record or in
// one printable sentence about the line that is wrong, a malformed file leaves the
// record as it was, the file reader agrees with the parser of bytes in memory, and a
// record read back after writing is the same record.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

#include "fake_clock.h"
#include "fake_console.h"
#include "fuzz_check.h"
#include "settings/settings.h"

namespace {

using strikewell::Settings;
using strikewell::SettingsOutcome;
using strikewell::SettingsText;

// A record unlike any that a short file gives, so that fields left alone show.
const Settings kBefore{"before", true, false, true, false, true, 7, 3, -5};

bool IsPrintable(const std::string& text) {
  for (const char ch : text) {
    if (ch < ' ' || ch > '~') return false;
  }
  return true;
}

// The file reader over the same bytes, through a file on a memory file system.
void CheckFileReaderAgrees(std::string_view bytes, const SettingsText& parsed,
                           const Settings& parsed_record) {
  // One folder per fuzzing process (several may run at once), removed at exit.
  static const struct ScratchDir {
    ScratchDir() { std::filesystem::create_directories(path); }
    ~ScratchDir() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
    const std::filesystem::path path =
        (std::filesystem::exists("/dev/shm") ? std::filesystem::path("/dev/shm")
                                             : std::filesystem::temp_directory_path()) /
        ("strikewell-fuzz-settings-" + std::to_string(std::random_device()()));
  } dir;
  const std::string path = (dir.path / strikewell::kSettingsFileName).string();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
  FUZZ_CHECK(std::fclose(file) == 0);

  strikewell::testing::FakeClock clock;
  strikewell::testing::FakeRawConsole raw(clock);
  strikewell::Console console(raw, clock);
  raw.Type("y");
  Settings read = kBefore;
  const SettingsOutcome outcome = strikewell::ReadSettings(read, console, path);
  const bool usable = parsed.held_anything && parsed.malformed.empty();
  FUZZ_CHECK((outcome == SettingsOutcome::UseStored) == usable);
  FUZZ_CHECK(read == parsed_record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Settings read = kBefore;
  const SettingsText text = strikewell::ParseSettingsText(bytes, read, "f.ini");
  FUZZ_CHECK(text.held_anything == (size > 0));

  // Files of ordinary size go through the file reader too; huge ones would only
  // slow the search down.
  if (size <= 4096) CheckFileReaderAgrees(bytes, text, read);

  if (!text.malformed.empty()) {
    FUZZ_CHECK(read == kBefore);
    FUZZ_CHECK(text.malformed.starts_with("Line "));
    FUZZ_CHECK(text.malformed.ends_with(", so the stored calibration cannot be used."));
    // The sentence goes to the console: junk in the file must not reach it.
    FUZZ_CHECK(IsPrintable(text.malformed));
    FUZZ_CHECK(text.malformed.size() < 250);
    return 0;
  }

  FUZZ_CHECK(read.ComPortName.size() <= 255);
  FUZZ_CHECK(read.ComPortName.find_first_of("\r\n") == std::string::npos);

  const std::string written = strikewell::SettingsFileText(read);
  Settings again;
  const SettingsText reread = strikewell::ParseSettingsText(written, again, "f.ini");
  FUZZ_CHECK(reread.held_anything);
  FUZZ_CHECK(reread.malformed.empty());
  Settings expected = read;
  if (!expected.UseDat) expected.UseDatNum = 0;
  FUZZ_CHECK(again == expected);
  FUZZ_CHECK(strikewell::SettingsFileText(again) == written);
  return 0;
}
