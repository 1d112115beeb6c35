// The options of tarvenox, shared by the entry points of every build.
#pragma once

// Parses the arguments (argv[0] is the program) and runs the dialogue, the batch conversion
// or the inspection they ask for. Returns the exit status.
int run_command_line(int argc, char** argv);
