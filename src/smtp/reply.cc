#include "smtp/reply.h"

#include <cstring>

#include "common/log.h"
#include "base/textbuf.h"

const char kTempfailText[] =
    "421 4.2.1 Service temporarily unavailable, closing transmission channel.";

namespace {

// Length of the first line of text (up to the first CR or LF).
size_t FirstLineLength(const char* text) { return strcspn(text, "\r\n"); }

}  // namespace

void RecordError(ConnectionRecord* r, const char* reply) {
  textcopy(r->last_error, reply, FirstLineLength(reply));
}

void LogDialogLine(const ConnectionRecord* r, const char* text) {
  char line[kDialogTextCap + 1];
  textcopy(line, text, FirstLineLength(text));
  logmsg(LOG_CONN, "%s %s %s", r->thread_tag, r->client_ip, line);
}

int SendReply(ReplySink* out, const char* reply, int result, long delay_ms,
              const ConnectionRecord* log) {
  char text[kDialogTextCap + 3];
  size_t n = textcopy(text, kDialogTextCap + 1, reply);
  text[n++] = '\r';
  text[n++] = '\n';
  text[n] = '\0';
  return out->put(out, text, n, delay_ms, log) ? result : SMTP_LOST;
}
