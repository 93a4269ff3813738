#include "standin_process.h"

#include <fcntl.h>
#include <poll.h>

#include <cstdio>
#include <cstdlib>

extern char** environ;

namespace strikewell::testing {
namespace {

// Python with aiohttp and socketio takes about half a second to start.
constexpr int kStartLimitMs = 15000;

pid_t Spawn(const std::vector<std::string>& args, int stdin_fd, int stdout_fd) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdin_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdin_fd, STDIN_FILENO);
  if (stdout_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdout_fd, STDOUT_FILENO);
  pid_t pid = 0;
  const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return failed == 0 ? pid : 0;
}

}  // namespace

StandinProcess::StandinProcess(const std::vector<std::string>& flags) {
  std::vector<std::string> args = {kDebianPython, STRIKEWELL_STANDIN, "--stop-on-eof"};
  bool port_given = false;
  for (const std::string& flag : flags) port_given |= flag == "--port";
  if (!port_given) args.insert(args.end(), {"--port", "0"});
  args.insert(args.end(), flags.begin(), flags.end());

  // Its standard input is a pipe that only this object holds open: if the test dies,
  // the stand-in sees the end of its input and ends too.
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return;
  }
  pid_ = Spawn(args, in[0], out[1]);
  close(in[0]);
  close(out[1]);
  lifeline_ = in[1];
  // "PORT <n>" once it listens.
  std::string line;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartLimitMs);
  while (pid_ != 0 && line.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        limit - std::chrono::steady_clock::now());
    pollfd ready{out[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
    char chunk[64];
    const ssize_t n = read(out[0], chunk, sizeof chunk);
    if (n <= 0) break;
    line.append(chunk, static_cast<size_t>(n));
  }
  close(out[0]);
  if (line.rfind("PORT ", 0) == 0) port_ = std::atoi(line.c_str() + 5);
  if (port_ == 0) Stop();
}

void StandinProcess::Stop() {
  if (lifeline_ >= 0) close(lifeline_);
  lifeline_ = -1;
  if (pid_ == 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = 0;
}

bool MakeTestCertificates(const std::string& dir) {
  const pid_t pid = Spawn({kDebianPython, STRIKEWELL_TEST_CA, dir}, -1, -1);
  int status = 0;
  return pid != 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

}  // namespace strikewell::testing
