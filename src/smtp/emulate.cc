// The emulation's command loop: one call answers one line of client input.
#include "smtp/emulate.h"

#include <strings.h>

#include <cstring>

#include "platform/net.h"
#include "platform/sys.h"
#include "common/log.h"
#include "common/settings.h"
#include "base/textbuf.h"
#include "smtp/commands.h"

const SmtpCommand smtp_commands[] = {
    {CMD_HELO, "HELO", 4, DoHelo},
    {CMD_EHLO, "EHLO", 4, DoHelo},
    {CMD_AUTH, "AUTH PLAIN", 10, DoAuth},
    {CMD_MAIL, "MAIL FROM:", 10, DoMail},
    {CMD_RCPT, "RCPT TO:", 8, DoRcpt},
    {CMD_DATA, "DATA", 4, DoData},
    {CMD_QUIT, "QUIT", 4, DoQuit},
    {CMD_VRFY, "VRFY", 4, DoVrfy},
    {CMD_EXPN, "EXPN", 4, DoExpn},
    {CMD_HELP, "HELP", 4, DoHelp},
    {CMD_NOOP, "NOOP", 4, DoNoop},
    {CMD_RSET, "RSET", 4, DoRset},
    {CMD_END, "NULL", 0, nullptr},
};

const char kTempfailText[] =
    "421 4.2.1 Service temporarily unavailable, closing transmission channel.";

namespace {

const char kMaxErrorsReply[] = "550 Max errors exceeded";
const char kUnrecognizedReply[] = "500 Command unrecognized";
const char kLineTooLongReply[] = "500 Line too long";

// Replies straight over a socket, waiting out each delay first.
struct SocketSink {
  ReplySink sink;
  SocketHandle s;
};

int socketput(ReplySink* self, const char* data, size_t len, long delay_ms,
              const ConnectionRecord* log) {
  SocketSink* out = reinterpret_cast<SocketSink*>(self);
  plat::sleepms(delay_ms);
  if (log != nullptr) LogDialogLine(log, data);
  return plat::sendsocket(out->s, data, len) >= 1 ? 1 : 0;
}

// Length of the first line of text (up to the first CR or LF).
size_t FirstLineLength(const char* text) { return strcspn(text, "\r\n"); }

}  // namespace

const SmtpCommand* FindCommand(const char* input) {
  for (const SmtpCommand* c = smtp_commands; c->code != CMD_END; ++c)
    if (strncasecmp(input, c->verb, (size_t)c->compared) == 0) return c;
  return nullptr;
}

void ExtractArgument(const char* input, size_t skip, char* arg) {
  const char* p = input + skip;
  while (*p == ' ') p++;
  textcopy(arg, kArgCap + 1, p, kArgCap);
  textcut(arg, "\r\n\t ");
}

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

int RefuseOverLimit(ConnectionRecord* r, const char* input, ReplySink* out) {
  LogDialogLine(r, input);
  return SendReply(out, kTempfailText, SMTP_CLOSE, 0, r);
}

int RefuseLongLine(ConnectionRecord* r, ReplySink* out) {
  if (r->error_count >= kMaxErrors) return SendReply(out, kMaxErrorsReply, SMTP_CLOSE, 0, r);
  r->error_count++;
  RecordError(r, kLineTooLongReply);
  return SendReply(out, kLineTooLongReply, SMTP_CONTINUE, settings.TarpitTime, r);
}

int EmulateSmtp(ConnectionRecord* r, const char* input) {
  SocketSink out = {{socketput}, r->sock};
  return EmulateInput(r, input, &out.sink);
}

int EmulateInput(ConnectionRecord* r, const char* input, ReplySink* out) {
  LogDialogLine(r, input);

  if (r->error_count >= kMaxErrors) return SendReply(out, kMaxErrorsReply, SMTP_CLOSE, 0, r);

  const SmtpCommand* cmd = FindCommand(input);
  if (cmd == nullptr) {
    r->error_count++;
    RecordError(r, kUnrecognizedReply);
    return SendReply(out, kUnrecognizedReply, SMTP_CONTINUE, settings.TarpitTime, r);
  }

  char verb[kVerbSize];
  textcopy(verb, cmd->verb);
  char arg[kArgCap + 1];
  ExtractArgument(input, (size_t)cmd->compared, arg);

  char reply[kReplySize];
  memset(reply, 0, sizeof reply);
  int result = cmd->handler(out, reply, verb, arg, r);
  if (result == SMTP_CLOSE) r->quit_seen = 1;
  if (reply[0] == '\0') return result;

  // DATA's 471 and 421 are part of the decoy's normal course, not errors.
  if (reply[0] == '5' || (reply[0] == '4' && cmd->code != CMD_DATA)) RecordError(r, reply);
  long delay = result == SMTP_CONTINUE ? settings.TarpitTime : 0;
  return SendReply(out, reply, result, delay, r);
}
