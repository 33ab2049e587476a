// IPv4 address helpers every layer shares: byte order, dotted and
// reverse-zone names, and the ranges that no outside party can own.
#pragma once
#include <cstddef>
#include <cstdint>

// Reads a dotted-decimal address "a.b.c.d" (each part 0 to 255) at `text`
// into out. Returns the character after it, or null (out then untouched).
const char* readipv4(const char* text, uint8_t out[4]);
// The 4 bytes of an address (network order) as one host-order number:
// 1.2.3.4 is 0x01020304.
uint32_t ipv4number(const uint8_t a[4]);
// The same for an address held as a network-order 32-bit value (inet_addr).
uint32_t hostorder(uint32_t addr_net);
// "1.2.3.4" for the 4 bytes of an address (network order).
size_t dotted(const uint8_t a[4], char* buf, size_t size);
// The octets of a host-order address last first ("4.3.2.1" for 1.2.3.4),
// followed by `suffix`: the names of the reverse zone (".in-addr.arpa") and
// of address-keyed DNS lists (".zone").
size_t reversedotted(uint32_t addr_host, const char* suffix, char* buf, size_t size);
// 1 when the address (host order) lies in a range no outside party owns:
// such a client gets no DNS lookups, and an SPF check does not count such an
// address as a domain's public host.
int isprivateipv4(uint32_t addr_host);
