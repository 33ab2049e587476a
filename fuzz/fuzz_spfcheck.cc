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

#include <algorithm>
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

// The most queries one check may cost (each asked at most twice: a retry
// after "no records"). Per evaluation pass (the source route's hop and the
// sender each get one): 10 record lookups (top level and 9 nested), the
// fallback's MX and A, and 20 DNS terms of at most 21 questions ("mx": MX
// and 20 hosts; "ptr": PTR and 20 confirmations). Once per check: the "p"
// macro (PTR, 3 tiers of 20), the address literal's name (PTR, 20) and the
// explanation.
constexpr int kPerPass = 2 * (10 + 2 + 20 * 21);
constexpr int kMaxQueries = 2 * kPerPass + 2 * (1 + 60) + 2 * (1 + 20) + 2;

// The fake with a catch-all name "*".
class Resolver : public FakeResolver {
 public:
  Resolver() { defaultstatus = -1; }
  int Query(const char* name, uint16_t type, unsigned options, dns::RecordList* out) override {
    int st = FakeResolver::Query(name, type, options, out);
    if (st == -1) {
      st = FakeResolver::Query("*", type, options, out);
      queries--;
      for (dns::Record& r : *out)
        if (r.section == dns::Section::Answer) r.owner = key(name ? name : "");
    }
    return st == -1 ? dns::kStatusNameError : st;
  }
};

std::string word(std::string_view* rest) {
  const size_t sp = rest->find(' ');
  std::string w(rest->substr(0, sp));
  rest->remove_prefix(sp == std::string_view::npos ? rest->size() : sp + 1);
  return w;
}

void addline(Resolver* fake, std::string_view line) {
  const std::string name = word(&line), type = word(&line);
  if (type == "TXT") {
    std::vector<std::string> strings;
    for (size_t tab = 0; tab != std::string_view::npos; line.remove_prefix(tab + 1)) {
      tab = line.find('\t');
      strings.emplace_back(line.substr(0, tab));
      if (tab == std::string_view::npos) break;
    }
    fake->txt(name, strings);
  } else if (type == "A" || type == "AAAA" || type == "ADD") {
    const bool additional = type == "ADD";
    const std::string host = additional ? word(&line) : name, text(line);
    uint8_t addr[16];
    const uint16_t rtype = inet_pton(AF_INET, text.c_str(), addr) == 1 ? dns::kTypeA
                         : inet_pton(AF_INET6, text.c_str(), addr) == 1 ? dns::kTypeAAAA : 0;
    if (rtype == 0) return;
    dns::Record& r = additional ? fake->add(name, rtype, dns::Section::Additional, dns::kTypeMX)
                                : fake->add(name, rtype);
    r.owner = host;
    memcpy(r.addr, addr, rtype == dns::kTypeA ? 4 : 16);
  } else if (type == "MX") {
    const std::string pref = word(&line);
    fake->mx(name, (uint16_t)atoi(pref.c_str()), std::string(line));
  } else if (type == "PTR") {
    fake->ptr(name, std::string(line));
  } else if (type == "FAIL" || type == "NONE" || type == "NX") {
    const uint16_t qtype = line == "A" ? dns::kTypeA : line == "AAAA" ? dns::kTypeAAAA : line == "MX" ? dns::kTypeMX
                         : line == "PTR" ? dns::kTypePTR : line == "TXT" ? dns::kTypeTXT : 0;
    fake->status(name, qtype, type == "FAIL" ? dns::kStatusServFail
                              : type == "NONE" ? dns::kStatusNoRecords : dns::kStatusNameError);
  } else if (type == "CACHE") {
    const std::string ttl = word(&line), value(line);
    const int rc = SpfSetCachedRecord(name.c_str(), value.c_str(), (uint32_t)strtoul(ttl.c_str(), nullptr, 10));
    if (rc != 0 && rc != SPF_TEMPERROR && rc != SPF_PERMERROR) __builtin_trap();
  } else if (type == "PURGE") {
    SpfPurgeCache((int32_t)strtol(std::string(line).c_str(), nullptr, 10));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  g_spf_clock = fixedclock;
  const uint8_t opts = data[0];
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  SpfInit(0, 0, 0);
  SpfSetLocalHost("mx.decoy.example");
  if (opts & kOptPolicies) {
    SpfSetBestGuess(kDefaultBestGuess, kDefaultFallBack);
    SpfSetWhitelist("v=spf1 include:spf.trusted-forwarder.org");
  }
  // The cache outlives a check; it holds only this input's entries.
  SpfSetCachedRecord(nullptr, nullptr, 0);
  Resolver fake;
  std::string record;
  for (size_t start = 0, nl; start <= text.size(); start = nl + 1) {
    nl = std::min(text.find('\n', start), text.size());
    std::string_view line(text.data() + start, nl - start);
    if (start == 0 && (opts & kOptRecord)) record = line;
    else addline(&fake, line);
  }
  if (SpfCacheCount() > (size_t)std::count(text.begin(), text.end(), '\n') + 1) __builtin_trap();

  const uint8_t v4[4] = {192, 0, 2, 1}, v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const bool ipv6 = (opts & kOptIPv6) != 0;
  const char* sender = (opts & kOptHelo) ? ""
                     : (opts & kOptLiteral) ? (ipv6 ? "user@[IPv6:2001:db8::1]" : "user@[192.0.2.1]")
                     : (opts & kOptRoute) ? "@relay.example.net,@hop.example.org:user@example.com"
                                          : "user@example.com";
  char* explanation = reinterpret_cast<char*>(1);
  const int result = SpfCheckHost(ipv6 ? SPF_FAMILY_IPV6 : SPF_FAMILY_IPV4, ipv6 ? (const void*)v6 : (const void*)v4,
                                  sender, (opts & kOptRecord) ? record.c_str() : nullptr, "mail.example.com",
                                  (opts & kOptClientName) ? "host.example.com" : nullptr,
                                  (opts & kOptExplain) ? &explanation : nullptr);
  SpfCleanup();
  switch (result) {
    case SPF_PASS: case SPF_SOFTFAIL: case SPF_FAIL: case SPF_NEUTRAL: case SPF_NONE: case SPF_TEMPERROR:
    case SPF_PERMERROR: case SPF_NONE_BADDOMAIN: case SPF_NONE_LOOKUPFAILED: case SPF_NONE_NOHOSTNAME:
      break;
    default:
      __builtin_trap();
  }
  if (fake.queries > kMaxQueries) __builtin_trap();
  if (opts & kOptExplain) {
    // Only a Fail verdict carries an explanation.
    if (explanation != nullptr && (result != SPF_FAIL || strlen(explanation) > (1u << 20))) __builtin_trap();
    free(explanation);
  }
  return 0;
}
