// Runs the tarvenox program as a user runs it, for the tests of the command line.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

struct ProgramRun {
  int status = -1;  // exit status, or 128 + the signal that ended it; -1 when it hung
  int signal = 0;   // the signal that ended it
  std::string out;
};

// A started tarvenox whose standard output and error go to `out`.
struct StartedProgram {
  pid_t pid = -1;
  int out = -1;
};

// Starts tarvenox in `cwd` with `args`; `before_exec` runs in the child.
inline StartedProgram start_tarvenox(const std::string& cwd, std::vector<std::string> args,
                                     void (*before_exec)() = nullptr) {
  int fds[2];
  StartedProgram s;
  if (pipe(fds) != 0) return s;
  s.pid = fork();
  if (s.pid == 0) {
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    close(fds[0]);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    if (before_exec) before_exec();
    std::vector<char*> argv{const_cast<char*>(TARVENOX_EXE)};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(TARVENOX_EXE, argv.data());
    _exit(127);
  }
  close(fds[1]);
  s.out = fds[0];
  return s;
}

// Reads the program's output until it ends. One still running after `limit_ms` (-1: no
// limit) is killed, and the status is -1: a hung program fails a test rather than hangs it.
inline ProgramRun finish_tarvenox(StartedProgram& s, int limit_ms = -1) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(limit_ms);
  ProgramRun r;
  bool hung = false;
  for (;;) {
    int wait_ms = -1;
    if (limit_ms >= 0) {
      wait_ms = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count());
      if (wait_ms <= 0) {
        hung = true;
        kill(s.pid, SIGKILL);
        break;
      }
    }
    struct pollfd pfd {
      s.out, POLLIN, 0
    };
    if (poll(&pfd, 1, wait_ms) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(s.out, buf, sizeof buf);
    if (n <= 0) break;
    r.out.append(buf, size_t(n));
  }
  close(s.out);
  int status = 0;
  waitpid(s.pid, &status, 0);
  if (hung) return r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  return r;
}

// Runs tarvenox in `cwd` with `args`; `before_exec` runs in the child. With `kill_after_ms`
// the child gets `sig` after that long.
inline ProgramRun run_tarvenox(const std::string& cwd, std::vector<std::string> args,
                               int kill_after_ms = -1, int sig = SIGKILL,
                               void (*before_exec)() = nullptr) {
  StartedProgram s = start_tarvenox(cwd, std::move(args), before_exec);
  if (s.pid < 0) return ProgramRun{};
  if (kill_after_ms >= 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kill_after_ms));
    kill(s.pid, sig);
  }
  return finish_tarvenox(s);
}

// Waits up to `limit_ms` for a hidden output file (the stand-in for an unnamed one) to
// appear in `folder`: the program is then in the middle of writing it.
inline bool hidden_file_appears(const std::string& folder, int limit_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
      if (e.path().filename().string().starts_with(".tarvenox-")) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}
