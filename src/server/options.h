// The command line and the settings file: what the program is asked to do,
// the settings it runs with, and the actions that run once and exit.
#pragma once

// Fewest connections QueueSize may ask for.
constexpr long kMinQueueSize = 5;

enum class Action { Run, Configure, CheckLists, Install, Remove, Help, Version, Report, Export };

// What the command line asks for, beyond the values it sets.
struct Options {
  Action action = Action::Run;
  const char* inifile = nullptr;  // -c
  const char* logpath = nullptr;  // -l
  int errors = 0;
};

// Prints the usage text.
void usage();
// Scans the options; with `apply` they also set their values. The first
// scan, before any file is read, reports the errors and decides the action.
Options scanoptions(int argc, char** argv, bool apply);
// Reads the settings: the defaults, then the .ini file (-c, else the one in
// the working directory), then the options. A settings file written now
// records the -l given, or for -I the log directory the service will use.
// Returns kExitDone, or the exit code.
int configure(int argc, char** argv, const Options& o);
// Validates the settings; logs the first failure. Returns true when valid.
bool validate();
// The listen address "any".
bool isany(const char* ip);
// Runs an action that acts and exits instead of serving. Returns the exit code.
int oneshot(Action action);
