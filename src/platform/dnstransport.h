// The system's DNS transports, the one part of the DNS client that calls
// the operating system: c-ares over the system's sockets on POSIX, the DNS
// API on Windows. The resolver (dns/resolver.h) sits on them; nothing else
// calls them. The types are the resolver's vocabulary.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace dns {

// Record types used by the program.
enum : uint16_t {
  kTypeA = 1, kTypeNS = 2, kTypeCNAME = 5, kTypePTR = 12, kTypeMX = 15,
  kTypeSOA = 6, kTypeTXT = 16, kTypeAAAA = 28
};

// Status codes: outcomes of a query, not last errors (error.h). Numbered as
// the Windows DNS API numbers them on every system; trace and health lines
// show the numbers.
enum : int {
  kStatusOk = 0,
  kStatusFormErr = 9001,    // permanent
  kStatusServFail = 9002,   // temporary
  kStatusNameError = 9003,  // NXDOMAIN
  kStatusNotImp = 9004,     // permanent
  kStatusRefused = 9005,    // permanent
  kStatusBadPacket = 9502,  // malformed answer: permanent
  kStatusNoRecords = 9501,  // NOERROR without records
  kStatusTimeout = 1460,    // temporary
  kStatusNoMemory = 14,     // ERROR_OUTOFMEMORY
  kStatusInvalidName = 123, // ERROR_INVALID_NAME: the name cannot be queried (permanent)
};

// Query options.
enum : unsigned {
  kOptTreatAsFqdn = 0x1000,
  kOptBypassCache = 0x0008,
};

enum class Section : uint8_t { Question = 0, Answer = 1, Authority = 2, Additional = 3 };

struct Record {
  std::string owner;                // owner name, without trailing dot
  uint16_t type = 0;
  Section section = Section::Answer;
  uint32_t ttl = 0;
  uint8_t addr[16] = {};            // A: 4 bytes, AAAA: 16 bytes, network order
  std::string target;               // NS, PTR, CNAME target; MX exchange (no trailing dot)
  uint16_t preference = 0;          // MX
  std::vector<std::string> strings; // TXT: each character-string kept separately (may hold NULs)
};

// A query's answer; owns its memory.
using RecordList = std::vector<Record>;

// One question of a batch and, once answered, its outcome.
struct Lookup {
  std::string name;
  uint16_t type = 0;
  unsigned options = 0;
  int status = kStatusTimeout;
  RecordList records;
  // Negative answers (kStatusNameError, kStatusNoRecords): how long they may
  // be kept, from the SOA of the authority section; 0 when unknown.
  uint32_t negttl = 0;
};

// One server of the NameServer setting.
struct NameServer {
  uint8_t addr[4];  // network order
  uint16_t port;
};
constexpr uint16_t kDnsPort = 53;
// The resolver libraries' limit on servers: the first three are used.
constexpr size_t kMaxNameServers = 3;
}  // namespace dns

namespace plat {

// Walks a raw DNS response into records and a status (dns/reply.h). The
// Windows API hands back records already and needs none.
using DnsReplyParser = int (*)(const uint8_t* msg, size_t len, dns::RecordList* out,
                               uint32_t* negttl);
// Milliseconds left before the caller's deadline: -1 when it has none, 0
// once it passed. Called from any thread of the transport, and again while
// waiting, since a stop may bring the deadline forward.
using DnsTimeLeft = std::function<int64_t()>;

// 1 when the system's transport can be used (c-ares initialises; the DNS API
// library and its two entry points load).
int dnsavailable();
// Answers every lookup of the batch, the questions in flight together,
// until each has its status or no time is left (the rest: kStatusTimeout).
void dnsbatch(dns::Lookup* items, size_t count, const DnsTimeLeft& left, DnsReplyParser parse);
// Sends every later question to these servers (count 0: the system's own).
// Returns 1 when the transport can use them; 0 leaves its servers as they were.
int dnsservers(const dns::NameServer* servers, size_t count);

}  // namespace plat
