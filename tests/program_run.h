// Runs the tarvenox program as a user runs it, for the tests of the command line.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

struct ProgramRun {
  int status = -1;  // exit status, or 128 + the signal that ended it
  std::string out;
};

// Runs tarvenox in `cwd` with `args`; `before_exec` runs in the child. With `kill_after_ms`
// the child gets `sig` after that long.
inline ProgramRun run_tarvenox(const std::string& cwd, std::vector<std::string> args,
                               int kill_after_ms = -1, int sig = SIGKILL,
                               void (*before_exec)() = nullptr) {
  int fds[2];
  ProgramRun r;
  if (pipe(fds) != 0) return r;
  const pid_t pid = fork();
  if (pid == 0) {
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
  if (kill_after_ms >= 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kill_after_ms));
    kill(pid, sig);
  }
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) r.out.append(buf, size_t(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}
