// Client sessions from banner to close, as state machines on an event loop:
// one loop (one worker thread) carries many sessions at once, and nothing a
// client does or fails to do blocks it. Also the socket close every part of
// the front end uses.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/record.h"

constexpr size_t kLineBufferSize = 4096;

struct SessionLoop;

// Receives every finished session's record; the loop no longer holds it.
using SessionDone = void (*)(ConnectionRecord* r, void* ctx);

// New loop, or null when the system refused the resources.
SessionLoop* loopcreate(SessionDone done, void* ctx);
// REQUIRES: the loop holds no session.
void loopfree(SessionLoop* l);
// Starts the session of r on the loop (banner after TarpitTime). Returns 1;
// 0 when it cannot be carried (r untouched, its socket still open).
int loopstart(SessionLoop* l, ConnectionRecord* r);
// Waits up to max_wait_ms (< 0: no limit; less when a timer falls due
// sooner; a wake ends it at once) and runs whatever became due.
void loopturn(SessionLoop* l, long max_wait_ms);
// Makes the current or next loopturn return at once. Thread-safe.
void loopwake(SessionLoop* l);
// Ends every session at once, closed as a read time-out closes it.
void loopstopall(SessionLoop* l);
// Sessions the loop holds.
uint32_t loopcount(const SessionLoop* l);
// Watches the listening socket s (shared with other loops) and calls
// ready(ctx) from loopturn whenever a connection may wait. Returns 1; 0 when
// the platform cannot share a listener or the poller refused it.
int loopwatchlistener(SessionLoop* l, SocketHandle s, void (*ready)(void* ctx), void* ctx);
// Stops watching s (a pause in accepting).
void loopunwatchlistener(SessionLoop* l, SocketHandle s);

// The level of a socket error on a client's connection: what the client
// causes (a reset, a connection gone) is session progress, not an error.
int socketerrorlevel(int err);
// Resets and closes s (abortive close). Returns 1 when closed without error.
int ResetConnection(SocketHandle s);
// Refuses r's connection at once: the tempfail reply without banner or
// wait, then the close. The reply becomes the record's last error; the
// socket is closed whatever happens.
void RefuseConnection(ConnectionRecord* r);

// Tempfail mode: the argument of the first input line (tabs and "|" turned
// to blanks, cut at the first CR or else LF, the verb and the blanks behind
// it skipped) into helo. Modifies input in place (sanitised and cut). Returns
// 1 when a line end was found (the cut input is then worth logging).
int ExtractHeloArgument(char* input, char* helo, size_t helosize);
