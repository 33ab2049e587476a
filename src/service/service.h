// Service control: the process entry's events and mode, the service's main
// routine, installing and removing the service, and the hooks servermain uses.
#pragma once
#include <cstddef>

// 1 when the process runs as a system service, else 0 (console mode).
int servicemode();
// Installs / removes the service, printing the outcome on standard output.
// Return 1 on success, 0 on failure. `settingsfile`, when not null, is the
// settings file the service is to read (-c), where the service manager
// passes arguments.
int svcinstall(const char* settingsfile = nullptr);
int svcremove();
// Sets stop_event, waits 250 ms, sets done_event.
void signaldone();
// servermain accepts connections: the service reports itself running.
void signalready();
// 1 when stop_event is set.
int stopsignalled();
// Sets stop_event.
void setstopevent();

// Process entry: records the argument vector servermain gets, and the mode.
void svcsetargs(int argc, char** argv);
void setservicemode(int mode);
// Service mode: runs the service on the calling thread until `run` (the
// server's main routine, given the recorded arguments) has ended on its own
// thread. Returns the process exit status: run's result, or -1 when the
// service manager could not be reached.
int svcdispatch(int (*run)(int argc, char** argv));

// Splits a command line by the rules of the platform's C runtime. Returns one
// block (the pointers, a terminating null pointer, then the texts) that the
// caller may free, with the number of arguments in *count; null with the
// kErrInvalidParameter as the last error when count is null or text is empty.
char** cmdlinetoargv(const char* text, int* count);
