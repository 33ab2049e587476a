// SpfCheckHost over a fake resolver whose records come from the fuzzer input.
//
// Input: the first byte selects the check's options (bits below), the rest
// is lines "name TYPE data":
//   TXT   character-strings separated by tabs     A / AAAA  an address
//   MX    preference and exchange                 PTR       a target name
//   ADD   a host name and its address, given in the additional section of
//         the MX answer of `name` ("example.com ADD mx.example.com 192.0.2.1")
//   FAIL  the question (name, type in data) answers SERVFAIL; NONE: no
//         records; NX: no such name.
//   CACHE a time-to-live and a record for the local record cache of `name`
//   PURGE (name ignored) removes the entries expiring within the seconds given
// The name "*" answers every question of its type that has no entry of its
// own (so that short inputs reach the limits); other questions answer
// NXDOMAIN.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fakes/fake_resolver.h"
#include "spf/spf_internal.h"
#include "spf/wrenspf.h"
#include "support.h"

namespace {

enum : uint8_t {
  kOptIPv6 = 0x01,        // client 2001:db8::1 instead of 192.0.2.1
  kOptHelo = 0x02,        // no sender: the HELO name is the identity
  kOptRecord = 0x04,      // the first line is the caller's record for the domain
  kOptExplain = 0x08,     // ask for an explanation
  kOptPolicies = 0x10,    // best guess, fallback and whitelist of the defaults
  kOptRoute = 0x20,       // sender behind a source route
  kOptLiteral = 0x40,     // sender at an address literal
  kOptClientName = 0x80,  // the caller already trusts a client name
};

// The most queries one check may cost. One SpfDnsQuery asks at most twice
// (a retry after "no records"). Per evaluation pass (the source route's hop
// and the sender each get one, with their own term count):
//   - at most 10 evaluations (top level + 9 nested; the recursion word
//     grows by 256 per nested evaluation, 2560 stops it), one record
//     lookup each;
//   - the fallback test at the top level: MX and A;
//   - 20 DNS terms, the dearest being "mx" (MX, then up to 20 hosts'
//     addresses) and "ptr" (PTR, then up to 20 confirmations).
// Once per check: the "p" macro (PTR, 3 tiers of 20 confirmations), the
// address literal's name (PTR, 20 confirmations) and the explanation.
constexpr int kPerQuery = 2;
constexpr int kPerPass = 10 * kPerQuery + 2 * kPerQuery + 20 * (kPerQuery + 20 * kPerQuery);
constexpr int kMaxQueries =
    2 * kPerPass + (kPerQuery + 3 * 20 * kPerQuery) + (kPerQuery + 20 * kPerQuery) + kPerQuery;

// The fake with a catch-all name "*".
class Resolver : public FakeResolver {
 public:
  static constexpr int kNoEntry = -1;
  Resolver() { defaultstatus = kNoEntry; }
  int Query(const char* name, uint16_t type, unsigned options, dns::RecordList* out) override {
    int st = FakeResolver::Query(name, type, options, out);
    if (st == kNoEntry) {
      st = FakeResolver::Query("*", type, options, out);
      queries--;
      for (dns::Record& r : *out)
        if (r.section == dns::Section::Answer) r.owner = key(name ? name : "");
    }
    return st == kNoEntry ? dns::kStatusNameError : st;
  }
};

uint16_t typecode(std::string_view t) {
  if (t == "A") return dns::kTypeA;
  if (t == "AAAA") return dns::kTypeAAAA;
  if (t == "MX") return dns::kTypeMX;
  if (t == "PTR") return dns::kTypePTR;
  if (t == "TXT") return dns::kTypeTXT;
  return 0;
}

std::string_view word(std::string_view* rest) {
  size_t sp = rest->find(' ');
  std::string_view w = rest->substr(0, sp);
  rest->remove_prefix(sp == std::string_view::npos ? rest->size() : sp + 1);
  return w;
}

void addline(Resolver* fake, std::string_view line) {
  std::string name(word(&line));
  std::string_view type = word(&line);
  if (type == "TXT") {
    std::vector<std::string> strings;
    while (true) {
      size_t tab = line.find('\t');
      strings.emplace_back(line.substr(0, tab));
      if (tab == std::string_view::npos) break;
      line.remove_prefix(tab + 1);
    }
    fake->txt(name, strings);
  } else if (type == "A" || type == "AAAA" || type == "ADD") {
    const bool additional = type == "ADD";
    std::string host = additional ? std::string(word(&line)) : name;
    std::string text(line);
    uint8_t addr[16];
    uint16_t rtype;
    if (inet_pton(AF_INET, text.c_str(), addr) == 1) rtype = dns::kTypeA;
    else if (inet_pton(AF_INET6, text.c_str(), addr) == 1) rtype = dns::kTypeAAAA;
    else return;
    dns::Record& r = additional ? fake->add(name, rtype, dns::Section::Additional, dns::kTypeMX)
                                : fake->add(name, rtype);
    if (additional) r.owner = host;
    memcpy(r.addr, addr, rtype == dns::kTypeA ? 4 : 16);
  } else if (type == "MX") {
    std::string pref(word(&line));
    fake->mx(name, (uint16_t)atoi(pref.c_str()), std::string(line));
  } else if (type == "PTR") {
    fake->ptr(name, std::string(line));
  } else if (type == "FAIL" || type == "NONE" || type == "NX") {
    int st = type == "FAIL" ? dns::kStatusServFail
             : type == "NONE" ? dns::kStatusNoRecords
                              : dns::kStatusNameError;
    fake->status(name, typecode(line), st);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static bool ready = false;
  if (!ready) {
    g_spf_clock = fixedclock;
    ready = true;
  }
  const uint8_t opts = data[0];
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

  Resolver fake;
  std::string record;
  std::vector<std::string> cachelines;
  size_t start = 0;
  bool first = true;
  while (start <= text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    std::string_view line(text.data() + start, nl - start);
    if (first && (opts & kOptRecord)) record = line;
    else if (line.find(" CACHE ") != std::string_view::npos || line.find(" PURGE ") != std::string_view::npos)
      cachelines.emplace_back(line);
    else addline(&fake, line);
    first = false;
    start = nl + 1;
  }

  SpfInit(0, 0, 0);
  SpfSetLocalHost("mx.decoy.example");
  if (opts & kOptPolicies) {
    SpfSetBestGuess(kDefaultBestGuess, kDefaultFallBack);
    SpfSetWhitelist("v=spf1 include:spf.trusted-forwarder.org");
  }
  // The cache outlives a check; it holds only this input's entries.
  SpfSetCachedRecord(nullptr, nullptr, 0);
  size_t cached = 0;
  for (const std::string& c : cachelines) {
    std::string_view rest(c);
    std::string name(word(&rest));
    std::string_view verb = word(&rest);
    std::string number(word(&rest));
    if (verb == "PURGE") {
      SpfPurgeCache((int32_t)strtol(number.c_str(), nullptr, 10));
      continue;
    }
    std::string value(rest);
    int rc = SpfSetCachedRecord(name.c_str(), value.c_str(), (uint32_t)strtoul(number.c_str(), nullptr, 10));
    if (rc != 0 && rc != SPF_TEMPERROR && rc != SPF_PERMERROR) __builtin_trap();
    cached++;
  }
  if (SpfCacheCount() > cached) __builtin_trap();

  uint8_t v4[4] = {192, 0, 2, 1};
  uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const bool ipv6 = (opts & kOptIPv6) != 0;
  const char* sender = "user@example.com";
  if (opts & kOptRoute) sender = "@relay.example.net,@hop.example.org:user@example.com";
  if (opts & kOptLiteral) sender = ipv6 ? "user@[IPv6:2001:db8::1]" : "user@[192.0.2.1]";
  if (opts & kOptHelo) sender = "";
  char* explanation = reinterpret_cast<char*>(1);
  int result = SpfCheckHost(ipv6 ? SPF_FAMILY_IPV6 : SPF_FAMILY_IPV4, ipv6 ? (const void*)v6 : (const void*)v4,
                            sender, (opts & kOptRecord) ? record.c_str() : nullptr, "mail.example.com",
                            (opts & kOptClientName) ? "host.example.com" : nullptr,
                            (opts & kOptExplain) ? &explanation : nullptr);
  SpfCleanup();

  switch (result) {
    case SPF_PASS: case SPF_SOFTFAIL: case SPF_FAIL: case SPF_NEUTRAL: case SPF_NONE:
    case SPF_TEMPERROR: case SPF_PERMERROR:
    case SPF_NONE_BADDOMAIN: case SPF_NONE_LOOKUPFAILED: case SPF_NONE_NOHOSTNAME:
      break;
    default:
      __builtin_trap();
  }
  if (opts & kOptExplain) {
    // Only a Fail verdict carries an explanation.
    if (explanation != nullptr && (result != SPF_FAIL || strlen(explanation) > (1u << 20))) __builtin_trap();
    free(explanation);
  }
  if (fake.queries > kMaxQueries) __builtin_trap();
  return 0;
}
