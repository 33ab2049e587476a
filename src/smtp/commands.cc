// The emulation: its command table, the handlers (Sendmail-like replies, no
// mail accepted), the checks they share and the command loop over them.
#include "smtp/commands.h"

#include <strings.h>

#include <cctype>
#include <cstring>

#include "common/log.h"
#include "common/recordlists.h"
#include "common/settings.h"
#include "base/textbuf.h"

namespace {

// Buffers of one EmulateSmtp call.
constexpr size_t kReplySize = 3072;
constexpr size_t kVerbSize = 40;

enum SmtpCommandCode { CMD_END, CMD_HELO, CMD_EHLO, CMD_AUTH, CMD_MAIL, CMD_RCPT, CMD_DATA,
                       CMD_QUIT, CMD_VRFY, CMD_EXPN, CMD_HELP, CMD_NOOP, CMD_RSET };

// Every handler: writes at most one reply (without the final CR LF) into the
// kReplySize-byte reply buffer and returns SMTP_CONTINUE or SMTP_CLOSE
// (DoMail also SMTP_LOST, with the reply buffer left empty). Only DoMail
// sends anything itself, through out.
using SmtpHandler = int(ReplySink* out, char* reply, const char* verb, const char* arg,
                        ConnectionRecord* r);

struct SmtpCommand {
  int32_t code;
  char verb[kVerbSize];
  int32_t compared;  // leading characters of the input that must equal the verb
  SmtpHandler* handler;
};

const char kMaxErrorsReply[] = "550 Max errors exceeded";
const char kUnrecognizedReply[] = "500 Command unrecognized";
const char kLineTooLongReply[] = "500 Line too long";

const char kHeloChars[] = "0123456789.-abcdefghijklmnopqrstuvwxyz_";
const char kNoHeloNotice[] = "250-HELO/EHLO Command not issued, proceeding anyway";
const char kHelpText[] =
    "214-This is sendmail version 8.2.0\r\n"
    "214-Supported commands:\r\n"
    "214-      HELO    EHLO    MAIL   RCPT     DATA\r\n"
    "214-      VRFY    EXPN    RSET   HELP     NOOP\r\n"
    "214-      QUIT\r\n"
    "214-For local information send email to Postmaster at your site.\r\n"
    "214 End of HELP info";

int NeedsArgument(char* reply, const char* verb, ConnectionRecord* r) {
  textformat(reply, kReplySize, "501 %s needs argument", verb);
  r->error_count++;
  return SMTP_CONTINUE;
}

int UserRequired(char* reply, const char* arg, ConnectionRecord* r) {
  textformat(reply, kReplySize, "553 %s... User address required", arg);
  r->error_count++;
  return SMTP_CONTINUE;
}

// VRFY and EXPN share their counter and limit; returns 0 when the caller
// should go on and answer the argument, else the handler's result.
int CountVerification(char* reply, const char* verb, const char* arg, ConnectionRecord* r,
                      int* result) {
  if (r->vrfy_count >= kMaxVerify) {
    textcopy(reply, kReplySize, "451 max recipient verification exceeded");
    *result = SMTP_CLOSE;
    return 1;
  }
  r->vrfy_count++;
  if (arg[0] == '\0') {
    *result = NeedsArgument(reply, verb, r);
    return 1;
  }
  return 0;
}

}  // namespace

int IsValidHeloName(const char* name) {
  for (const char* p = name; *p; ++p) {
    int c = tolower((unsigned char)*p);
    if (strchr(kHeloChars, c) == nullptr) return 0;
  }
  if (name[0] == '-' || name[0] == '.') return 0;
  return strchr(name, '.') != nullptr ? 1 : 0;
}

int CheckAddress(const char* addr) {
  if (strcmp(addr, "<>") == 0) return ADDR_OK;
  if (strchr(addr, '@') == nullptr || strchr(addr, '.') == nullptr) return ADDR_NO_DOMAIN;
  if (addr[0] == '@') return ADDR_NO_USER;
  if (strncmp(addr, "<@", 2) == 0) return ADDR_NO_USER;
  return ADDR_OK;
}

namespace {

int DoHelo(ReplySink*, char* reply, const char* verb, const char* arg, ConnectionRecord* r) {
  if (arg[0] == '\0') return NeedsArgument(reply, verb, r);
  textcopy(r->helo, arg, kArgCap);
  if (!IsValidHeloName(arg)) {
    // Noted for the log only: the client still gets its greeting.
    textcopy(r->last_error, "501 Invalid HELO");
    r->error_count++;
  }
  if (strcasecmp(verb, "EHLO") == 0)
    textformat(reply, kReplySize,
               "250-Hello %s ([%s]), nice to meet you.\r\n250-HELP\r\n250-VRFY\r\n"
               "250-EXPN\r\n250-NOOP\r\n250 AUTH PLAIN",
               arg, r->client_ip);
  else
    textformat(reply, kReplySize, "250 Hello %s ([%s]), nice to meet you.", arg, r->client_ip);
  return SMTP_CONTINUE;
}

int DoAuth(ReplySink*, char* reply, const char* verb, const char* arg, ConnectionRecord* r) {
  if (r->auth_done == 1) {
    textformat(reply, kReplySize, "503 %s already authenticated", verb);
    r->error_count++;
    return SMTP_CONTINUE;
  }
  if (arg[0] == '\0') return NeedsArgument(reply, verb, r);
  textcopy(r->auth_data, arg, kArgCap);
  r->auth_done = 1;
  textcopy(reply, kReplySize, "235 ok, go ahead (#2.0.0)");
  return SMTP_CONTINUE;
}

int DoMail(ReplySink* out, char* reply, const char* verb, const char* arg, ConnectionRecord* r) {
  if (arg[0] == '\0') return NeedsArgument(reply, verb, r);
  if (r->mail_from[0] != '\0' && r->rset_seen == 0) {
    textcopy(reply, kReplySize, "503 Nested MAIL command");
    r->error_count++;
    return SMTP_CONTINUE;
  }
  if (r->mail_from[0] != '\0' || r->rset_seen == 1) {
    r->rset_seen = 0;
    r->mail_from[0] = '\0';
    r->rcpt_to[0] = '\0';
    r->rcpt_count = 0;
  }
  if (r->helo[0] == '\0') {
    r->error_count++;
    // A continuation line: the reply below completes it, whatever its code.
    if (SendReply(out, kNoHeloNotice, SMTP_CONTINUE) == SMTP_LOST) return SMTP_LOST;
  }
  switch (CheckAddress(arg)) {
    case ADDR_OK:
      textformat(reply, kReplySize, "250 %s... Sender ok", arg);
      textcopy(r->mail_from, arg, kArgCap);
      transactionbegin(r, r->mail_from);
      break;
    case ADDR_NO_DOMAIN:
      textformat(reply, kReplySize, "553 %s... Domain name required for sender address", arg);
      r->error_count++;
      break;
    default:
      return UserRequired(reply, arg, r);
  }
  return SMTP_CONTINUE;
}

int DoRcpt(ReplySink*, char* reply, const char* verb, const char* arg, ConnectionRecord* r) {
  if (r->mail_from[0] == '\0' || r->rset_seen == 1) {
    textcopy(reply, kReplySize, "503 Need MAIL before RCPT");
    return SMTP_CONTINUE;
  }
  if (arg[0] == '\0') return NeedsArgument(reply, verb, r);
  if (r->rcpt_count == 0) textcopy(r->rcpt_to, arg, kArgCap);
  switch (CheckAddress(arg)) {
    case ADDR_OK:
      if (r->rcpt_count >= kMaxRecipients) {
        textcopy(reply, kReplySize, "452 too many recipients");
        return SMTP_CLOSE;
      }
      r->rcpt_count++;
      transactionrcpt(r, arg);
      textformat(reply, kReplySize, "250 %s... Recipient ok", arg);
      return SMTP_CONTINUE;
    case ADDR_NO_DOMAIN:
      textformat(reply, kReplySize, "553 %s... User unknown", arg);
      r->error_count++;
      return SMTP_CONTINUE;
    default:
      return UserRequired(reply, arg, r);
  }
}

int DoData(ReplySink*, char* reply, const char*, const char*, ConnectionRecord* r) {
  if (r->rcpt_count == 0 || r->rset_seen == 1) {
    // Counted as a recipient on purpose: a second DATA then gets the 421.
    r->rcpt_count++;
    textcopy(reply, kReplySize, "471 Bad or missing RCPT command");
    return SMTP_CONTINUE;
  }
  textcopy(reply, kReplySize, kTempfailText);
  return SMTP_CLOSE;
}

int DoQuit(ReplySink*, char* reply, const char*, const char*, ConnectionRecord*) {
  textcopy(reply, kReplySize, "221 closing connection.");
  return SMTP_CLOSE;
}

int DoVrfy(ReplySink*, char* reply, const char* verb, const char* arg, ConnectionRecord* r) {
  int result = SMTP_CONTINUE;
  if (CountVerification(reply, verb, arg, r, &result)) return result;
  switch (CheckAddress(arg)) {
    case ADDR_OK:
      textformat(reply, kReplySize, "251 User not local; will forward to %s", arg);
      return SMTP_CONTINUE;
    case ADDR_NO_DOMAIN:
      textcopy(reply, kReplySize,
               "252 Cannot VRFY user; try RCPT to attempt delivery (or try finger)");
      return SMTP_CONTINUE;
    default:
      return UserRequired(reply, arg, r);
  }
}

int DoExpn(ReplySink*, char* reply, const char* verb, const char* arg, ConnectionRecord* r) {
  int result = SMTP_CONTINUE;
  if (CountVerification(reply, verb, arg, r, &result)) return result;
  if (CheckAddress(arg) == ADDR_NO_USER) return UserRequired(reply, arg, r);
  textformat(reply, kReplySize, "250 %s", arg);
  return SMTP_CONTINUE;
}

int DoHelp(ReplySink*, char* reply, const char*, const char*, ConnectionRecord*) {
  textcopy(reply, kReplySize, kHelpText);
  return SMTP_CONTINUE;
}

int DoNoop(ReplySink*, char* reply, const char*, const char*, ConnectionRecord* r) {
  if (r->noop_count >= kMaxNoop) {
    textcopy(reply, kReplySize, "451 max NOOP exceeded");
    return SMTP_CLOSE;
  }
  r->noop_count++;
  textcopy(reply, kReplySize, "250 OK");
  return SMTP_CONTINUE;
}

int DoRset(ReplySink*, char* reply, const char*, const char* arg, ConnectionRecord* r) {
  if (arg[0] != '\0') {
    textcopy(reply, kReplySize, "501 Invalid argument");
    return SMTP_CONTINUE;
  }
  r->rset_seen = 1;
  textcopy(reply, kReplySize, "250 OK");
  return SMTP_CONTINUE;
}

// Scanned from the top; the first matching row wins; ends at code CMD_END.
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

// Row of smtp_commands that input begins with (letter case ignored), or null.
const SmtpCommand* FindCommand(const char* input) {
  for (const SmtpCommand* c = smtp_commands; c->code != CMD_END; ++c)
    if (strncasecmp(input, c->verb, (size_t)c->compared) == 0) return c;
  return nullptr;
}

}  // namespace

void ExtractArgument(const char* input, size_t skip, char* arg) {
  const char* p = input + skip;
  while (*p == ' ') p++;
  textcopy(arg, kArgCap + 1, p, kArgCap);
  textcut(arg, "\r\n\t ");
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

int EmulateSmtp(ConnectionRecord* r, const char* input, ReplySink* out) {
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
