#include "settings/bells_setup.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/shared_text.h"
#include "settings/file_replace.h"
#include "settings/number.h"
#include "settings/settings.h"

namespace strikewell {
namespace {

// A set-up of sixteen bells with notes is a few kilobytes; a larger file is not
// one, and reading it whole must not fill memory.
constexpr size_t kLargestFile = 64 * 1024;
// No real device path comes near this.
constexpr size_t kLongestPortName = 255;

constexpr std::array<const char*, 4> kLineNames = {"cts", "dsr", "cd", "ri"};

// The convention's characters for bells 1 to 16.
constexpr std::string_view kConventionCharacters = "1234567890ETABCD";

// A character that the file can hold after "char": printable, not a blank.
bool Showable(uint8_t ch) { return ch > ' ' && ch < 127; }

std::string SourceText(const BellSetup& bell) {
  if (bell.source != BellSource::kChar) return kLineNames[static_cast<size_t>(bell.source)];
  if (Showable(bell.character)) return std::string("char ") + static_cast<char>(bell.character);
  return "code " + std::to_string(bell.character);
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    const size_t start = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
    if (at > start) words.push_back(line.substr(start, at - start));
  }
  return words;
}

struct Damaged {
  std::string sentence;
};

// Reads the file's lines one by one, with the line number for what goes wrong.
class SetupReader {
 public:
  explicit SetupReader(const std::string& path) : path_(path) {}

  void Line(int number, std::string_view line) {
    line_ = number;
    const std::vector<std::string_view> words = Words(line);
    if (words.empty() || words[0].front() == '#') return;
    held_anything_ = true;
    if (words[0] == "port") {
      Port(words);
    } else if (words[0] == "convention") {
      Convention(words);
    } else if (words[0] == "bell") {
      Bell(words);
    } else {
      Fail("begins with \"" + Printable(words[0]) + "\", which is not port, convention or bell");
    }
  }

  // What the lines said, once they all agree with one another.
  BellsSetup Finish() {
    if (!port_line_) Whole("names no port");
    if (setup_.bells.empty()) Whole("holds no bell");
    if (setup_.bells.size() == 2) {
      for (size_t i = 0; i < 2; ++i) {
        const BellSetup& bell = setup_.bells[i];
        line_ = bell_lines_[i];
        if (bell.hand == Hand::kNone) {
          Fail("gives bell " + std::to_string(bell.bell) +
               " no hand, and each bell of a pair needs left or right");
        }
      }
      if (setup_.bells[0].hand == setup_.bells[1].hand) {
        line_ = bell_lines_[1];
        Fail("puts both bells of the pair in the same hand");
      }
    } else {
      for (size_t i = 0; i < setup_.bells.size(); ++i) {
        if (setup_.bells[i].hand == Hand::kNone) continue;
        line_ = bell_lines_[i];
        Fail("gives bell " + std::to_string(setup_.bells[i].bell) +
             " a hand, which only the bells of a pair have");
      }
    }
    if (setup_.convention) {
      for (size_t i = 0; i < setup_.bells.size(); ++i) {
        const BellSetup& bell = setup_.bells[i];
        line_ = bell_lines_[i];
        if (bell.source != BellSource::kChar ||
            bell.character != static_cast<uint8_t>(ConventionCharacter(bell.bell))) {
          Fail(std::string("puts bell ") + std::to_string(bell.bell) + " on " + SourceText(bell) +
               ", but a box that follows the convention sends \"" + ConventionCharacter(bell.bell) +
               "\" for it");
        }
      }
    }
    return setup_;
  }

  bool held_anything() const { return held_anything_; }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw Damaged{"Line " + std::to_string(line_) + " of " + path_ + " " + what +
                  ", so the stored set-up of several bells cannot be used."};
  }

  [[noreturn]] void Whole(const std::string& what) const {
    throw Damaged{path_ + " " + what + ", so the stored set-up of several bells cannot be used."};
  }

  void Port(const std::vector<std::string_view>& words) {
    if (port_line_) Fail("names a port again");
    if (words.size() != 2) Fail("holds no port name, or one with blanks in it");
    if (words[1].size() > kLongestPortName) Fail("holds a port name far too long to be one");
    setup_.ComPortName = std::string(words[1]);
    port_line_ = line_;
  }

  void Convention(const std::vector<std::string_view>& words) {
    if (words.size() != 2 || (words[1] != "yes" && words[1] != "no")) {
      Fail("should say \"convention yes\" or \"convention no\"");
    }
    setup_.convention = words[1] == "yes";
  }

  int32_t Number(std::string_view word, NumberRange range, const std::string& what) const {
    const std::optional<int64_t> value = ParseNumber(word, NumberEnd::WholeText, range);
    if (!value) {
      Fail("holds \"" + Printable(word) + "\" for " + what + ", which is not a whole number from " +
           std::to_string(range.min) + " to " + std::to_string(range.max));
    }
    return static_cast<int32_t>(*value);
  }

  void Bell(const std::vector<std::string_view>& words) {
    constexpr const char* kForm =
        "is not of the form \"bell 1 cts pulses 1 delay 250\" (or \"char 1\" for a line)";
    if (setup_.bells.size() == static_cast<size_t>(kMostBellsOnAPort)) {
      Fail("names a 17th bell, and strikewell rings at most 16");
    }
    size_t at = 1;
    const auto next = [&]() -> std::string_view {
      if (at >= words.size()) Fail(kForm);
      return words[at++];
    };
    BellSetup bell;
    bell.bell = Number(next(), {1, kMostBellsOnAPort, false}, "the bell's number");
    const std::string_view source = next();
    bool known_source = false;
    for (size_t i = 0; i < kLineNames.size(); ++i) {
      if (source != kLineNames[i]) continue;
      bell.source = static_cast<BellSource>(i);
      known_source = true;
    }
    if (source == "char") {
      const std::string_view character = next();
      if (character.size() != 1) {
        Fail("holds \"" + Printable(character) + "\" for the box's character, which is not one");
      }
      bell.source = BellSource::kChar;
      bell.character = static_cast<uint8_t>(character[0]);
    } else if (source == "code") {
      bell.source = BellSource::kChar;
      bell.character = static_cast<uint8_t>(Number(next(), kCharCodeRange, "the character code"));
    } else if (!known_source) {
      Fail("holds \"" + Printable(source) + "\" for the sensor, which is not cts, dsr, cd, ri, " +
           "char or code");
    }
    if (next() != "pulses") Fail(kForm);
    bell.SensorNum = Number(next(), {1, kMaxSensorsPerBell, false}, "the sensor events per blow");
    if (next() != "delay") Fail(kForm);
    bell.BellDelay = Number(next(), kInt32Range, "the bell delay");
    if (at < words.size()) {
      const std::string_view hand = words[at++];
      if (hand == "left") {
        bell.hand = Hand::kLeft;
      } else if (hand == "right") {
        bell.hand = Hand::kRight;
      } else {
        Fail("holds \"" + Printable(hand) + "\" for the hand, which is not left or right");
      }
    }
    if (at < words.size()) Fail("holds more than a bell's line takes");

    for (const BellSetup& other : setup_.bells) {
      if (other.bell == bell.bell) Fail("names bell " + std::to_string(bell.bell) + " again");
      if (other.source == bell.source &&
          (bell.source != BellSource::kChar || other.character == bell.character)) {
        Fail("puts bell " + std::to_string(bell.bell) + " on " + SourceText(bell) + ", as bell " +
             std::to_string(other.bell) + " is already");
      }
    }
    setup_.bells.push_back(bell);
    bell_lines_.push_back(line_);
  }

  const std::string& path_;
  BellsSetup setup_;
  int line_ = 0;
  int port_line_ = 0;
  std::vector<int> bell_lines_;
  bool held_anything_ = false;
};

}  // namespace

char ConventionCharacter(int32_t bell) {
  if (bell < 1 || bell > kMostBellsOnAPort) return 0;
  return kConventionCharacters[static_cast<size_t>(bell - 1)];
}

int32_t ConventionBell(uint8_t character) {
  const size_t at = kConventionCharacters.find(static_cast<char>(character));
  return at == std::string_view::npos ? 0 : static_cast<int32_t>(at + 1);
}

BellsText ParseBellsText(std::string_view bytes, BellsSetup& setup, const std::string& path) {
  BellsText text;
  if (bytes.size() > kLargestFile) {
    text.held_anything = true;
    text.malformed = path +
                     " is far larger than any set-up, so the stored set-up of several bells "
                     "cannot be used.";
    return text;
  }
  SetupReader reader(path);
  try {
    // Line ends may be CR LF (as written), LF or a lone CR (a file edited elsewhere).
    int number = 1;
    size_t start = 0;
    for (size_t at = 0; at <= bytes.size(); ++at) {
      if (at < bytes.size() && bytes[at] != '\r' && bytes[at] != '\n') continue;
      reader.Line(number++, bytes.substr(start, at - start));
      if (at + 1 < bytes.size() && bytes[at] == '\r' && bytes[at + 1] == '\n') ++at;
      start = at + 1;
    }
    text.held_anything = reader.held_anything();
    if (text.held_anything) setup = reader.Finish();
  } catch (const Damaged& damaged) {
    text.held_anything = true;
    text.malformed = damaged.sentence;
  }
  return text;
}

std::string BellsFileText(const BellsSetup& setup) {
  std::string text =
      "# strikewell: several bells on one port. Each bell: its number, its sensor (cts, dsr,\r\n"
      "# cd, ri, or char and the box's character), the sensor events per blow, the bell\r\n"
      "# delay in milliseconds and, for a pair, the hand (left rings f, right rings j).\r\n";
  text += "port " + setup.ComPortName + "\r\n";
  text += std::string("convention ") + (setup.convention ? "yes" : "no") + "\r\n";
  for (const BellSetup& bell : setup.bells) {
    text += "bell " + std::to_string(bell.bell) + " " + SourceText(bell) + " pulses " +
            std::to_string(bell.SensorNum) + " delay " + std::to_string(bell.BellDelay);
    if (bell.hand == Hand::kLeft) text += " left";
    if (bell.hand == Hand::kRight) text += " right";
    text += "\r\n";
  }
  return text;
}

BellsFileState ReadBellsFile(BellsSetup& setup, std::string& sentence, const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    if (errno == ENOENT) return BellsFileState::kMissing;
    throw SettingsFileError("The set-up file " + path + " cannot be read: " + std::strerror(errno) +
                            ".");
  }
  // One byte beyond the largest set-up is enough to know that a file is too large.
  std::string bytes(kLargestFile + 1, '\0');
  const size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
  const bool failed = std::ferror(file) != 0;
  const int read_errno = errno;
  std::fclose(file);
  if (failed) {
    throw SettingsFileError("The set-up file " + path +
                            " cannot be read: " + std::strerror(read_errno) + ".");
  }
  bytes.resize(got);
  const BellsText text = ParseBellsText(bytes, setup, path);
  if (!text.malformed.empty()) {
    sentence = text.malformed;
    return BellsFileState::kDamaged;
  }
  return text.held_anything ? BellsFileState::kRead : BellsFileState::kMissing;
}

void WriteBellsFile(const BellsSetup& setup, const std::string& path) {
  if (const auto reason = ReplaceFileWith(path, BellsFileText(setup))) {
    throw SettingsFileError("The set-up file " + path + " cannot be written: " + *reason + ".");
  }
}

}  // namespace strikewell
