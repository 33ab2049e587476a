// How a reply leaves the emulation: the sink it is put into and the one
// function every reply goes out through. What the session, the command
// handlers and their tests share, and nothing more.
#pragma once
#include <cstddef>

#include "common/record.h"

enum SmtpResult { SMTP_CONTINUE = 1, SMTP_CLOSE = 2, SMTP_LOST = 3 };

// Longest reply sent and longest dialogue text logged (the CR LF not counted).
constexpr size_t kDialogTextCap = 2047;

// The temporary failure that ends a session (no CR LF).
extern const char kTempfailText[];

// Where replies go: the session queues them on its connection behind their
// delay; a test keeps them. A sink is the first member of the structure that
// implements it.
struct ReplySink {
  // Sends data once delay_ms have passed, after what was put before. When
  // `log` is given, the first line of data is logged as that record's
  // dialogue line when it goes out. Returns 1, or 0 when the client is gone.
  int (*put)(ReplySink* self, const char* data, size_t len, long delay_ms,
             const ConnectionRecord* log);
};

// The one way every reply goes out (banner and 421 included): the reply
// bounded to the longest dialogue text, plus CR LF, in one piece. Returns
// result, or SMTP_LOST when the client is gone.
int SendReply(ReplySink* out, const char* reply, int result, long delay_ms = 0,
              const ConnectionRecord* log = nullptr);

// Logs the first line of text, bounded to the longest dialogue text, at
// LOG_CONN as a line of r's session.
void LogDialogLine(const ConnectionRecord* r, const char* text);

// Stores the reply's first line (bounded to the field) in last_error.
void RecordError(ConnectionRecord* r, const char* reply);
