// Process, clock, thread and console services of the operating system.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/types.h"

namespace plat {

// Directory separator of daily file and settings paths.
extern const char kPathSep;

// Full path of the running executable. Returns 1 on success.
int exepath(char* buf, size_t size);
// Changes the current directory. Returns 1 on success.
int setcurrentdir(const char* dir);
// Current directory. Returns 1 on success (buf then holds it).
int getcurrentdir(char* buf, size_t size);

// The program's name as the system knows it, given once by the program at
// start-up (kept, not copied): the identity of its syslog messages and, upper
// case, the prefix of environment variables the platform reads
// (NAME_UNIT_DIR, NAME_SYSTEMCTL). Empty until set.
void setprogramname(const char* name);
const char* programname();

// Hands one message to the debugger output channel (syslog on Linux).
void debugoutput(const char* text);
// True when standard error is a stream of the journal (systemd says so in
// JOURNAL_STREAM, and it names the very stream stderr is), which stamps
// each line itself.
bool stderrisjournal();

// Operating-system id of the calling thread.
uint32_t threadid();
// Lowers the process / calling thread scheduling priority; failures ignored.
void lowerprocesspriority();
void lowerthreadpriority();
void sleepms(long ms);

// Raises the soft limit of open descriptors to the hard one. Returns the
// limit in force afterwards, or 0 where the system sets none per process.
long raisedescriptorlimit();

// Current time as calendar fields, UTC or local. millis is always 0.
void utcnow(SysTime* t);
// Current time in milliseconds since 1970 (UTC), and such a time as UTC
// calendar fields (millis left 0, as utcnow leaves it).
int64_t epochms();
void utcfromms(int64_t ms, SysTime* t);
void localnow(SysTime* t);
// Milliseconds of the program's one monotonic clock (any origin): every
// time-out, deadline and pause is measured on it, never on the wall clock.
int64_t nowms();

// Current UTC time as "%a, %d %b %Y %H:%M:%S GMT" with English names.
// REQUIRES: buf holds 128 bytes. Returns the length written.
size_t gmtdate(char* buf);
// 1 when the file's status can be read and its size is at least one byte.
int fileexists(const char* path);
// Socket layer description for the start-up summary.
void socketinfo(char* desc, size_t descsize, char* status, size_t statussize, long* lo, long* hi);

// Signals that a terminal or service manager sends are blocked in every
// thread (call before starting any thread) and taken by one dedicated thread
// as ordinary calls, so that none of them ends the process with lines still
// queued: SIGINT, SIGTERM, SIGQUIT and SIGABRT call `handler(signo)`, SIGHUP
// the reload handler (ignored while there is none), SIGUSR1 and SIGUSR2 are
// ignored. SIGPIPE is ignored, and so is SIGXFSZ (a log file at the size
// limit is a failed write, not the end of the process).
void blocksignals();
void startsignalthread(void (*handler)(int));
// Service mode: the service manager's stop request (SIGTERM) goes to this
// handler instead of the one given to startsignalthread.
void setstopsignalhandler(void (*handler)(int));
void setreloadsignalhandler(void (*handler)(int));
// Platform numbers used to name signals (negative where the system has none).
extern const int kSigInt, kSigTerm, kSigAbrt, kSigQuit, kSigHup;

// The process's command line as one text where the system hands it over so
// (Windows); null where the runtime's argument vector is the original.
const char* commandline();

// Environment lookup; null when unset.
const char* getenvvar(const char* name);

}  // namespace plat
