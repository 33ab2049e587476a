// Inside the SMTP emulation: the command table, the handlers and the checks
// they share. Only the emulation and its tests include this header.
#pragma once
#include <cstddef>
#include <cstdint>

#include "server/record.h"

// Limits of the dialogue; reaching one ends the session with a closing reply.
constexpr uint32_t kMaxErrors = 6;        // errors tolerated before "550 Max errors exceeded"
constexpr uint32_t kMaxRecipients = 101;  // accepted RCPTs
constexpr uint32_t kMaxVerify = 11;       // VRFY and EXPN together
constexpr uint32_t kMaxNoop = 6;

// Buffers of one EmulateSmtp call.
constexpr size_t kReplySize = 3072;
constexpr size_t kVerbSize = 40;
constexpr size_t kArgCap = 260;
// Longest reply sent and longest dialogue text logged (the CR LF not counted).
constexpr size_t kDialogTextCap = 2047;

enum SmtpCommandCode {
  CMD_END = 0,
  CMD_HELO = 1,
  CMD_EHLO = 2,
  CMD_AUTH = 3,
  CMD_MAIL = 4,
  CMD_RCPT = 5,
  CMD_DATA = 6,
  CMD_QUIT = 7,
  CMD_VRFY = 8,
  CMD_EXPN = 9,
  CMD_HELP = 10,
  CMD_NOOP = 11,
  CMD_RSET = 12,
};

struct SmtpCommand {
  int32_t code;
  char verb[kVerbSize];
  int32_t compared;  // leading characters of the input that must equal the verb
};

// Scanned from the top; the first matching row wins; ends at code CMD_END.
extern const SmtpCommand smtp_commands[];

// A handler writes at most one reply (without the final CR LF) into the
// kReplySize-byte reply buffer and returns SMTP_CONTINUE or SMTP_CLOSE
// (DoMail also SMTP_LOST, with the reply buffer left empty).
using SmtpHandler = int (*)(char* reply, const char* verb, const char* arg, ConnectionRecord* r);

struct SmtpDispatch {
  int32_t code;
  SmtpHandler handler;
};
// Handler of every command code; ends at code CMD_END.
extern const SmtpDispatch smtp_handlers[];

int DoHelo(char* reply, const char* verb, const char* arg, ConnectionRecord* r);
int DoAuth(char* reply, const char* verb, const char* arg, ConnectionRecord* r);
int DoMail(char* reply, const char* verb, const char* arg, ConnectionRecord* r);
int DoRcpt(char* reply, const char* verb, const char* arg, ConnectionRecord* r);
int DoData(char* reply, const char* verb, const char* arg, ConnectionRecord* r);
int DoQuit(char* reply, const char* verb, const char* arg, ConnectionRecord* r);
int DoVrfy(char* reply, const char* verb, const char* arg, ConnectionRecord* r);
int DoExpn(char* reply, const char* verb, const char* arg, ConnectionRecord* r);
int DoHelp(char* reply, const char* verb, const char* arg, ConnectionRecord* r);
int DoNoop(char* reply, const char* verb, const char* arg, ConnectionRecord* r);
int DoRset(char* reply, const char* verb, const char* arg, ConnectionRecord* r);

// 1 when name is an acceptable HELO name: letters, digits, ".", "-", "_"
// only, not starting with "-" or ".", at least one ".".
int IsValidHeloName(const char* name);

enum AddressCheck { ADDR_OK = 0, ADDR_NO_DOMAIN = 1, ADDR_NO_USER = 2 };
// Rough look at a MAIL/RCPT/VRFY/EXPN argument; returns an AddressCheck.
int CheckAddress(const char* addr);

// Row of smtp_commands that input begins with (letter case ignored), or null.
const SmtpCommand* FindCommand(const char* input);

// The first word after the verb's compared characters: spaces skipped, at
// most kArgCap characters, cut at CR, LF, tab and space.
// REQUIRES: arg holds kArgCap + 1 bytes; input is at least `skip` characters.
void ExtractArgument(const char* input, size_t skip, char* arg);

// Stores the reply's first line (bounded to the field) in last_error.
void RecordError(ConnectionRecord* r, const char* reply);
// Logs the first line of text, bounded to kDialogTextCap, at LOG_CONN.
void LogDialogLine(const ConnectionRecord* r, const char* text);
// Sends reply (bounded to kDialogTextCap) plus CR LF with one send. Returns
// result, or SMTP_LOST when the send failed or sent nothing.
int SendReply(SocketHandle s, const char* reply, int result);
