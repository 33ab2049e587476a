// The resolver interface: every DNS question of the program (the analysis
// and the SPF evaluator) goes through the Resolver installed here. The POSIX
// implementation uses c-ares; tests install a fake.
#pragma once
#include <cstddef>
#include <cstdint>
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

class Resolver {
 public:
  virtual ~Resolver() = default;
  // Queries `name` (taken as fully qualified) for `type`. Returns a status
  // code; on kStatusOk `out` holds every record of the response (answer,
  // authority and additional sections). Never throws.
  virtual int Query(const char* name, uint16_t type, unsigned options, RecordList* out) = 0;
  // Answers every lookup of the batch; the questions may be in flight
  // together. Returns when each has its status (or the calling thread's
  // deadline passed: the rest then have kStatusTimeout). The default asks
  // them one after the other through Query.
  virtual void QueryBatch(Lookup* items, size_t count);
  // The local host's own name and address, which the system answers from
  // its hosts file before DNS. The defaults ask this resolver's A and PTR
  // questions; the system backends ask the system's host lookup, and a
  // wrapping resolver hands them on.
  // First IPv4 address (network order) of `name`. Returns 1 when found.
  virtual int HostAddress(const char* name, uint32_t* addr_net);
  // Name of an IPv4 address (network order). Returns 1 when a non-empty
  // name was found (copied into buf, bounded by size).
  virtual int HostName(uint32_t addr_net, char* buf, size_t size);

 protected:
  // Query answered as a batch of one, for resolvers whose QueryBatch is
  // their real entry (it must not fall back on Query).
  int QueryAsBatch(const char* name, uint16_t type, unsigned options, RecordList* out);
};

// Base of the system backends: the local host's name and address come from
// the system's host lookup (hosts file, then DNS), as for any program.
class SystemHostLookups : public Resolver {
 public:
  int HostAddress(const char* name, uint32_t* addr_net) override;
  int HostName(uint32_t addr_net, char* buf, size_t size) override;
};

// The process-wide resolver: the calling thread's own one when it installed
// one, else the installed one, else the system resolver.
Resolver& resolver();
// Installs `r` (not owned) as the process-wide resolver; nullptr restores the default.
void setresolver(Resolver* r);
// Installs `r` (not owned) for the calling thread only; nullptr removes it.
void setthreadresolver(Resolver* r);

// Deadlines, in milliseconds of a monotonic clock (nowms). Past the calling
// thread's deadline, or past the process-wide cut-off, queries are not sent
// and waits end: the answer is kStatusTimeout. 0 means none.
int64_t nowms();
void setthreaddeadline(int64_t ms);
int64_t threaddeadline();
void setcutoff(int64_t ms);
// The earlier of the thread's deadline and the cut-off (0: none).
int64_t deadline();
// 1 when deadline() is set and has passed.
int pastdeadline();

// 1 when the process-wide resolver can be used: an installed resolver always
// can; the system backend when its library initialises (the resolver state
// on POSIX, the DNS API library and its two entry points on Windows).
int available();

// One server of the NameServer setting.
struct NameServer {
  uint8_t addr[4];  // network order
  uint16_t port;
};
constexpr uint16_t kDnsPort = 53;
// The resolver libraries' limit on servers: the first three are used.
constexpr size_t kMaxNameServers = 3;
// Parses a NameServer list: "address" or "address:port" items (dotted
// decimal IPv4, port 1 to 65535, 53 when left out) separated by commas,
// with blanks around them allowed and empty items skipped. Writes at most
// `max` servers to out (later items are checked, then dropped). Returns the
// number written, or -1 when an item is not understood.
int parsenameservers(const char* list, NameServer* out, size_t max);

// Sends every query of the system resolver backend to the given servers:
// a comma-separated list of "address" or "address:port" (IPv4; the first
// three are used, the resolver library's limit). Empty or null:
// /etc/resolv.conf. Returns 1 when the list was understood, 0 otherwise (the
// previous configuration is then kept). Threads pick up a new list at their
// next query; meant to be called at start-up.
int setnameservers(const char* list);

// Parses a raw DNS response message into records and a status, applying the
// status mapping (NOERROR with records 0, NXDOMAIN 9003, no records 9501,
// SERVFAIL 9002, others permanent). Used by the system backend; exposed for
// tests and fuzzing.
int parseresponse(const uint8_t* msg, size_t len, RecordList* out);
// The same, and for a negative answer the time it may be kept (RFC 2308:
// the lesser of the SOA record's TTL and its MINIMUM field) into *negttl
// (0 without an SOA in the authority section).
int parseresponse(const uint8_t* msg, size_t len, RecordList* out, uint32_t* negttl);

}  // namespace dns
