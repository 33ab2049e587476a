#include "base/text.h"

#include <cstdint>

const char kHexDigits[17] = "0123456789ABCDEF";

int hexvalue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view trimblanks(std::string_view s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return s.substr(s.size());
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

void blankcontrols(char* s, size_t len, bool keeplayout) {
  for (size_t i = 0; i < len; i++) {
    unsigned char c = (unsigned char)s[i];
    if (keeplayout && (c == '\t' || c == '\n')) continue;
    if (c < 0x20 || c == 0x7F) s[i] = ' ';
  }
}

TextNumber readnumber(const char* text, bool hex) {
  TextNumber n;
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') p++;
  if (*p == '+' || *p == '-') n.negative = (*p++ == '-');
  unsigned base = 10;
  if (hex && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  }
  for (int d; (d = hexvalue(*p)) >= 0 && (unsigned)d < base; p++) {
    n.magnitude = n.magnitude * base + (unsigned)d;
    if (n.magnitude > INT32_MAX) n.big = true;
    if (n.magnitude > UINT32_MAX) n.over32 = true;
  }
  return n;
}

bool numberfits(const char* text, bool hex, bool unsigned32) {
  TextNumber n = readnumber(text, hex);
  if (n.over32) return false;
  return unsigned32 || !n.big || (n.negative && n.magnitude == (uint64_t)INT32_MAX + 1);
}
