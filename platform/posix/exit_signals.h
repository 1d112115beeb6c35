// What is put right when a signal ends the program on a POSIX system: the terminal's
// settings and title, and the output files that still have their hidden name. One handler
// does it all for every such signal; handlers that called one another could leave a signal
// pending that the next one in the chain receives again and again.
#pragma once

#include <termios.h>

#include <string_view>

// Installs the handler of the signals that end the program (Ctrl-C, SIGTERM, a hang-up, a
// crash): it puts back what is recorded below, removes the hidden files and ends the
// program with the signal's default action. Once; later calls do nothing.
void exit_signals_install();
// The console's on a terminal: Ctrl-Z puts the terminal's own settings back while the
// program is stopped and the recorded raw ones when it goes on. Once, like the above.
void stop_signal_install();

// Settings to put on terminal `fd` when the program ends (`saved`) and when it goes on after
// a stop (`raw`).
void exit_signals_keep_terminal(int fd, const struct termios& saved, const struct termios& raw);
void exit_signals_forget_terminal();
// `pop` (a sequence that lives as long as the program) is written to `fd` when the program
// ends, to put the user's title back.
void exit_signals_keep_title(int fd, std::string_view pop);
void exit_signals_forget_title();
