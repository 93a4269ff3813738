// The settings record and the file that keeps it between runs.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/console.h"

namespace strikewell {

struct Settings {
  std::string ComPortName;  // device path, "\\.\" + port name
  bool UseCts = false;
  bool UseDsr = false;
  bool UseCd = false;
  bool UseRi = false;
  bool UseDat = false;
  uint8_t UseDatNum = 0;
  int32_t SensorNum = 0;
  int32_t BellDelay = 0;

  bool operator==(const Settings&) const = default;
};

inline constexpr const char* kSettingsFileName = "serialport_strikewell.ini";

// The file cannot be read, created or written: not an orderly end.
class SettingsFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class SettingsOutcome { Calibrate, UseStored };

// Reads the file into settings (creating it empty when missing) and, when it held
// a calibration, asks whether to use it. A line that is not a number of its field
// (or a port name too long to be one) is reported in one sentence and the file is
// taken as holding no calibration: Calibrate, no question, settings unchanged.
// Throws SettingsFileError.
SettingsOutcome ReadSettings(Settings& settings, Console& console,
                             const std::string& path = kSettingsFileName);

struct SettingsText;

// Reads the file into settings as ReadSettings does, but asks nothing and never creates
// the file: for a run that must leave it as it found it. A missing file holds nothing.
// Throws SettingsFileError when the file is there but cannot be read.
SettingsText PeekSettings(Settings& settings, const std::string& path = kSettingsFileName);

// What the bytes of a settings file hold.
struct SettingsText {
  // False for an empty file: there is nothing to offer the ringer.
  bool held_anything = false;
  // The sentence about the first line that cannot be part of a calibration, or empty.
  std::string malformed;
};

// Reads the bytes of a settings file into settings, field by field, as ReadSettings
// reads the file (the question aside); `path` names the file in the sentence about a
// malformed line. A malformed line leaves settings as it was.
SettingsText ParseSettingsText(std::string_view bytes, Settings& settings,
                               const std::string& path = kSettingsFileName);

// The nine lines, each ended by CR LF, that WriteSettings puts in the file.
std::string SettingsFileText(const Settings& settings);

// Replaces the file with the record's nine lines, through a file beside it (path +
// ".tmp") that is renamed over it: the file always holds either the old lines or the
// new ones. Throws SettingsFileError, leaving the old file as it was.
void WriteSettings(const Settings& settings, const std::string& path = kSettingsFileName);

}  // namespace strikewell
