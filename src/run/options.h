// The command line: what the ringer asked strikewell to do.
#pragma once

#include <cstdint>
#include <string>

#include "platform/network.h"
#include "sensor/line_debounce.h"

namespace strikewell {

// In rising precedence: with --help anywhere, help is all that happens.
enum class Command { Count, ForgetLogin, Report, Version, Help, Mistake };

struct Options {
  Command command = Command::Count;
  std::string record_dir;                    // --record DIR; "" keeps no record
  std::string report_file;                   // --report FILE
  int32_t debounce_ms = kDefaultDebounceMs;  // --debounce MS
  bool several_bells = false;                // --bells
  int32_t simulate_ms = 0;  // --simulate[=MS]: the simulated bell's whole pull; 0 rings a real one
  bool count_only = false;  // --count-only: no Ringing Room, no keys
  // Ringing Room's own connection: --tower (a number or a whole address), --server
  // and --bell (0: the bell assigned to the ringer).
  std::string tower;
  std::string server;
  int32_t bell = 0;
  std::string mistake;  // what is wrong with the command line, for Command::Mistake
};

// Reads the arguments after the program's name; none at all means Count, as ever.
Options ParseOptions(int argc, const char* const* argv);

// Carries out the commands that need neither console nor bell (all but Count, which does
// nothing here): puts what belongs on standard output in out and on standard error in err,
// and returns the exit status. logins: where --forget-login removes the kept login.
int RunCommand(const Options& options, std::string& out, std::string& err,
               LoginStore* logins = nullptr);

}  // namespace strikewell
