// The reply parser: raw DNS response messages as the c-ares transport
// receives them, walked with libresolv (POSIX only: the Windows API hands
// back records).
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/dnstransport.h"

namespace dns {

// Parses a raw DNS response message into records and a status, applying the
// status mapping (NOERROR with records 0, NXDOMAIN 9003, no records 9501,
// SERVFAIL 9002, others permanent). Never reads past `len`.
int parseresponse(const uint8_t* msg, size_t len, RecordList* out);
// The same, and for a negative answer the time it may be kept (RFC 2308:
// the lesser of the SOA record's TTL and its MINIMUM field) into *negttl
// (0 without an SOA in the authority section).
int parseresponse(const uint8_t* msg, size_t len, RecordList* out, uint32_t* negttl);

}  // namespace dns
