#include "base/ipv4.h"

#include <cstring>

#include "base/textbuf.h"

namespace {

struct Range {
  uint32_t net;  // host order
  int bits;
};

// Ranges whose addresses no outside party can own.
const Range kPrivateRanges[] = {
    {0x00000000, 8},   // "this network": a source placeholder, never a peer or a host
    {0x0A000000, 8},   // private networks (RFC 1918)
    {0x7F000000, 8},   // loopback
    {0xA9FE0000, 16},  // link-local (self-assigned, no DHCP)
    {0xAC100000, 12},  // private networks (RFC 1918)
    {0xC0A80000, 16},  // private networks (RFC 1918)
    {0xFFFFFFFF, 32},  // limited broadcast
};

}  // namespace

const char* readipv4(const char* text, uint8_t out[4]) {
  uint8_t buf[4];
  const char* p = text;
  for (int i = 0; i < 4; i++) {
    if (*p < '0' || *p > '9') return nullptr;
    unsigned v = 0;
    while (*p >= '0' && *p <= '9') {
      v = v * 10 + (unsigned)(*p - '0');
      if (v > 255) return nullptr;
      p++;
    }
    buf[i] = (uint8_t)v;
    if (i < 3 && *p++ != '.') return nullptr;
  }
  memcpy(out, buf, 4);
  return p;
}

uint32_t ipv4number(const uint8_t a[4]) {
  return ((uint32_t)a[0] << 24) | ((uint32_t)a[1] << 16) | ((uint32_t)a[2] << 8) | a[3];
}

uint32_t hostorder(uint32_t addr_net) { return ipv4number((const uint8_t*)&addr_net); }

size_t dotted(const uint8_t a[4], char* buf, size_t size) {
  return textformat(buf, size, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
}

size_t reversedotted(uint32_t a, const char* suffix, char* buf, size_t size) {
  return textformat(buf, size, "%u.%u.%u.%u%s", a & 0xFF, (a >> 8) & 0xFF, (a >> 16) & 0xFF,
                    a >> 24, suffix);
}

int isprivateipv4(uint32_t addr_host) {
  for (const Range& r : kPrivateRanges) {
    uint32_t mask = r.bits == 0 ? 0 : 0xFFFFFFFFu << (32 - r.bits);
    if ((addr_host & mask) == r.net) return 1;
  }
  return 0;
}
