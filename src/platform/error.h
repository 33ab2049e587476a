// Errors of the platform layer: one vocabulary on every system.
//
// A platform call that can fail returns 1 on success and 0 on failure (null
// for a pointer, -1 or kInvalidSocket for a count or a handle), and leaves the
// reason as the calling thread's last error: a code of the system (errno on
// POSIX, GetLastError on Windows, which Windows Sockets share). lasterror()
// reads it and errortext() puts it into the system's words. Code outside the
// platform compares codes only with the named constants below, never with
// numbers of one system, and stores its own failures with them, so that the
// text always matches the system's numbering.
//
// Calls whose outcomes are not failures of the system name them instead:
// kLogFile* (logfile.h), kRunAs* (privs.h), the DNS statuses (resolver.h),
// PollFlags (poller.h).
#pragma once
#include <cstddef>

namespace plat {

// The calling thread's last error.
int lasterror();
void setlasterror(int code);

// The system's text of an error code, without a line end.
void errortext(int code, char* buf, size_t size);
// "text (0xcode)" of the calling thread's last error into buf; empty when it
// does not fit. Returns buf.
char* lasterrortext(char* buf, size_t size);

// Codes compared or stored outside the platform.
extern const int kErrInvalidParameter;  // an argument the call cannot take
extern const int kErrNameTooLong;       // a path or name beyond the room for it
extern const int kErrNoMemory;          // memory ran out

}  // namespace plat
