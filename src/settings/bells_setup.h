// The set-up of several bells on one port (a handbell pair, a tower's simulator) and
// the plain text file that keeps it beside the single bell's settings file, which it
// leaves alone: a ringer can go back and forth between one bell and several.
//
// The file, one item per line, each ended by CR LF; a line that starts with "#" and
// an empty line say nothing, so the ringer can add notes:
//
//   port \\.\COM3
//   convention no
//   bell 1 cts pulses 1 delay 250 left
//   bell 2 dsr pulses 1 delay 240 right
//
// - "port" and the device path of the port, as in the settings file.
// - "convention yes" when the box follows the multi-bell convention (each bell's own
//   character: 1-9, 0, E, T for bells 1-12, A-D for 13-16), else "convention no".
// - One "bell" line per bell, in any order: its number (1 to 16); its source, one of
//   the modem lines "cts", "dsr", "cd", "ri", or "char" and the one character the box
//   sends for it (a character that cannot be shown is written "code" and its number,
//   0 to 255); "pulses" and the sensor events that make one of its blows (1 to 16);
//   "delay" and its bell delay in milliseconds; for a pair, "left" or "right": the
//   hand the bell is rung with, whose key is f for the left hand and j for the right.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace strikewell {

inline constexpr const char* kBellsFileName = "bells_strikewell.ini";
inline constexpr int32_t kMostBellsOnAPort = 16;
inline constexpr int32_t kMaxSensorsPerBell = 16;

// Where a bell's sensor events come from: a modem-status line of the port, or one
// character on its receive line.
enum class BellSource { kCts, kDsr, kCd, kRi, kChar };

// The hand a bell of a pair is rung with.
enum class Hand { kNone, kLeft, kRight };

struct BellSetup {
  int32_t bell = 0;  // 1..16
  BellSource source = BellSource::kCts;
  uint8_t character = 0;  // for BellSource::kChar
  int32_t SensorNum = 1;
  int32_t BellDelay = 0;
  Hand hand = Hand::kNone;

  bool operator==(const BellSetup&) const = default;
};

struct BellsSetup {
  std::string ComPortName;  // device path, "\\.\" + port name
  bool convention = false;  // the box follows the multi-bell convention
  std::vector<BellSetup> bells;

  bool operator==(const BellsSetup&) const = default;
};

// What the bytes of a set-up file hold.
struct BellsText {
  // False for a file with nothing but notes and empty lines.
  bool held_anything = false;
  // The sentence about the first line that cannot be part of a set-up, or empty.
  std::string malformed;
};

// Reads the bytes of a set-up file into setup; `path` names the file in the sentence
// about a damaged line. A damaged file leaves setup as it was.
BellsText ParseBellsText(std::string_view bytes, BellsSetup& setup,
                         const std::string& path = kBellsFileName);

// The lines that WriteBellsFile puts in the file: a few lines of notes on the format,
// then the port, the convention and the bells in the order of setup.
std::string BellsFileText(const BellsSetup& setup);

enum class BellsFileState {
  kMissing,  // no such file, or one with nothing in it: no set-up yet
  kRead,     // setup holds the file's set-up
  kDamaged,  // the sentence says which line and why; setup is as it was
};

// Reads the file into setup; a missing file is not made. Throws SettingsFileError
// when the file is there but cannot be read.
BellsFileState ReadBellsFile(BellsSetup& setup, std::string& sentence,
                             const std::string& path = kBellsFileName);

// Replaces the file with BellsFileText(setup) in one step. Throws SettingsFileError,
// leaving the old file as it was.
void WriteBellsFile(const BellsSetup& setup, const std::string& path = kBellsFileName);

// The character a box that follows the multi-bell convention sends for a bell, or 0
// for a number outside 1..16.
char ConventionCharacter(int32_t bell);

// The bell that a convention character names, or 0 when it names none.
int32_t ConventionBell(uint8_t character);

}  // namespace strikewell
