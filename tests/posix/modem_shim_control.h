// The modem-line shim (modem_shim.c), preloaded into the test by CTest, pointed at one
// device for as long as this object lives: its control files are in a fresh folder,
// and the lines are set by replacing the lines file in one step, as a test that races
// the shim's readers must.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "file_text.h"
#include "temp_dir.h"

namespace strikewell::testing {

// The shim's optional files: "serial" serves TIOCGSERIAL/TIOCSSERIAL, "log" records
// every change of RTS and DTR. Without them the shim answers those as a pty does.
struct ModemShimFiles {
  bool serial = false;
  bool log = false;
};

class ModemShimControl {
 public:
  explicit ModemShimControl(const std::string& device, ModemShimFiles files = {}) : files_(files) {
    setenv("STRIKEWELL_SHIM_DEVICE", device.c_str(), 1);
    setenv("STRIKEWELL_SHIM_LINES", Path("lines").c_str(), 1);
    if (files.serial) setenv("STRIKEWELL_SHIM_SERIAL", Path("serial").c_str(), 1);
    if (files.log) setenv("STRIKEWELL_SHIM_LOG", Path("log").c_str(), 1);
  }
  // Whatever holds the device open must be closed first: its line watcher may be
  // reading the control files.
  ~ModemShimControl() {
    unsetenv("STRIKEWELL_SHIM_DEVICE");
    if (files_.serial) unsetenv("STRIKEWELL_SHIM_SERIAL");
    if (files_.log) unsetenv("STRIKEWELL_SHIM_LOG");
  }
  ModemShimControl(const ModemShimControl&) = delete;
  ModemShimControl& operator=(const ModemShimControl&) = delete;

  // Whether the shim is loaded at all: without it the control files do nothing.
  static bool Preloaded() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::string(preload).find("modem_shim") != std::string::npos;
  }

  // "cts=1 dsr=0/2 cd=0 ri=0" (state, and optionally the change count), or "notty".
  void SetLines(const std::string& text) const {
    WriteBytes(Path("lines.tmp"), text);
    std::filesystem::rename(Path("lines.tmp"), Path("lines"));
  }

  std::string Path(const std::string& name) const { return dir_.File(name); }

 private:
  TempDir dir_{"modem-shim"};
  ModemShimFiles files_;
};

}  // namespace strikewell::testing
