#include "record/record.h"

#include <charconv>
#include <string_view>
#include <system_error>

namespace strikewell {
namespace {

constexpr const char* kZeroedLine = "# zeroed";
constexpr std::string_view kDisagreedLine = "# disagreed bell ";
constexpr std::string_view kLackingLine = "# not in the tower bell ";

// A whole number in decimal, nothing before or after it, in the range of T.
template <typename T>
bool WholeNumber(const std::string& text, T& value) {
  if (text.empty() || text[0] == '+') return false;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && stop == end;
}

}  // namespace

std::string RecordLineText(const RecordLine& line) {
  if (line.zeroed) return kZeroedLine;
  if (line.disagreed_bell != 0) {
    return std::string(kDisagreedLine) + std::to_string(line.disagreed_bell);
  }
  if (line.lacking_bell != 0) return std::string(kLackingLine) + std::to_string(line.lacking_bell);
  const char* stroke = line.stroke == Stroke::kHand   ? ",hand"
                       : line.stroke == Stroke::kBack ? ",back"
                                                      : "";
  std::string text = std::to_string(line.blow) + "," + std::to_string(line.sensor_ms) + "," +
                     std::to_string(line.key_ms) + "," +
                     (line.keyless ? "none"
                      : line.sent  ? "sent"
                                   : "dropped") +
                     stroke;
  if (line.bell > 0) text += "," + std::to_string(line.bell);
  return text;
}

std::string ParseRecordLine(const std::string& text, RecordLine& line, bool with_bell) {
  if (text == kZeroedLine) {
    line = RecordLine{.zeroed = true};
    return "";
  }
  if (text.starts_with(kDisagreedLine)) {
    int32_t bell = 0;
    if (!WholeNumber(text.substr(kDisagreedLine.size()), bell) || bell < 1) {
      return "holds " + Quoted(text) + ", not a bell's number after \"" +
             std::string(kDisagreedLine) + "\"";
    }
    line = RecordLine{.disagreed_bell = bell};
    return "";
  }
  if (text.starts_with(kLackingLine)) {
    int32_t bell = 0;
    if (!WholeNumber(text.substr(kLackingLine.size()), bell) || bell < 1) {
      return "holds " + Quoted(text) + ", not a bell's number after \"" +
             std::string(kLackingLine) + "\"";
    }
    line = RecordLine{.lacking_bell = bell};
    return "";
  }
  if (text.empty()) return "is empty";
  std::vector<std::string> fields(1);
  for (const char c : text) {
    if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  // Of several bells, the bell's number is the last field.
  std::string bell_field;
  if (with_bell && fields.size() > 4) {
    bell_field = fields.back();
    fields.pop_back();
  }
  if ((fields.size() != 4 && fields.size() != 5) || (with_bell && bell_field.empty())) {
    return "holds " + Quoted(text) + ", not a blow line (" +
           (with_bell ? kBellsRecordHeading : kRecordHeading) + ") nor " + kZeroedLine;
  }
  const auto not_whole = [&fields](int k, const char* name) {
    return "has " + Quoted(fields[k]) + " for " + name + ", not a whole number";
  };
  RecordLine read;
  if (!WholeNumber(fields[0], read.blow)) return not_whole(0, "blow");
  if (!WholeNumber(fields[1], read.sensor_ms)) return not_whole(1, "sensor_ms");
  if (!WholeNumber(fields[2], read.key_ms)) return not_whole(2, "key_ms");
  if (fields[3] != "sent" && fields[3] != "dropped" && fields[3] != "none") {
    return "has " + Quoted(fields[3]) + " for key, not sent, dropped or none";
  }
  read.sent = fields[3] == "sent";
  read.keyless = fields[3] == "none";
  if (fields.size() == 5) {
    if (fields[4] != "hand" && fields[4] != "back") {
      return "has " + Quoted(fields[4]) + " for stroke, neither hand nor back";
    }
    read.stroke = fields[4] == "hand" ? Stroke::kHand : Stroke::kBack;
  }
  if (with_bell && (!WholeNumber(bell_field, read.bell) || read.bell < 1 || read.bell > 16)) {
    return "has " + Quoted(bell_field) + " for bell, not a bell's number from 1 to 16";
  }
  line = read;
  return "";
}

std::string Quoted(const std::string& text) {
  constexpr size_t kShown = 30;
  std::string shown = "\"";
  for (size_t k = 0; k < text.size() && k < kShown; ++k) {
    shown += text[k] >= ' ' && text[k] <= '~' ? text[k] : '?';
  }
  return shown + (text.size() > kShown ? "...\"" : "\"");
}

}  // namespace strikewell
