// Entry of the program on a POSIX system: the arguments as the shell split them.
#include "app/command_line.h"

int main(int argc, char** argv) {
  return run_command_line(argc, argv);
}
