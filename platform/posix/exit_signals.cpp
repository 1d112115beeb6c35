// The one POSIX handler of the signals that end the program, and of Ctrl-Z on a terminal.
#include "platform/posix/exit_signals.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>

#include "platform/common/hidden_files.h"
#include "platform/interrupt.h"

namespace {

// A signal handler can reach nothing but file-scope data, so what it has to put back is
// kept here: the terminal settings while raw mode is active, and the title while ours is
// shown. The flags are set after the rest, so a handler never reads a half-written record.
struct ExitRestore {
  int fd = -1;
  struct termios saved {};
  struct termios raw {};
  std::atomic<bool> active{false};
  int title_fd = -1;
  std::string_view title_pop;
  std::atomic<bool> title_pushed{false};
};
ExitRestore exit_restore;

// Set once a run asks for its first interrupt to be recorded; then the signal recorded.
std::atomic<bool> interrupt_deferred{false};
std::atomic<int> interrupt_signal{0};

const int EXIT_SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP, SIGQUIT, SIGABRT,
                            SIGSEGV, SIGBUS,  SIGFPE, SIGILL};

// A hidden output folder: its files, then itself. Read with the raw system call into a
// buffer on the stack, as opendir would allocate.
void remove_hidden_folder(const char* path) {
#if defined(__linux__) && defined(SYS_getdents64)
  const int dir = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return;
  alignas(8) char buffer[4096];
  // Entries removed while the folder is read may hide others: read it again until a pass
  // finds none.
  for (int pass = 0; pass < 64; ++pass) {
    bool removed = false;
    lseek(dir, 0, SEEK_SET);
    for (;;) {
      const long n = syscall(SYS_getdents64, dir, buffer, sizeof buffer);
      if (n <= 0) break;
      for (long at = 0; at < n;) {
        // struct linux_dirent64: inode, offset, record length, type, name.
        unsigned short length;
        __builtin_memcpy(&length, buffer + at + 16, sizeof length);
        const char* name = buffer + at + 19;
        const bool dots = name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
        if (!dots && unlinkat(dir, name, 0) == 0) removed = true;
        at += length;
      }
    }
    if (!removed) break;
  }
  close(dir);
#endif
  rmdir(path);
}

void install_exit_handler(int sig);

// Only async-signal-safe calls: it may interrupt anything, malloc and the locks included.
void on_exit_signal(int sig) {
  const bool interrupt = sig == SIGINT || sig == SIGTERM || sig == SIGHUP;
  int none = 0;
  if (interrupt && interrupt_deferred && interrupt_signal.compare_exchange_strong(none, sig)) {
    // Reset to the default on entry: the next one goes through here again, and ends it.
    install_exit_handler(sig);
    return;
  }
  if (exit_restore.active) tcsetattr(exit_restore.fd, TCSANOW, &exit_restore.saved);
  if (exit_restore.title_pushed) {
    [[maybe_unused]] ssize_t n =
        write(exit_restore.title_fd, exit_restore.title_pop.data(), exit_restore.title_pop.size());
  }
  hidden_remove_all([](const char* path) {
    if (unlink(path) != 0) remove_hidden_folder(path);
  });
  // The handler was reset to the default on entry and the signal is blocked until it
  // returns: raised again, it ends the process the way the signal means to.
  raise(sig);
}

void on_stop_signal(int) {
  int saved_errno = errno;
  if (exit_restore.active) tcsetattr(exit_restore.fd, TCSANOW, &exit_restore.saved);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  struct sigaction mine {};
  sigaction(SIGTSTP, &dfl, &mine);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTSTP);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(SIGTSTP);  // stops here until continued
  sigaction(SIGTSTP, &mine, nullptr);
  if (exit_restore.active) tcsetattr(exit_restore.fd, TCSANOW, &exit_restore.raw);
  errno = saved_errno;
}

void install_exit_handler(int sig) {
  struct sigaction sa {};
  sa.sa_handler = on_exit_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESETHAND;
  sigaction(sig, &sa, nullptr);
}

}  // namespace

void exit_signals_install() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (int sig : EXIT_SIGNALS) install_exit_handler(sig);
  });
}

void interrupt_defer() {
  interrupt_deferred = true;
  exit_signals_install();
}

int interrupt_received() {
  return interrupt_signal;
}

void stop_signal_install() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTSTP, &sa, nullptr);
  });
}

void exit_signals_keep_terminal(int fd, const struct termios& saved, const struct termios& raw) {
  exit_restore.active = false;
  exit_restore.fd = fd;
  exit_restore.saved = saved;
  exit_restore.raw = raw;
  exit_restore.active = true;
}

void exit_signals_forget_terminal() {
  exit_restore.active = false;
}

void exit_signals_keep_title(int fd, std::string_view pop) {
  exit_restore.title_pushed = false;
  exit_restore.title_fd = fd;
  exit_restore.title_pop = pop;
  exit_restore.title_pushed = true;
}

void exit_signals_forget_title() {
  exit_restore.title_pushed = false;
}
