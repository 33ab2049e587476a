// Text helpers every layer shares: blanks, control bytes, hex digits and
// leading numbers. Nothing here allocates.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

// Upper-case hex digits, "0123456789ABCDEF".
extern const char kHexDigits[17];
// Value of a hex digit (either case), -1 for any other character.
int hexvalue(char c);

// `s` without leading and trailing spaces and tabs.
std::string_view trimblanks(std::string_view s);

// Clients and DNS answers can put terminal control sequences into text that
// gets logged: replaces every control byte (below 0x20, and DEL) of
// [s, s + len) with a blank; with `keeplayout`, tab and line feed stay.
void blankcontrols(char* s, size_t len, bool keeplayout = false);

// A leading integer as C's atol reads it: white space, an optional sign,
// then decimal digits, or with `hex` also "0x" followed by hex digits.
struct TextNumber {
  bool negative = false;
  uint64_t magnitude = 0;  // modulo 2^64
  bool big = false;        // the magnitude passed INT32_MAX
  bool over32 = false;     // the magnitude passed UINT32_MAX
};
TextNumber readnumber(const char* text, bool hex);
// Whether the number readnumber finds fits a 32-bit field: a signed one, or
// an unsigned one (where a negative number stands for its 32-bit wrap, as
// C's conversions give it).
bool numberfits(const char* text, bool hex, bool unsigned32);
