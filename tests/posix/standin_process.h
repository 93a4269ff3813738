// The stand-in Ringing Room server (tests/system/ringingroom_standin.py) as a child
// process of a test, on 127.0.0.1, and the test certificates it serves.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace strikewell::testing {

// Debian's interpreter by path: the one on PATH may not see the python3-socketio,
// python3-engineio and python3-aiohttp packages.
inline constexpr const char* kDebianPython = "/usr/bin/python3";

class StandinProcess {
 public:
  // Starts the stand-in with these flags (--port 0 unless they name one) and waits
  // for it to listen.
  explicit StandinProcess(const std::vector<std::string>& flags);
  ~StandinProcess() { Stop(); }
  StandinProcess(const StandinProcess&) = delete;
  StandinProcess& operator=(const StandinProcess&) = delete;

  // 0 when it did not start.
  int port() const { return port_; }
  // Ends it at once (SIGTERM: it exits without closing anything politely, as a server
  // that fails would), and waits for it.
  void Stop();

 private:
  pid_t pid_ = 0;
  int port_ = 0;
  int lifeline_ = -1;  // the write end of its standard input
};

// Makes the test authority and certificates (tests/system/test_ca.py) in dir: ca.crt;
// localhost, otherhost and untrusted .crt/.key. False when they could not be made.
bool MakeTestCertificates(const std::string& dir);

}  // namespace strikewell::testing
