// Inside the SMTP emulation: the command table, the handlers and the checks
// they share. Only the emulation and its tests include this header.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/record.h"

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

struct ReplySink;

// A handler writes at most one reply (without the final CR LF) into the
// kReplySize-byte reply buffer and returns SMTP_CONTINUE or SMTP_CLOSE
// (DoMail also SMTP_LOST, with the reply buffer left empty). Only DoMail
// sends anything itself, through out.
using SmtpHandler = int (*)(ReplySink* out, char* reply, const char* verb, const char* arg,
                            ConnectionRecord* r);

struct SmtpCommand {
  int32_t code;
  char verb[kVerbSize];
  int32_t compared;  // leading characters of the input that must equal the verb
  SmtpHandler handler;
};

// Scanned from the top; the first matching row wins; ends at code CMD_END.
extern const SmtpCommand smtp_commands[];

int DoHelo(ReplySink* out, char* reply, const char* verb, const char* arg,
           ConnectionRecord* r);
int DoAuth(ReplySink* out, char* reply, const char* verb, const char* arg,
           ConnectionRecord* r);
int DoMail(ReplySink* out, char* reply, const char* verb, const char* arg,
           ConnectionRecord* r);
int DoRcpt(ReplySink* out, char* reply, const char* verb, const char* arg,
           ConnectionRecord* r);
int DoData(ReplySink* out, char* reply, const char* verb, const char* arg,
           ConnectionRecord* r);
int DoQuit(ReplySink* out, char* reply, const char* verb, const char* arg,
           ConnectionRecord* r);
int DoVrfy(ReplySink* out, char* reply, const char* verb, const char* arg,
           ConnectionRecord* r);
int DoExpn(ReplySink* out, char* reply, const char* verb, const char* arg,
           ConnectionRecord* r);
int DoHelp(ReplySink* out, char* reply, const char* verb, const char* arg,
           ConnectionRecord* r);
int DoNoop(ReplySink* out, char* reply, const char* verb, const char* arg,
           ConnectionRecord* r);
int DoRset(ReplySink* out, char* reply, const char* verb, const char* arg,
           ConnectionRecord* r);

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
