// The NameServer setting: which servers the system resolver asks.
#pragma once
#include <cstddef>

#include "platform/dnstransport.h"

namespace dns {

// Parses a NameServer list: "address" or "address:port" items (dotted
// decimal IPv4, port 1 to 65535, 53 when left out) separated by commas,
// with blanks around them allowed and empty items skipped. Writes at most
// `max` servers to out (later items are checked, then dropped). Returns the
// number written, or -1 when an item is not understood.
int parsenameservers(const char* list, NameServer* out, size_t max);

// Sends every query of the system resolver to the given servers: a
// comma-separated list of "address" or "address:port" (IPv4; the first
// three are used, the resolver library's limit). Empty or null:
// /etc/resolv.conf. Returns 1 when the list was understood, 0 otherwise (the
// previous configuration is then kept). Threads pick up a new list at their
// next query; meant to be called at start-up.
int setnameservers(const char* list);

}  // namespace dns
