// The emulation's command loop: one call answers one chunk of client input.
#include "smtp/emulate.h"

#include <strings.h>

#include <cstring>

#include "platform/net.h"
#include "platform/sys.h"
#include "server/log.h"
#include "server/settings.h"
#include "server/textbuf.h"
#include "smtp/commands.h"

const SmtpCommand smtp_commands[] = {
    {CMD_HELO, "HELO", 4},
    {CMD_EHLO, "EHLO", 4},
    {CMD_AUTH, "AUTH PLAIN", 10},
    {CMD_MAIL, "MAIL FROM:", 10},
    {CMD_RCPT, "RCPT TO:", 8},
    {CMD_DATA, "DATA", 4},
    {CMD_QUIT, "QUIT", 4},
    {CMD_VRFY, "VRFY", 4},
    {CMD_EXPN, "EXPN", 4},
    {CMD_HELP, "HELP", 4},
    {CMD_NOOP, "NOOP", 4},
    {CMD_RSET, "RSET", 4},
    {CMD_END, "NULL", 0},
};

const SmtpDispatch smtp_handlers[] = {
    {CMD_HELO, DoHelo}, {CMD_EHLO, DoHelo}, {CMD_AUTH, DoAuth}, {CMD_MAIL, DoMail},
    {CMD_RCPT, DoRcpt}, {CMD_DATA, DoData}, {CMD_QUIT, DoQuit}, {CMD_VRFY, DoVrfy},
    {CMD_EXPN, DoExpn}, {CMD_HELP, DoHelp}, {CMD_NOOP, DoNoop}, {CMD_RSET, DoRset},
    {CMD_END, nullptr},
};

namespace {

const char kMaxErrorsReply[] = "550 Max errors exceeded";
const char kUnrecognizedReply[] = "500 Command unrecognized";

SmtpHandler HandlerFor(int32_t code) {
  for (const SmtpDispatch* d = smtp_handlers; d->code != CMD_END; ++d)
    if (d->code == code) return d->handler;
  return nullptr;
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

int SendReply(SocketHandle s, const char* reply, int result) {
  char out[kDialogTextCap + 3];
  size_t n = textcopy(out, kDialogTextCap + 1, reply);
  out[n++] = '\r';
  out[n++] = '\n';
  return plat::sendsocket(s, out, n) >= 1 ? result : SMTP_LOST;
}

int EmulateSmtp(ConnectionRecord* r, const char* input) {
  LogDialogLine(r, input);

  if (r->error_count >= kMaxErrors) {
    LogDialogLine(r, kMaxErrorsReply);
    return SendReply(r->sock, kMaxErrorsReply, SMTP_CLOSE);
  }

  const SmtpCommand* cmd = FindCommand(input);
  SmtpHandler handler = cmd != nullptr ? HandlerFor(cmd->code) : nullptr;
  if (handler == nullptr) {
    r->error_count++;
    RecordError(r, kUnrecognizedReply);
    plat::sleepms(settings.TarpitTime);
    LogDialogLine(r, kUnrecognizedReply);
    return SendReply(r->sock, kUnrecognizedReply, SMTP_CONTINUE);
  }

  char verb[kVerbSize];
  textcopy(verb, cmd->verb);
  char arg[kArgCap + 1];
  ExtractArgument(input, (size_t)cmd->compared, arg);

  char reply[kReplySize];
  memset(reply, 0, sizeof reply);
  int result = handler(reply, verb, arg, r);
  if (result == SMTP_CLOSE) r->quit_seen = 1;
  if (reply[0] == '\0') return result;

  // DATA's 471 and 421 are part of the decoy's normal course, not errors.
  if (reply[0] == '5' || (reply[0] == '4' && cmd->code != CMD_DATA)) RecordError(r, reply);
  if (result == SMTP_CONTINUE) plat::sleepms(settings.TarpitTime);
  LogDialogLine(r, reply);
  return SendReply(r->sock, reply, result);
}
