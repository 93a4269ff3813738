#include "record/report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "record/summary.h"
#include "record/svg.h"

namespace strikewell {
namespace {

// Longer than any line the record writer makes: two 20-digit times, a count and a word.
constexpr size_t kLongestLine = 100;

std::string CannotRead(const std::string& path, int error) {
  return "Cannot read the practice record " + path + ": " + std::strerror(error);
}

// The record's path with .svg for .csv; `part` goes before the .svg.
std::string SvgPath(const std::string& csv_path, const std::string& part = "") {
  const std::string csv = ".csv";
  if (csv_path.ends_with(csv)) {
    return csv_path.substr(0, csv_path.size() - csv.size()) + part + ".svg";
  }
  return csv_path + part + ".svg";
}

// Returns "" or the system's reason for the failure.
std::string WriteFile(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return std::strerror(errno);
  errno = 0;
  int failed = 0;
  if (std::fwrite(text.data(), 1, text.size(), file) != text.size()) failed = errno ? errno : EIO;
  if (std::fclose(file) != 0 && failed == 0) failed = errno ? errno : EIO;
  return failed == 0 ? "" : std::strerror(failed);
}

}  // namespace

RecordFileRead ReadRecordFile(const std::string& path) {
  RecordFileRead read;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    read.error = CannotRead(path, errno);
    return read;
  }
  int number = 0;
  bool with_bell = false;
  for (bool more = true; more && read.error.empty();) {
    std::string text;
    int c = 0;
    while ((c = std::getc(file)) != EOF && c != '\n' && text.size() <= kLongestLine) {
      text += static_cast<char>(c);
    }
    if (c == EOF && std::ferror(file)) {
      read.error = CannotRead(path, errno);
      break;
    }
    more = c != EOF;
    ++number;
    // The end after the last line end.
    if (!more && text.empty() && number > 1 + (read.simulated ? 1 : 0)) break;
    const std::string where = "Line " + std::to_string(number) + " of " + path + " ";
    if (text.size() > kLongestLine) {
      read.error = where + "is longer than any line of a practice record.";
      break;
    }
    if (text.ends_with('\r')) text.pop_back();
    if (number == 1 && text == kSimulatedMark) {
      read.simulated = true;
      continue;
    }
    if (number == 1 + (read.simulated ? 1 : 0)) {
      with_bell = text == kBellsRecordHeading || text == kBellsRecordHeadingWithStrokes;
      if (text != kRecordHeading && text != kRecordHeadingWithStrokes && !with_bell) {
        read.error = where + (text.empty() ? "is empty" : "is " + Quoted(text)) +
                     ", not the heading " + kRecordHeading + " nor " + kBellsRecordHeading + ".";
      }
      continue;
    }
    RecordLine line;
    const std::string wrong = ParseRecordLine(text, line, with_bell);
    if (wrong.empty()) {
      read.record.push_back(line);
    } else if (!more) {
      read.note = "The last line (" + std::to_string(number) + ") is cut short and left out.";
    } else {
      read.error = where + wrong + ".";
    }
  }
  std::fclose(file);
  return read;
}

int RunReport(const std::string& csv_path, std::string& out, std::string& err) {
  const RecordFileRead read = ReadRecordFile(csv_path);
  if (!read.error.empty()) {
    err += read.error + "\n";
    return 1;
  }
  if (!read.note.empty()) out += read.note + "\n";
  if (read.simulated)
    out += "A practice on the simulated bell (strikewell --simulate), not on a real one.\n";
  if (EnoughForSummary(read.record)) {
    for (const std::string& line : PracticeSummary(read.record)) out += line + "\n";
  } else {
    out += "Fewer than 5 blows were recorded, too few for a summary.\n";
  }

  if (OfSeveralBells(read.record)) {
    // One picture per bell: each bell's handstroke and backstroke gaps are its own.
    for (int32_t bell = 1; bell <= 16; ++bell) {
      const PracticeRecord lines = LinesOfBell(read.record, bell);
      if (!OfSeveralBells(lines)) continue;
      const std::string svg_path = SvgPath(csv_path, "-bell" + std::to_string(bell));
      const std::string failed = WriteFile(svg_path, PracticeSvg(lines, StampOfFileName(csv_path)));
      if (!failed.empty()) {
        err += "Cannot write the picture " + svg_path + ": " + failed + "\n";
        return 1;
      }
      out += "The picture of bell " + std::to_string(bell) + " is in " + svg_path +
             " (open it in a web browser).\n";
    }
    return 0;
  }
  const std::string svg_path = SvgPath(csv_path);
  const std::string failed =
      WriteFile(svg_path, PracticeSvg(read.record, StampOfFileName(csv_path)));
  if (!failed.empty()) {
    err += "Cannot write the picture " + svg_path + ": " + failed + "\n";
    return 1;
  }
  out += "The picture is in " + svg_path + " (open it in a web browser).\n";
  return 0;
}

}  // namespace strikewell
