// One client session from banner to close, and the socket read and close
// operations every part of the front end uses.
#pragma once
#include <cstddef>

#include "server/record.h"

constexpr size_t kLineBufferSize = 4096;

// Runs the session on r. Returns 1 when r->sock is invalid (nothing done),
// else 0. The connection is closed on return.
int HandleSession(ConnectionRecord* r);

// Waits up to timeout_ms for input, then reads one chunk of at most len bytes
// into buf (zeroing its first len bytes first). Returns 1 when at least one
// byte arrived, 0 on time-out, error or orderly close.
// REQUIRES: buf holds len + 1 bytes.
int RecvWithTimeout(SocketHandle s, char* buf, size_t len, unsigned long timeout_ms);

// Closes s: abortive (reset) when abortive is 1, else shuts down sending,
// drains for half of RxTimeOut and closes. Returns 1 when closed without error.
int ShutdownConnection(SocketHandle s, int abortive);

// Tempfail mode: the argument of the first input line (tabs and "|" turned
// to blanks, cut at the first CR or else LF, the verb and the blanks behind
// it skipped) into helo. Modifies input in place (sanitised and cut). Returns
// 1 when a line end was found (the cut input is then worth logging).
int ExtractHeloArgument(char* input, char* helo, size_t helosize);
