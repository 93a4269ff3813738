// Writes one settings record to the settings file in the working directory, as the
// end of a calibration does, for the write-fault tests (write_fault_test.py): a
// failed write prints its sentence and ends with status 1.
#include <cstdio>

#include "settings/settings.h"

int main() {
  const strikewell::Settings record{"\\\\.\\COM3", true, false, false, false, false, 0, 2, 250};
  try {
    strikewell::WriteSettings(record);
  } catch (const strikewell::SettingsFileError& error) {
    std::puts(error.what());
    return 1;
  }
  return 0;
}
