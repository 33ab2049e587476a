// Plain types every layer shares: calendar time, a peer's socket address and
// a socket handle. They carry no behaviour and depend on nothing.
#pragma once
#include <cstdint>

// Calendar time with the layout of a Windows SYSTEMTIME; always UTC here.
struct SysTime {
  uint16_t year;
  uint16_t month;      // 1..12
  uint16_t dayofweek;  // 0 = Sunday
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint16_t millis;     // always 0
};

// IPv4 socket address exactly as accept() returns it (16 bytes, network order).
struct PeerAddr {
  uint16_t family;
  uint16_t port;
  uint32_t addr;
  uint8_t zero[8];
};

using SocketHandle = uintptr_t;
constexpr SocketHandle kInvalidSocket = ~(SocketHandle)0;

static_assert(sizeof(PeerAddr) == 16);
