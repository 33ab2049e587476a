// wrenspf: a self-contained SPF (version 1) evaluator with local policies
// (best guess, fallback, trusted-forwarder whitelist, loopback pass) and a
// record cache. It depends on nothing of the server but the resolver
// interface (dns/resolver.h); no operation throws.
#pragma once
#include <cstddef>
#include <cstdint>

// Address families of the interface. The numbers are the Windows ones the
// evaluator was first written for (AF_INET 2, AF_INET6 23); callers use these
// constants, never the platform's AF_* values, which differ for IPv6.
constexpr int SPF_FAMILY_IPV4 = 2;
constexpr int SPF_FAMILY_IPV6 = 23;

// Verdicts: the low four bits of every SpfResult.
enum : int {
  SPF_PASS = 0,
  SPF_SOFTFAIL = 1,
  SPF_FAIL = 2,
  SPF_NEUTRAL = 3,
  SPF_NONE = 4,
  SPF_TEMPERROR = 5,
  SPF_PERMERROR = 6,
};
// Composite results whose verdict is None, with the reason in the upper bits.
enum : int {
  SPF_NONE_BADDOMAIN = 0x14,     // the identity's domain is not a valid name
  SPF_NONE_LOOKUPFAILED = 0x24,  // the record lookup failed permanently
  SPF_NONE_NOHOSTNAME = 0x34,    // address literal without a validated host name
};

// Resets the module (SpfCleanup) and binds it to the resolver. The two
// reserved arguments have no effect. Bit 0 of `flags` guards the record
// cache with a lock (needed only when several threads run checks).
// Returns 0 when ready, 1 when the resolver is unavailable.
int SpfInit(int reserved1, int reserved2, int flags);

// Each setter replaces its setting with a private copy of `text`; null or
// empty leaves the setting unset. Records must start with "v=spf1" (any case)
// followed by a blank or the end. Returns 0, 5 (no memory) or 6 (syntax);
// the setting is unset after an error.
int SpfSetLocalHost(const char* name);  // value of the "r" macro; no syntax test
// `bestguess` is fully handled before `fallback` is touched: a syntax error in
// the first leaves the fallback as it was.
int SpfSetBestGuess(const char* bestguess, const char* fallback);
int SpfSetWhitelist(const char* record);

// Parses an address of `family` (SPF_FAMILY_IPV4: 4 bytes into `out`,
// SPF_FAMILY_IPV6: 16 bytes) that must end at a blank or the end of `text`.
// Returns the character after the address, or null for a missing text or
// buffer, an unknown family or text that is not such an address.
const char* SpfParseAddress(const char* text, int family, void* out);

// May `address` (4 or 16 bytes, network order) send mail for `sender` (or,
// when it is empty, for the HELO name)? `record`, when given, replaces the
// DNS record of the identity's domain; `clientname` is a host name of the
// client the caller already trusts (or null). When `explanation` is given,
// *explanation is set to null or, on Fail with an "exp" modifier, to a heap
// text the caller frees with free(). Returns an SpfResult (verdict in the low
// four bits; see SpfResultText). Loopback clients always pass.
int SpfCheckHost(int family, const void* address, const char* sender, const char* record,
                 const char* helo, const char* clientname, char** explanation);

// What a check looked at, for a caller that reports more than the verdict.
enum : int {
  SPF_SOURCE_NONE = 0,       // no record was evaluated
  SPF_SOURCE_RECORD = 1,     // the domain's own record (or one cached for it)
  SPF_SOURCE_BESTGUESS = 2,  // the best-guess policy
  SPF_SOURCE_FALLBACK = 3,   // the fallback policy
  SPF_SOURCE_WHITELIST = 4,  // the trusted-forwarder whitelist decided
};
struct SpfCheckDetail {
  int helo;          // 1: the identity checked was the HELO name, 0: the sender
  int source;        // SPF_SOURCE_*
  char domain[256];  // the domain checked (empty when none)
};
// SpfCheckHost without explanation, also filling `detail` (when not null).
int SpfCheckHostDetail(int family, const void* address, const char* sender, const char* helo,
                       const char* clientname, SpfCheckDetail* detail);

// The domain whose record a check of `sender` (or, when it is empty, the
// HELO name) reads first: a source route's first hop, else the mailbox's
// domain. Empty when there is none or it is an address literal (whose
// name comes from DNS). Returns `out` (`size` bytes).
const char* SpfFirstDomain(const char* sender, const char* helo, char* out, size_t size);

// Text of a result's low four bits: "Pass", "SoftFail", "Fail", "Neutral",
// "None", "TempError", "PermError", or "unknown". Never null.
const char* SpfResultText(int code);

// Frees the settings and releases the resolver binding; the module is then
// not initialised. The record cache is kept.
void SpfCleanup();

// Stores `record` for `domain` in the local cache, consulted when a domain
// publishes no record. Null domain: empties the cache. Null or empty record:
// deletes the domain's entry. `ttl` in seconds: 0 or 0x7FFFFFFF never expire,
// below 2 stores nothing. Returns 0, 5 (cannot store) or 6 (record syntax).
int SpfSetCachedRecord(const char* domain, const char* record, uint32_t ttl);

// Removes every cache entry that expires within `seconds` (may be negative)
// from now; 0x7FFFFFFF removes all.
void SpfPurgeCache(int32_t seconds);

// A host name of `address` that resolves back to it, preferring names equal
// to or under `domain` when given. Returns 0 (validated name in `out`), 2 (no
// name validated; the first candidate is in `out`), 4/5/6 when the PTR query
// failed ("Unknown" in `out`), or 6 for a missing address or unknown family.
int SpfGetHostName(int family, const void* address, char* out, size_t outsize, const char* domain);

// First IPv4 address of `name` (network order as a 32-bit value); 0 when
// there is none or DNS answered with a permanent error; 0xFFFFFFFF for a
// missing name, a temporary DNS failure or no memory.
uint32_t SpfGetHostAddress(const char* name);
