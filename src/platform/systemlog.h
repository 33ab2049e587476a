// Connection lines to the system's log: the journal with one field per
// column where a journal runs, else a syslog daemon's socket as RFC 5424
// messages with structured data. Sending never holds up the caller: entries
// wait in a bounded queue for a thread of their own, and an entry that finds
// the queue full, or the logger busy or gone, is dropped and counted
// (metrics: lines lost of the system log).
#pragma once
#include <cstddef>
#include <string>

namespace plat {

enum SystemLogKind : int { kSystemLogOff = 0, kSystemLogJournal = 1, kSystemLogSyslog = 2 };

// Entries waiting for the sender at most.
constexpr size_t kSystemLogQueue = 4096;
// Longest wait of a stop for the entries still queued.
constexpr long kSystemLogDrainMs = 2000;

// One field of an entry: `name` in the journal's form (upper case letters,
// digits and '_', such as "NESTRAP_CLIENT_IP"); its structured-data name is
// the same in lower case without the "NESTRAP_" prefix.
struct LogField {
  const char* name;
  const char* value;
};

// Whether `where` is a valid setting: empty or "0" (off), "1" (the journal
// when one runs, else /dev/log), or the absolute path of a syslog socket.
bool systemlogvalid(const char* where);
// Starts the sender for `where` (see systemlogvalid); `host` is the host
// name of the syslog messages. Returns the kind in use (kSystemLogOff
// where this build has no system log).
int systemlogstart(const char* where, const char* host);
// Queues one connection line with its fields (copied). No effect when off.
void systemlogsend(const char* message, const LogField* fields, size_t count);
// Sends what is queued (within kSystemLogDrainMs) and stops the sender.
void systemlogstop();

// The RFC 5424 message of an entry (exposed for tests and fuzzing):
// facility daemon, severity info, `stamp` the RFC 3339 time, `pid` the
// process. Structured-data values are cut to printable ASCII.
std::string syslogformat(const char* stamp, const char* host, long pid, const char* message,
                         const LogField* fields, size_t count);

}  // namespace plat
