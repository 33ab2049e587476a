// The SMTP emulation: a closed Sendmail-like server that never accepts mail.
#pragma once
#include <cstddef>

#include "common/record.h"

enum SmtpResult { SMTP_CONTINUE = 1, SMTP_CLOSE = 2, SMTP_LOST = 3 };

// Total limits of one dialogue, whatever the client sends (well above the
// longest dialogue the other limits allow without RSET): past either, the
// next input gets the 421 and the session ends.
constexpr unsigned kMaxDialogueInputs = 200;
constexpr long kMaxDialogueMs = 10 * 60 * 1000;

// The temporary failure that ends a session (no CR LF).
extern const char kTempfailText[];

// Where replies go. The session engine queues them on its event loop behind
// their delay; the socket form (EmulateSmtp) waits and sends at once. A sink
// is the first member of the structure that implements it.
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

// Handles one client input (one line, its line end included, zero-terminated):
// logs it, answers it through out and updates the record.
int EmulateInput(ConnectionRecord* r, const char* input, ReplySink* out);
// EmulateInput with the replies sent over r->sock, each after its delay.
int EmulateSmtp(ConnectionRecord* r, const char* input);
// A line longer than SMTP allows has ended (its head was logged): one 500
// for the whole line, counted and recorded as an error, after the error
// limit and with the response delay as any input.
int RefuseLongLine(ConnectionRecord* r, ReplySink* out);
// A dialogue past its total limit: logs the input, answers it with the 421
// and returns SMTP_CLOSE, counters untouched (as the error limit does).
int RefuseOverLimit(ConnectionRecord* r, const char* input, ReplySink* out);
