// Stopping a run of many files in good order: once deferred, the first interrupt (Ctrl-C,
// SIGTERM or a hang-up; on Windows Ctrl+C, Ctrl+Break or the console closing) is only
// recorded, so that the run starts no further file and ends with its summary. A second
// ends the program at once, taking its hidden files with it, as an interrupt otherwise does.
#pragma once

// From now on, record the first interrupt instead of ending the program.
void interrupt_defer();
// The signal number of the interrupt recorded (SIGINT on Windows for every console event),
// or 0 while there was none.
int interrupt_received();
