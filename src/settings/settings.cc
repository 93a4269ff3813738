#include "settings/settings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

#include "platform/shared_text.h"
#include "settings/file_replace.h"
#include "settings/number.h"

namespace strikewell {
namespace {

// No real device path or number comes near this; a longer line is junk, and keeping
// it would let a damaged file of any size fill memory.
constexpr size_t kLongestField = 255;

[[noreturn]] void Fail(const std::string& path, std::string_view what, const std::string& reason) {
  throw SettingsFileError("The settings file " + path + " cannot be " + std::string(what) + ": " +
                          reason + ".");
}

// Closes the file however the reading ends.
struct FileCloser {
  std::FILE* file;
  ~FileCloser() {
    if (file != nullptr) std::fclose(file);
  }
};

// A line of the file that cannot be part of a calibration; the sentence says which
// and why.
struct Malformed {
  std::string sentence;
};

// Where the fields are read from: the file as it is read, or bytes in memory.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // The next byte, or EOF at the end (and every time after).
  virtual int Next() = 0;
};

class BytesSource : public ByteSource {
 public:
  explicit BytesSource(std::string_view bytes) : bytes_(bytes) {}
  int Next() override {
    return at_ < bytes_.size() ? static_cast<unsigned char>(bytes_[at_++]) : EOF;
  }

 private:
  std::string_view bytes_;
  size_t at_ = 0;
};

// Streams the file: a damaged file of any size is read without holding it whole.
class FileSource : public ByteSource {
 public:
  FileSource(std::FILE* file, const std::string& path) : file_(file), path_(path) {}
  int Next() override {
    const int ch = std::getc(file_);
    if (ch == EOF && std::ferror(file_)) Fail(path_, "read", std::strerror(errno));
    return ch;
  }

 private:
  std::FILE* file_;
  const std::string& path_;
};

// Reads the fields of the file one by one. Line ends may be CR LF (as written), LF
// or a lone CR (a file edited elsewhere); each is one line end.
class FieldReader {
 public:
  FieldReader(ByteSource& source, const std::string& path) : source_(source), path_(path) {}

  bool AtEnd() { return Peek() == EOF; }

  // The rest of the current line, without its line end.
  std::string ReadText() {
    const int line = line_;
    std::string text;
    size_t length = 0;
    for (int ch = Get(); ch != EOF && ch != '\n'; ch = Get()) {
      if (++length <= kLongestField) text += static_cast<char>(ch);
    }
    if (length > kLongestField) {
      throw Malformed{"Line " + std::to_string(line) + " of " + path_ + " holds " +
                      std::to_string(length) +
                      " characters, far too many for a port name, so the stored calibration "
                      "cannot be used."};
    }
    return text;
  }

  // Skips blanks, control characters and empty lines, converts the following run of
  // characters and discards the rest of its line. 0 when the file ends first.
  int64_t ReadNumber(NumberRange range) {
    int ch = Peek();
    while (ch != EOF && static_cast<unsigned char>(ch) <= ' ') {
      Get();
      ch = Peek();
    }
    if (ch == EOF) return 0;

    const int line = line_;
    std::string run;
    size_t length = 0;
    for (ch = Peek(); ch != EOF && static_cast<unsigned char>(ch) > ' '; ch = Peek()) {
      if (++length <= kLongestField) run += static_cast<char>(ch);
      Get();
    }
    while (ch != EOF && Get() != '\n') ch = Peek();

    std::optional<int64_t> value;
    if (length <= kLongestField) value = ParseNumber(run, NumberEnd::AtBlank, range);
    if (!value) {
      throw Malformed{"Line " + std::to_string(line) + " of " + path_ + " holds \"" +
                      Printable(run) + "\", which is not a whole number from " +
                      std::to_string(range.min) + " to " + std::to_string(range.max) +
                      ", so the stored calibration cannot be used."};
    }
    return *value;
  }

 private:
  int RawPeek() {
    if (!have_ahead_) {
      ahead_ = source_.Next();
      have_ahead_ = true;
    }
    return ahead_;
  }

  int RawGet() {
    const int ch = RawPeek();
    have_ahead_ = false;
    return ch;
  }

  int Peek() {
    const int ch = RawPeek();
    return ch == '\r' ? '\n' : ch;
  }

  // The next character; every kind of line end comes back as one '\n'.
  int Get() {
    int ch = RawGet();
    if (ch == '\r') {
      if (RawPeek() == '\n') RawGet();
      ch = '\n';
    }
    if (ch == '\n') ++line_;
    return ch;
  }

  ByteSource& source_;
  const std::string& path_;
  int ahead_ = EOF;
  bool have_ahead_ = false;
  int line_ = 1;
};

std::FILE* OpenForReading(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file != nullptr) return file;

  // Create it empty. Append mode never truncates, so a file that exists but could
  // not be opened for some other reason keeps its contents.
  std::FILE* created = std::fopen(path.c_str(), "ab");
  if (created == nullptr) Fail(path, "created", std::strerror(errno));
  if (std::fclose(created) != 0) Fail(path, "created", std::strerror(errno));

  file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) Fail(path, "read", std::strerror(errno));
  return file;
}

bool ReadFlag(FieldReader& reader) { return reader.ReadNumber(kInt32Range) == 1; }

// Fills settings from the file's fields. Before each field the end of the file is
// tested: there that field and every later one keep their values. False when the
// file is empty.
bool ReadFields(FieldReader& reader, Settings& settings) {
  if (reader.AtEnd()) return false;
  settings.ComPortName = reader.ReadText();
  for (bool* flag :
       {&settings.UseCts, &settings.UseDsr, &settings.UseCd, &settings.UseRi, &settings.UseDat}) {
    if (reader.AtEnd()) return true;
    *flag = ReadFlag(reader);
  }
  if (reader.AtEnd()) return true;
  settings.UseDatNum = static_cast<uint8_t>(reader.ReadNumber(kCharCodeRange));
  if (reader.AtEnd()) return true;
  settings.SensorNum = static_cast<int32_t>(reader.ReadNumber(kInt32Range));
  if (reader.AtEnd()) return true;
  settings.BellDelay = static_cast<int32_t>(reader.ReadNumber(kInt32Range));
  return true;
}

// Reads into a copy: a file that turns out to be damaged part-way leaves the record
// as it was, not half-filled from junk.
SettingsText ParseFields(ByteSource& source, Settings& settings, const std::string& path) {
  FieldReader reader(source, path);
  Settings read = settings;
  SettingsText text;
  try {
    text.held_anything = ReadFields(reader, read);
  } catch (const Malformed& malformed) {
    text.held_anything = true;
    text.malformed = malformed.sentence;
    return text;
  }
  settings = read;
  return text;
}

}  // namespace

std::string SettingsFileText(const Settings& settings) {
  const auto flag = [](bool set) { return set ? "1\r\n" : "0\r\n"; };
  std::string text = settings.ComPortName + "\r\n";
  text += flag(settings.UseCts);
  text += flag(settings.UseDsr);
  text += flag(settings.UseCd);
  text += flag(settings.UseRi);
  text += flag(settings.UseDat);
  text += std::to_string(settings.UseDat ? settings.UseDatNum : 0) + "\r\n";
  text += std::to_string(settings.SensorNum) + "\r\n";
  text += std::to_string(settings.BellDelay) + "\r\n";
  return text;
}

SettingsText ParseSettingsText(std::string_view bytes, Settings& settings,
                               const std::string& path) {
  BytesSource source(bytes);
  return ParseFields(source, settings, path);
}

SettingsOutcome ReadSettings(Settings& settings, Console& console, const std::string& path) {
  SettingsText text;
  {
    FileCloser closer{OpenForReading(path)};
    FileSource source(closer.file, path);
    text = ParseFields(source, settings, path);
  }
  if (!text.malformed.empty()) {
    console.WriteLn(text.malformed);
    return SettingsOutcome::Calibrate;
  }
  if (!text.held_anything) return SettingsOutcome::Calibrate;

  console.WriteLn();
  console.WriteLn("Use existing calibration? (Y/n)");
  return console.ReadAnswerKey() == 'N' ? SettingsOutcome::Calibrate : SettingsOutcome::UseStored;
}

SettingsText PeekSettings(Settings& settings, const std::string& path) {
  FileCloser closer{std::fopen(path.c_str(), "rb")};
  if (closer.file == nullptr) {
    const int error = errno;
    std::error_code ignored;
    if (!std::filesystem::exists(path, ignored)) return {};
    Fail(path, "read", std::strerror(error));
  }
  FileSource source(closer.file, path);
  return ParseFields(source, settings, path);
}

void WriteSettings(const Settings& settings, const std::string& path) {
  // The new lines go to a file beside the old one, which is replaced only once they
  // are all written: a full disk or a crash half-way leaves the old calibration whole
  // instead of a truncated file.
  if (const auto reason = ReplaceFileWith(path, SettingsFileText(settings))) {
    Fail(path, "written", *reason);
  }
}

}  // namespace strikewell
