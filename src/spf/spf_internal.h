// Internals of the SPF evaluator shared by its source files and its tests.
// Not part of the public interface (wrenspf.h).
//
// Result conventions: public codes 0..6 (and the composites of wrenspf.h);
// -1 means success (DNS, macros) or "no match" (mechanisms, evaluation); DNS
// collectors answer a positive count or -4 (no records), -5 (temporary or no
// memory), -6 (permanent).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dns/resolver.h"

// ---------------------------------------------------------------- text helpers

// Character classes of record text (ASCII only; bytes >= 128 are in none).
enum : uint8_t {
  kSpfBlank = 0x01,       // NUL and space
  kSpfDigit = 0x02,
  kSpfHex = 0x04,         // A-F a-f (digits are separate)
  kSpfUpper = 0x08,
  kSpfLower = 0x10,
  kSpfMark = 0x20,        // ! ' ( ) * ~
  kSpfNamePunct = 0x40,   // - . _
  kSpfDelimiter = 0x80,   // + , / =
};
extern const uint8_t kSpfCharClass[256];

inline bool SpfIs(char c, uint8_t cls) { return (kSpfCharClass[(unsigned char)c] & cls) != 0; }
inline bool SpfIsBlank(char c) { return SpfIs(c, kSpfBlank); }
inline bool SpfIsDigit(char c) { return SpfIs(c, kSpfDigit); }
inline bool SpfIsHexDigit(char c) { return SpfIs(c, kSpfDigit | kSpfHex); }
inline bool SpfIsLetter(char c) { return SpfIs(c, kSpfUpper | kSpfLower); }
// Characters of a term name after its first letter.
inline bool SpfIsNameChar(char c) { return SpfIs(c, kSpfUpper | kSpfLower | kSpfDigit | kSpfNamePunct); }
inline bool SpfIsMacroDelimiter(char c) { return SpfIs(c, kSpfNamePunct | kSpfDelimiter); }
// Characters that URL escaping leaves as they are.
inline bool SpfIsUnreserved(char c) {
  return SpfIs(c, kSpfUpper | kSpfLower | kSpfDigit | kSpfMark | kSpfNamePunct);
}
inline char SpfToLower(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c; }

// Parse an address that must be followed by a blank or `term` (0, '/' or
// ']'). Return the character after the address (not consumed), or null; the
// output is written only on success.
const char* SpfParseIPv4(const char* text, uint8_t out[4], char term);
const char* SpfParseIPv6(const char* text, uint8_t out[16], char term);

// Enough for every form SpfFormatAddress writes (63 characters and a NUL).
constexpr size_t kSpfAddrTextSize = 64;
// Writes an address as text: IPv4 dotted decimal; IPv6 either as 32 nibbles
// (upper-case hex, '.'-separated, most significant first) or compressed
// (upper-case groups, "::" for the longest zero run, IPv4 tail for the
// compatible and mapped forms). REQUIRES: out holds kSpfAddrTextSize bytes.
// Returns the length written.
int SpfFormatAddress(bool ipv6, const uint8_t* addr, char* out, bool nibbles);

// 1 when the first `bits` bits of a and b are equal.
int SpfPrefixMatch(const uint8_t* a, const uint8_t* b, int bits);
int SpfIsPublicIPv4(const uint8_t addr[4]);
int SpfIsPublicIPv6(const uint8_t addr[16]);
// 1 when `name` equals `domain` or ends in '.' + domain, ignoring case.
int SpfDomainSuffixMatch(const char* name, const char* domain);
// ASCII case-insensitive equality of two texts.
bool SpfEqualNoCase(const char* a, const char* b);

// Number printing without leading zeros; outputs hold 24 bytes. Return the
// length written (NUL-terminated).
int SpfFormatU32(uint32_t v, char* out);
int SpfFormatI64(int64_t v, char* out);
int SpfFormatHex32(uint32_t v, char* out);

// "v=spf1" (any case) followed by a blank or the end.
bool SpfRecordSyntaxOk(const char* record);

// ------------------------------------------------------------ module state

// Settings and clock shared by the evaluator's files (defined in wrenspf.cc).
struct SpfSettings {
  char* whitelist = nullptr;
  char* bestguess = nullptr;
  char* fallback = nullptr;
  char* localhost = nullptr;
};
extern SpfSettings g_spf;

// Current time in seconds since 1970 (UTC); tests may replace the clock.
int64_t SpfNow();
extern int64_t (*g_spf_clock)();

// Makes sure the module is bound to the resolver (lazy initialisation).
bool SpfBind();

// ------------------------------------------------------------ check context

struct SpfContext {
  int32_t recursion = 0;      // 256 * nested evaluations + include depth (low byte)
  uint32_t dnsterms = 0;      // "a", "mx", "ptr", "include", "exists" met so far
  uint32_t voids = 0;         // their lookups that found no name or no records
  uint32_t ipv6 = 0;          // client is IPv6
  uint32_t heloused = 0;      // the identity is the HELO name
  int source = 0;             // SPF_SOURCE_* of the top-level record
  int64_t checktime = 0;
  const char* record = nullptr;      // supplied record for the top-level domain
  uint8_t addr[16] = {};
  const char* localpart = nullptr;   // none means "postmaster"
  const char* domain = nullptr;      // sender domain
  const char* helo = nullptr;
  const char* clientname = nullptr;
  char* expdomain = nullptr;         // heap; kept only for a Fail verdict
  char** explanation = nullptr;
  // The "p" macro's validated name, looked up at most once per check.
  bool pknown = false;
  char pname[256] = {};
};

// Limits of one check.
constexpr int32_t kSpfMaxRecursion = 2560;    // fewer than 10 nested evaluations
constexpr int32_t kSpfIncludeStep = 0x101;    // include or whitelist
constexpr int32_t kSpfRedirectStep = 0x100;
constexpr uint32_t kSpfMaxDnsTerms = 20;
// Lookups of "a", "mx" and "exists" terms that answer no name or no records
// (RFC 7208 section 4.6.4): beyond this many the check is a PermError.
constexpr uint32_t kSpfMaxVoidLookups = 2;
// A check's whole wall-clock time: its queries past it are time-outs, so
// the check ends as a TempError.
constexpr int64_t kSpfTimeLimitMs = 5000;
constexpr int kSpfMaxMxHosts = 20;
constexpr int kSpfMaxConfirmations = 20;      // per tier of a PTR validation

// Internal verdict: a non-Pass "all" inside an include.
constexpr int kSpfIncludeAllMiss = 7;

// ------------------------------------------------------------------ DNS

// One query through the process resolver, retried once after "no records".
// Returns -1 (list filled), 4 (no records), 5 (temporary) or 6 (permanent).
int SpfDnsQuery(const char* name, uint16_t type, dns::RecordList* out);

// The domain's SPF record (TXT strings joined). -1 with `record` filled, or
// 4 (none), 5, 6 (also for two SPF records).
int SpfGetRecord(const char* domain, std::string* record);

// MX host names in preference order (stable). Count, or -4/-5/-6. The answer
// list stays in `list` for the address lookups of the hosts.
int SpfGetMxNames(const char* domain, std::vector<std::string>* names, dns::RecordList* list);

// Addresses (4 or 16 bytes each, packed) of `host`, from the additional
// section of `earlier` when it has them, else by an A/AAAA query. Byte
// count, or -4/-5/-6.
int SpfGetAddresses(const char* host, bool ipv6, std::string* addrs, const dns::RecordList* earlier);

// 0 when one of the host's addresses shares `prefix` bits with `client`
// (without a client: when one is public), -1 when none does, 4/5/6 on DNS
// trouble.
int SpfMatchHostAddresses(const dns::RecordList* earlier, const char* host, bool ipv6,
                          const uint8_t* client, int prefix);

// Flags of SpfLookupValidatedName.
enum : unsigned {
  kSpfTierAny = 1,
  kSpfTierUnder = 2,       // equal to the domain or under it
  kSpfTierEqual = 4,
  kSpfLimitConfirm = 8,    // at most 20 confirmations per tier; failures become -1
  kSpfUnvalidated = 16,    // answer 2 with the first candidate when none confirms
};
// Reverse DNS name of an address ("...in-addr.arpa" / "...ip6.arpa").
void SpfReverseName(bool ipv6, const uint8_t* addr, char out[80]);
// A host name of the address that resolves back to it. 0 (name in out), 2
// (unconfirmed first candidate, flag 16), -1 (nothing confirmed), or 4/5/6.
// `out` (when given) otherwise receives "Unknown".
int SpfLookupValidatedName(bool ipv6, const uint8_t* addr, char* out, size_t outsize,
                           const char* domain, unsigned flags);

// ------------------------------------------------------------ record cache

// Cache key of a domain: labels reversed, letters lower-cased. Returns the
// length (0: the domain has no key). REQUIRES: out holds 256 bytes.
size_t SpfCacheKey(const char* domain, char out[256]);
// Heap copy of a live entry's record into `record`; an expired entry is
// removed. Returns true when found.
bool SpfCacheLookup(const char* key, size_t keylen, int64_t now, std::string* record);
// Stores data (with its NUL) under the key; 0, or 5 when storing failed.
int SpfCacheInsert(const char* key, size_t keylen, const char* data, uint32_t ttl, int64_t now);
void SpfCacheDelete(const char* key, size_t keylen);
void SpfCacheClear();
void SpfCachePurge(int32_t seconds, int64_t now);
size_t SpfCacheCount();
// Serialises cache access when the lock is enabled.
void SpfCacheSetLocking(bool on);

// ------------------------------------------------------------ macros

// Expands the macro string [begin, end). `*out` either points to a 256-byte
// buffer (result in place) or is null (a malloc'ed text is stored; the caller
// frees it). Domain mode: domain-specs, "redirect" and "exp" values, at most
// 255 characters, cut from the left. Returns -1, 6 (syntax) or 5 (memory).
int SpfExpandMacros(SpfContext* ctx, const char* begin, const char* end, const char* curdomain,
                    char** out, int domainmode);

// ------------------------------------------------------------ evaluation

// Verdict of `domain` (null: the whitelist record against the sender domain).
int SpfEvaluate(SpfContext* ctx, const char* domain);
// Domain syntax test; stricter at the top level (recursion word 0).
bool SpfValidDomain(const char* name, int32_t recursion);
// Parses "/n", "//m" or "/n//m" at *cursor, which must then reach a blank.
// Returns the length for the client's family or -1 on a syntax error.
int SpfParseDualCidr(const char** cursor, bool ipv6);
// No MX records and at least one public A record.
bool SpfDomainHasOnlyAddress(const char* domain);
