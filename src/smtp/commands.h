// The SMTP emulation: a closed Sendmail-like server that never accepts mail.
// One call answers one line of client input through a reply sink; the
// command table, its handlers and the checks they share live behind it.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/record.h"
#include "smtp/reply.h"

// Limits of the dialogue; reaching one ends the session with a closing reply.
constexpr uint32_t kMaxErrors = 6;        // errors tolerated before "550 Max errors exceeded"
constexpr uint32_t kMaxRecipients = 101;  // accepted RCPTs
constexpr uint32_t kMaxVerify = 11;       // VRFY and EXPN together
constexpr uint32_t kMaxNoop = 6;

// Total limits of one dialogue, whatever the client sends (well above the
// longest dialogue the other limits allow without RSET): past either, the
// next input gets the 421 and the session ends.
constexpr unsigned kMaxDialogueInputs = 200;
constexpr long kMaxDialogueMs = 10 * 60 * 1000;

// Longest argument kept from a command line.
constexpr size_t kArgCap = 260;

// Handles one client input (one line, its line end included, zero-terminated):
// logs it, answers it through out and updates the record. Returns an
// SmtpResult.
int EmulateSmtp(ConnectionRecord* r, const char* input, ReplySink* out);
// A line longer than SMTP allows has ended (its head was logged): one 500
// for the whole line, counted and recorded as an error, after the error
// limit and with the response delay as any input.
int RefuseLongLine(ConnectionRecord* r, ReplySink* out);
// A dialogue past its total limit: logs the input, answers it with the 421
// and returns SMTP_CLOSE, counters untouched (as the error limit does).
int RefuseOverLimit(ConnectionRecord* r, const char* input, ReplySink* out);

// 1 when name is an acceptable HELO name: letters, digits, ".", "-", "_"
// only, not starting with "-" or ".", at least one ".".
int IsValidHeloName(const char* name);

enum AddressCheck { ADDR_OK = 0, ADDR_NO_DOMAIN = 1, ADDR_NO_USER = 2 };
// Rough look at a MAIL/RCPT/VRFY/EXPN argument; returns an AddressCheck.
int CheckAddress(const char* addr);

// The first word after the verb's compared characters: spaces skipped, at
// most kArgCap characters, cut at CR, LF, tab and space.
// REQUIRES: arg holds kArgCap + 1 bytes; input is at least `skip` characters.
void ExtractArgument(const char* input, size_t skip, char* arg);
