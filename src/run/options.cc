#include "run/options.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "record/report.h"
#include "run/program.h"
#include "run/simulated_bell.h"
#include "sensor/line_debounce.h"
#include "settings/number.h"
#include "strikewell_version.h"
#include "tower/address.h"
#include "tower/protocol.h"
#include "tower/tower_start.h"

namespace strikewell {
namespace {

constexpr const char* kUsage =
    "Usage: strikewell [--bells] [--record DIR] [--debounce MS] [--count-only]\n"
    "       strikewell --simulate[=MS] [--record DIR] [--count-only]\n"
    "       strikewell [--record DIR] [--debounce MS] --tower TOWER [--bell N] [--server URL]\n"
    "       strikewell --report FILE.csv\n"
    "       strikewell --forget-login | --help | --version\n"
    "Counts the blows of a simulator bell and presses j in the Ringing Room window,\n"
    "or rings a bell in a Ringing Room tower through its own connection.\n"
    "  --bells        ring several bells on one port (a handbell pair, a tower's\n"
    "                 simulator), set up in bells_strikewell.ini\n"
    "  --record DIR   keep a record of every blow in a new file in the folder DIR,\n"
    "                 and show a summary of the practice after Q\n"
    "  --debounce MS  take changes of a sensor line closer together than MS\n"
    "                 milliseconds as one (0..1000, 0 takes every change;\n"
    "                 20 unless given)\n"
    "  --simulate[=MS] ring a simulated bell, no sensor needed: a handstroke every\n"
    "                 MS milliseconds whole pull (1000 to 10000, 2200 if not given);\n"
    "                 the space bar rings one more blow; without a Ringing Room\n"
    "                 window it counts only\n"
    "  --count-only   count without Ringing Room: no window, no keys\n"
    "  --tower TOWER  ring in this Ringing Room tower: its number, or its whole\n"
    "                 address (https://ringingroom.com/123456789/name)\n"
    "  --server URL   the Ringing Room site (https://ringingroom.com unless given)\n"
    "  --bell N       ring bell N, not the bell assigned to you in the tower\n"
    "  --forget-login remove the kept Ringing Room login and end\n"
    "  --report FILE  show the summary of a record kept earlier and draw its\n"
    "                 intervals in a picture beside it (the .csv replaced by .svg)\n"
    "  --help         show this and end\n"
    "  --version      show the version and end\n"
    "A value may also follow an equals sign: --record=DIR.\n";

struct OptionSpec {
  const char* name;
  const char* value_name;  // what the value is, in a sentence; nullptr: the option takes none
  // Returns what is wrong with the value, as a sentence; "" when it is taken.
  std::string (*apply)(Options& options, const std::string& value);
  // The value when none is given; nullptr: a value must be given.
  const char* default_value = nullptr;
};

std::string TakeDebounce(Options& o, const std::string& value) {
  const std::optional<int64_t> ms = ParseNumber(value, NumberEnd::WholeText, kInt32Range);
  if (!ms || *ms < 0 || *ms > kMaxDebounceMs) {
    return "--debounce needs a number of milliseconds from 0 to " + std::to_string(kMaxDebounceMs) +
           ", not \"" + value + "\".";
  }
  o.debounce_ms = static_cast<int32_t>(*ms);
  return {};
}

std::string TakeWholePull(Options& o, const std::string& value) {
  const std::optional<int64_t> ms = ParseNumber(value, NumberEnd::WholeText, kInt32Range);
  if (!ms || *ms < kMinWholePullMs || *ms > kMaxWholePullMs) {
    return "--simulate takes a whole-pull time from " + std::to_string(kMinWholePullMs) + " to " +
           std::to_string(kMaxWholePullMs) +
           " milliseconds, such as --simulate=" + std::to_string(kDefaultWholePullMs) + ".";
  }
  o.simulate_ms = static_cast<int32_t>(*ms);
  return {};
}

std::string TakeBell(Options& o, const std::string& value) {
  const std::optional<int64_t> bell = ParseNumber(value, NumberEnd::WholeText, kInt32Range);
  if (!bell || *bell < 1 || *bell > kMaxBells) {
    return "--bell needs a bell's number from 1 to " + std::to_string(kMaxBells) + ", not \"" +
           value + "\".";
  }
  o.bell = static_cast<int32_t>(*bell);
  return {};
}

constexpr OptionSpec kOptionTable[] = {
    {"--record", "a folder",
     [](Options& o, const std::string& value) {
       o.record_dir = value;
       return std::string();
     }},
    {"--report", "a record file",
     [](Options& o, const std::string& value) {
       o.report_file = value;
       o.command = std::max(o.command, Command::Report);
       return std::string();
     }},
    {"--debounce", "a number of milliseconds", TakeDebounce},
    {"--simulate", "a whole-pull time", TakeWholePull, "2200"},
    {"--count-only", nullptr,
     [](Options& o, const std::string&) {
       o.count_only = true;
       return std::string();
     }},
    {"--tower", "a tower's number or address",
     [](Options& o, const std::string& value) {
       o.tower = value;
       return std::string();
     }},
    {"--server", "a web address",
     [](Options& o, const std::string& value) {
       o.server = value;
       return std::string();
     }},
    {"--bell", "a bell's number", TakeBell},
    {"--forget-login", nullptr,
     [](Options& o, const std::string&) {
       o.command = std::max(o.command, Command::ForgetLogin);
       return std::string();
     }},
    {"--bells", nullptr,
     [](Options& o, const std::string&) {
       o.several_bells = true;
       return std::string();
     }},
    {"--version", nullptr,
     [](Options& o, const std::string&) {
       o.command = std::max(o.command, Command::Version);
       return std::string();
     }},
    {"--help", nullptr,
     [](Options& o, const std::string&) {
       o.command = std::max(o.command, Command::Help);
       return std::string();
     }},
};

Options Mistake(const std::string& sentence) {
  Options options;
  options.command = Command::Mistake;
  options.mistake = sentence;
  return options;
}

}  // namespace

Options ParseOptions(int argc, const char* const* argv) {
  Options options;
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    const size_t equals = arg.find('=');
    const std::string name = arg.starts_with("--") ? arg.substr(0, equals) : arg;
    const auto entry = std::find_if(std::begin(kOptionTable), std::end(kOptionTable),
                                    [&name](const OptionSpec& s) { return name == s.name; });
    if (entry == std::end(kOptionTable)) {
      return Mistake(arg.starts_with("-") ? "Unknown option \"" + name + "\"."
                                          : "Unexpected argument \"" + arg + "\".");
    }
    std::string value;
    if (entry->value_name == nullptr) {
      if (equals != std::string::npos) return Mistake(name + " takes no value.");
    } else if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (k + 1 < argc && !std::string(argv[k + 1]).starts_with("-")) {
      value = argv[++k];
    } else if (entry->default_value != nullptr) {
      value = entry->default_value;
    }
    if (entry->value_name != nullptr && value.empty()) {
      return Mistake(name + " needs " + entry->value_name + " after it.");
    }
    if (const std::string wrong = entry->apply(options, value); !wrong.empty()) {
      return Mistake(wrong);
    }
  }
  if (options.several_bells && options.simulate_ms > 0) {
    return Mistake("--simulate rings one simulated bell, so it does not go with --bells.");
  }
  // Each of several bells rings the bell its set-up names.
  if (options.several_bells && options.bell != 0) {
    return Mistake(
        "--bells rings the bells named in bells_strikewell.ini, so it does not go "
        "with --bell.");
  }
  // A site that would take the password in the clear is refused before anything
  // is asked.
  if (const std::string wrong = ChooseTower(options.tower, options.server).error; !wrong.empty()) {
    return Mistake(wrong);
  }
  return options;
}

int RunCommand(const Options& options, std::string& out, std::string& err, LoginStore* logins) {
  switch (options.command) {
    case Command::Count:
      return 0;
    case Command::ForgetLogin:
      if (logins == nullptr) return 0;
      return ForgetLogin(*logins, out, err);
    case Command::Report:
      return RunReport(options.report_file, out, err);
    case Command::Version:
      out += std::string(ProgramVersion) + "\nstrikewell " + kReleaseVersion + "\n";
      return 0;
    case Command::Help:
      out += kUsage;
      return 0;
    case Command::Mistake:
      err += options.mistake + "\n" + kUsage;
      return 2;
  }
  return 2;
}

}  // namespace strikewell
