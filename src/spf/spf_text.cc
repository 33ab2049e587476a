// Address and text helpers of the SPF evaluator: allocation-free, stateless.
#include <cstring>

#include "base/ipv4.h"
#include "base/text.h"
#include "spf/spf_internal.h"

namespace {

constexpr uint8_t ClassOf(int c) {
  uint8_t k = 0;
  if (c == 0 || c == ' ') k |= kSpfBlank;
  if (c >= '0' && c <= '9') k |= kSpfDigit;
  if ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')) k |= kSpfHex;
  if (c >= 'A' && c <= 'Z') k |= kSpfUpper;
  if (c >= 'a' && c <= 'z') k |= kSpfLower;
  if (c == '!' || c == '\'' || c == '(' || c == ')' || c == '*' || c == '~') k |= kSpfMark;
  if (c == '-' || c == '.' || c == '_') k |= kSpfNamePunct;
  if (c == '+' || c == ',' || c == '/' || c == '=') k |= kSpfDelimiter;
  return k;
}

struct Range {
  uint8_t net[16];
  int bits;
};

// The unspecified and loopback addresses, link-local and site-local.
const Range kSpecialIPv6[] = {
    {{0}, 127},
    {{0xFE, 0x80}, 9},
};

}  // namespace

const uint8_t kSpfCharClass[256] = {
#define C4(i) ClassOf(i), ClassOf(i + 1), ClassOf(i + 2), ClassOf(i + 3)
#define C16(i) C4(i), C4(i + 4), C4(i + 8), C4(i + 12)
#define C64(i) C16(i), C16(i + 16), C16(i + 32), C16(i + 48)
    C64(0), C64(64), C64(128), C64(192)
#undef C64
#undef C16
#undef C4
};

const char* SpfParseIPv4(const char* text, uint8_t out[4], char term) {
  if (!text) return nullptr;
  uint8_t buf[4];
  const char* p = readipv4(text, buf);
  if (p == nullptr || (!SpfIsBlank(*p) && *p != term)) return nullptr;
  memcpy(out, buf, 4);
  return p;
}

const char* SpfParseIPv6(const char* text, uint8_t out[16], char term) {
  if (!text) return nullptr;
  uint8_t buf[16] = {};
  int n = 0;     // bytes filled by groups (and an embedded IPv4 address)
  int gap = -1;  // byte index where "::" stands
  const char* p = text;
  if (*p == ':') {
    if (p[1] != ':') return nullptr;
    gap = 0;
    p += 2;
  }
  if (gap < 0 || SpfIsHexDigit(*p)) {
    for (;;) {
      if (!SpfIsHexDigit(*p)) return nullptr;
      unsigned v = 0;
      const char* q = p;
      while (SpfIsHexDigit(*q)) {
        v = v * 16 + (unsigned)hexvalue(*q);
        if (v > 0xFFFF) return nullptr;
        q++;
      }
      if (*q == '.') {
        // An embedded IPv4 address ends the text of the address.
        if (n > 12) return nullptr;
        const char* e = SpfParseIPv4(p, buf + n, term);
        if (!e) return nullptr;
        n += 4;
        p = e;
        break;
      }
      if (n >= 16) return nullptr;
      buf[n++] = (uint8_t)(v >> 8);
      buf[n++] = (uint8_t)v;
      p = q;
      if (*p != ':') break;
      if (p[1] == ':') {
        if (gap >= 0) return nullptr;
        gap = n;
        p += 2;
        if (!SpfIsHexDigit(*p)) break;
        continue;
      }
      p++;
    }
  }
  if (!SpfIsBlank(*p) && *p != term) return nullptr;
  if (gap < 0) {
    if (n != 16) return nullptr;
  } else {
    if (n > 14) return nullptr;  // the gap must stand for at least one group
    int tail = n - gap;
    memmove(buf + 16 - tail, buf + gap, (size_t)tail);
    memset(buf + gap, 0, (size_t)(16 - tail - gap));
  }
  memcpy(out, buf, 16);
  return p;
}

int SpfFormatU32(uint32_t v, char* out) {
  char tmp[16];
  int n = 0;
  do {
    tmp[n++] = (char)('0' + v % 10);
    v /= 10;
  } while (v);
  for (int i = 0; i < n; i++) out[i] = tmp[n - 1 - i];
  out[n] = 0;
  return n;
}

int SpfFormatI64(int64_t v, char* out) {
  uint64_t u = v < 0 ? (uint64_t)0 - (uint64_t)v : (uint64_t)v;
  char tmp[24];
  int n = 0;
  do {
    tmp[n++] = (char)('0' + u % 10);
    u /= 10;
  } while (u);
  int k = 0;
  if (v < 0) out[k++] = '-';
  for (int i = 0; i < n; i++) out[k++] = tmp[n - 1 - i];
  out[k] = 0;
  return k;
}

int SpfFormatHex32(uint32_t v, char* out) {
  char tmp[8];
  int n = 0;
  do {
    tmp[n++] = kHexDigits[v & 15];
    v >>= 4;
  } while (v);
  for (int i = 0; i < n; i++) out[i] = tmp[n - 1 - i];
  out[n] = 0;
  return n;
}

namespace {

int FormatDotted(const uint8_t* a, char* out) {
  int n = 0;
  for (int i = 0; i < 4; i++) {
    if (i) out[n++] = '.';
    n += SpfFormatU32(a[i], out + n);
  }
  return n;
}

int FormatGroups(const uint16_t* g, int from, int to, char* out) {
  int n = 0;
  for (int i = from; i < to; i++) {
    if (i > from) out[n++] = ':';
    n += SpfFormatHex32(g[i], out + n);
  }
  return n;
}

}  // namespace

int SpfFormatAddress(bool ipv6, const uint8_t* addr, char* out, bool nibbles) {
  if (!ipv6) return FormatDotted(addr, out);
  int n = 0;
  if (nibbles) {
    for (int i = 0; i < 16; i++) {
      if (i) out[n++] = '.';
      out[n++] = kHexDigits[addr[i] >> 4];
      out[n++] = '.';
      out[n++] = kHexDigits[addr[i] & 15];
    }
    out[n] = 0;
    return n;
  }
  uint16_t g[8];
  for (int i = 0; i < 8; i++) g[i] = (uint16_t)(addr[2 * i] << 8 | addr[2 * i + 1]);
  int best = -1, bestlen = 0;
  for (int i = 0; i < 8;) {
    if (g[i] != 0) {
      i++;
      continue;
    }
    int j = i;
    while (j < 8 && g[j] == 0) j++;
    if (j - i > bestlen) {
      best = i;
      bestlen = j - i;
    }
    i = j;
  }
  if (best < 0) {
    n = FormatGroups(g, 0, 8, out);
  } else if (bestlen == 8) {
    memcpy(out, "::", 3);
    return 2;
  } else if (best == 0 && bestlen == 6) {
    memcpy(out, "::", 2);
    n = 2 + FormatDotted(addr + 12, out + 2);
  } else if (best == 0 && bestlen == 5 && g[5] == 0xFFFF) {
    memcpy(out, "::FFFF:", 7);
    n = 7 + FormatDotted(addr + 12, out + 7);
  } else {
    n = FormatGroups(g, 0, best, out);
    out[n++] = ':';
    out[n++] = ':';
    n += FormatGroups(g, best + bestlen, 8, out + n);
  }
  out[n] = 0;
  return n;
}

int SpfPrefixMatch(const uint8_t* a, const uint8_t* b, int bits) {
  int i = 0;
  for (; bits >= 8; bits -= 8, i++) {
    if (a[i] != b[i]) return 0;
  }
  if (bits <= 0) return 1;
  uint8_t mask = (uint8_t)(0xFF << (8 - bits));
  return ((a[i] ^ b[i]) & mask) == 0;
}

int SpfIsPublicIPv4(const uint8_t addr[4]) { return isprivateipv4(ipv4number(addr)) ? 0 : 1; }

int SpfIsPublicIPv6(const uint8_t addr[16]) {
  for (const Range& r : kSpecialIPv6) {
    if (SpfPrefixMatch(addr, r.net, r.bits)) return 0;
  }
  return 1;
}

int SpfDomainSuffixMatch(const char* name, const char* domain) {
  if (!name || !domain) return 0;
  size_t nl = strlen(name), dl = strlen(domain);
  if (nl < dl) return 0;
  const char* tail = name + (nl - dl);
  if (nl > dl && tail[-1] != '.') return 0;
  for (size_t i = 0; i < dl; i++) {
    if (SpfToLower(tail[i]) != SpfToLower(domain[i])) return 0;
  }
  return 1;
}

bool SpfEqualNoCase(const char* a, const char* b) {
  if (!a || !b) return false;
  for (; *a && *b; a++, b++) {
    if (SpfToLower(*a) != SpfToLower(*b)) return false;
  }
  return *a == *b;
}

bool SpfRecordSyntaxOk(const char* record) {
  if (!record) return false;
  static const char kTag[] = "v=spf1";
  for (int i = 0; i < 6; i++) {
    if (SpfToLower(record[i]) != kTag[i]) return false;
  }
  return SpfIsBlank(record[6]);
}
