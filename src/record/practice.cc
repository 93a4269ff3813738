#include "record/practice.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace strikewell {
namespace {

namespace fs = std::filesystem;

// Microseconds to the nearest millisecond, halves upwards, whatever the sign.
int64_t RoundedMs(int64_t us) {
  const int64_t shifted = us + 500;
  return shifted / 1000 - (shifted % 1000 < 0 ? 1 : 0);
}

// Writes one line and hands it to the system at once, so that a crash loses no more than
// the line in hand. Returns 0 or the errno of the failure.
int WriteLine(std::FILE* file, const std::string& text) {
  const std::string line = text + "\n";
  errno = 0;
  if (std::fwrite(line.data(), 1, line.size(), file) != line.size() || std::fflush(file) != 0) {
    return errno != 0 ? errno : EIO;
  }
  return 0;
}

// The record's first line or lines: a simulated bell's mark, then the columns.
std::string Heading(bool simulated, bool with_strokes, bool several_bells) {
  const std::string columns =
      several_bells  ? (with_strokes ? kBellsRecordHeadingWithStrokes : kBellsRecordHeading)
      : with_strokes ? kRecordHeadingWithStrokes
                     : kRecordHeading;
  return simulated ? std::string(kSimulatedMark) + "\n" + columns : columns;
}

}  // namespace

Practice::~Practice() {
  if (file_ != nullptr) std::fclose(file_);
}

std::string Practice::OpenFile(const std::string& dir, const std::string& stamp, bool simulated,
                               bool with_strokes, bool several_bells) {
  const auto cannot = [&dir](const std::string& reason) {
    return "Cannot write the practice record in " + dir + ": " + reason;
  };
  std::error_code error;
  fs::create_directories(dir, error);
  if (error) return cannot(error.message());
  // Two starts in the same second must not share a file.
  const std::string name = "strikewell-" + stamp + (simulated ? "-simulated" : "");
  fs::path path = fs::path(dir) / (name + ".csv");
  for (int k = 2; fs::exists(path, error) && k < 100; ++k) {
    path = fs::path(dir) / (name + "-" + std::to_string(k) + ".csv");
  }
  // Binary, so that Windows writes the same bytes as Linux.
  std::FILE* file = std::fopen(path.string().c_str(), "wb");
  if (file == nullptr) return cannot(std::strerror(errno));
  if (const int failed = WriteLine(file, Heading(simulated, with_strokes, several_bells))) {
    std::fclose(file);
    std::error_code ignored;
    fs::remove(path, ignored);
    return cannot(std::strerror(failed));
  }
  if (file_ != nullptr) std::fclose(file_);
  file_ = file;
  path_ = path.string();
  simulated_ = simulated;
  with_strokes_ = with_strokes;
  several_bells_ = several_bells;
  return "";
}

std::string Practice::NameStrokes(bool with_strokes) {
  if (file_ == nullptr || with_strokes == with_strokes_ || !record_.empty()) return "";
  // The file holds its heading alone: it is written again, whole.
  std::fclose(file_);
  file_ = std::fopen(path_.c_str(), "wb");
  const int failed = file_ == nullptr
                         ? errno
                         : WriteLine(file_, Heading(simulated_, with_strokes, several_bells_));
  if (failed != 0) {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    file_error_ = "Cannot write the practice record " + path_ + ": " + std::strerror(failed);
    return file_error_;
  }
  with_strokes_ = with_strokes;
  return "";
}

void Practice::Blow(const BlowLine& line) {
  if (!first_sensor_us_) first_sensor_us_ = line.sensor_us;
  Add(RecordLine{.blow = line.blow,
                 .sensor_ms = RoundedMs(line.sensor_us - *first_sensor_us_),
                 .key_ms = RoundedMs(line.key_us - *first_sensor_us_),
                 .sent = line.sent,
                 .keyless = line.keyless,
                 .stroke = line.stroke,
                 .bell = line.bell});
}

void Practice::Zeroed() { Add(RecordLine{.zeroed = true}); }

void Practice::Disagreed(int32_t bell) { Add(RecordLine{.disagreed_bell = bell}); }

void Practice::NotInTower(int32_t bell) { Add(RecordLine{.lacking_bell = bell}); }

void Practice::Add(const RecordLine& line) {
  record_.push_back(line);
  if (file_ == nullptr) return;
  if (const int failed = WriteLine(file_, RecordLineText(line))) {
    // The line number counts the heading, as an editor shows it.
    file_error_ = "The practice record " + path_ + " could not be written from line " +
                  std::to_string(record_.size() + 1) + " on: " + std::strerror(failed);
    std::fclose(file_);
    file_ = nullptr;
  }
}

}  // namespace strikewell
