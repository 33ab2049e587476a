// The server's entry, for the process entry and the service.
#pragma once

// Runs the server; returns the process exit code (common/exitcode.h).
int servermain(int argc, char** argv);
// The working directory the program was started in, before the process entry
// moved to the program's own; a relative -c path is taken from there.
void setinvocationdir(const char* dir);
