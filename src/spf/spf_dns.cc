// DNS access of the SPF evaluator.
#include <cstring>

#include "base/ipv4.h"
#include "base/text.h"
#include "spf/spf_internal.h"
#include "spf/wrenspf.h"

namespace {

// Maps a resolver status onto the evaluator's three outcomes.
int MapStatus(int st) {
  if (st == dns::kStatusOk) return -1;
  if (st == dns::kStatusNameError) return SPF_PERMERROR;
  if (st == dns::kStatusNoRecords) return SPF_NONE;
  if ((st >= 9000 && st <= 9999) || st == dns::kStatusTimeout) return SPF_TEMPERROR;
  if (st == dns::kStatusNoMemory) return SPF_TEMPERROR;
  return SPF_PERMERROR;
}

// Host names from DNS may carry a trailing dot; owners never do.
bool SameHost(const std::string& owner, const char* host) {
  size_t hl = strlen(host);
  if (hl && host[hl - 1] == '.') hl--;
  size_t ol = owner.size();
  if (ol && owner[ol - 1] == '.') ol--;
  if (ol != hl) return false;
  for (size_t i = 0; i < hl; i++) {
    if (SpfToLower(owner[i]) != SpfToLower(host[i])) return false;
  }
  return true;
}

std::string StripDot(const std::string& s) {
  if (!s.empty() && s.back() == '.') return s.substr(0, s.size() - 1);
  return s;
}

}  // namespace

int SpfDnsQuery(const char* name, uint16_t type, dns::RecordList* out) {
  out->clear();
  if (dns::pastdeadline()) return SPF_TEMPERROR;
  int st = dns::resolver().Query(name, type, dns::kOptTreatAsFqdn, out);
  if (st == dns::kStatusNoRecords) {
    out->clear();
    st = dns::resolver().Query(name, type, dns::kOptTreatAsFqdn | dns::kOptBypassCache, out);
  }
  int rc = MapStatus(st);
  if (rc != -1) out->clear();
  return rc;
}

int SpfGetRecord(const char* domain, std::string* record) {
  dns::RecordList list;
  int rc = SpfDnsQuery(domain, dns::kTypeTXT, &list);
  if (rc != -1) return rc;
  bool found = false;
  for (const dns::Record& r : list) {
    if (r.type != dns::kTypeTXT || r.section != dns::Section::Answer || r.strings.empty()) continue;
    const std::string& first = r.strings[0];
    if (first.size() < 6 || !SpfRecordSyntaxOk(std::string(first, 0, 7).c_str())) continue;
    if (first.size() > 6 && first[6] != ' ') continue;
    if (found) {
      record->clear();
      return SPF_PERMERROR;
    }
    found = true;
    record->clear();
    for (const std::string& s : r.strings) record->append(s);
  }
  return found ? -1 : SPF_NONE;
}

int SpfGetMxNames(const char* domain, std::vector<std::string>* names, dns::RecordList* list) {
  names->clear();
  int rc = SpfDnsQuery(domain, dns::kTypeMX, list);
  if (rc != -1) return -rc;
  std::vector<const dns::Record*> mx;
  for (const dns::Record& r : *list) {
    if (r.type == dns::kTypeMX && r.section == dns::Section::Answer) mx.push_back(&r);
  }
  // Stable exchange sort: equal preferences keep the order of the answer.
  for (size_t i = 1; i < mx.size(); i++) {
    for (size_t j = i; j > 0 && mx[j - 1]->preference > mx[j]->preference; j--) std::swap(mx[j - 1], mx[j]);
  }
  for (const dns::Record* r : mx) {
    std::string n = StripDot(r->target);
    if (!n.empty()) names->push_back(std::move(n));
  }
  return names->empty() ? -SPF_NONE : (int)names->size();
}

int SpfGetAddresses(const char* host, bool ipv6, std::string* addrs, const dns::RecordList* earlier) {
  addrs->clear();
  uint16_t type = ipv6 ? dns::kTypeAAAA : dns::kTypeA;
  size_t len = ipv6 ? 16 : 4;
  if (earlier) {
    for (const dns::Record& r : *earlier) {
      if (r.type == type && r.section == dns::Section::Additional && SameHost(r.owner, host)) {
        addrs->append((const char*)r.addr, len);
      }
    }
    if (!addrs->empty()) return (int)addrs->size();
  }
  dns::RecordList list;
  int rc = SpfDnsQuery(host, type, &list);
  if (rc != -1) return -rc;
  for (const dns::Record& r : list) {
    if (r.type == type && r.section == dns::Section::Answer) addrs->append((const char*)r.addr, len);
  }
  return addrs->empty() ? -SPF_NONE : (int)addrs->size();
}

int SpfMatchHostAddresses(const dns::RecordList* earlier, const char* host, bool ipv6,
                          const uint8_t* client, int prefix) {
  std::string addrs;
  int n = SpfGetAddresses(host, ipv6, &addrs, earlier);
  if (n < 0) return -n;
  size_t len = ipv6 ? 16 : 4;
  for (size_t off = 0; off + len <= addrs.size(); off += len) {
    const uint8_t* a = (const uint8_t*)addrs.data() + off;
    if (client) {
      if (SpfPrefixMatch(a, client, prefix)) return 0;
    } else if (ipv6 ? SpfIsPublicIPv6(a) : SpfIsPublicIPv4(a)) {
      return 0;
    }
  }
  return -1;
}

void SpfReverseName(bool ipv6, const uint8_t* addr, char out[80]) {
  int n = 0;
  if (ipv6) {
    for (int i = 15; i >= 0; i--) {
      out[n++] = kHexDigits[addr[i] & 15];
      out[n++] = '.';
      out[n++] = kHexDigits[addr[i] >> 4];
      out[n++] = '.';
    }
    memcpy(out + n, "ip6.arpa", 9);
  } else {
    reversedotted(ipv4number(addr), ".in-addr.arpa", out, 80);
  }
}

int SpfLookupValidatedName(bool ipv6, const uint8_t* addr, char* out, size_t outsize,
                           const char* domain, unsigned flags) {
  const bool limited = (flags & kSpfLimitConfirm) != 0;
  auto answer = [&](int rc, const char* name) {
    if (out && outsize) {
      const char* text = (rc == 0 || (rc == 2 && name)) ? name : "Unknown";
      size_t n = strlen(text);
      if (n > outsize - 1) n = outsize - 1;
      memcpy(out, text, n);
      out[n] = 0;
    }
    return rc;
  };

  char rev[80];
  SpfReverseName(ipv6, addr, rev);
  dns::RecordList list;
  int rc = SpfDnsQuery(rev, dns::kTypePTR, &list);
  std::vector<std::string> names;
  if (rc == -1) {
    for (const dns::Record& r : list) {
      if (r.type != dns::kTypePTR || r.section != dns::Section::Answer) continue;
      std::string n = StripDot(r.target);
      if (!n.empty()) names.push_back(std::move(n));
    }
    if (names.empty()) rc = SPF_NONE;
  }
  if (rc != -1) return answer(limited ? -1 : rc, nullptr);

  // Tiers from the most to the least specific; a name is tried only once.
  const unsigned tiers[3] = {kSpfTierEqual, kSpfTierUnder, kSpfTierAny};
  auto intier = [&](unsigned tier, const std::string& n) {
    if (tier == kSpfTierAny) return true;
    if (!domain) return false;
    if (tier == kSpfTierEqual) return SpfEqualNoCase(n.c_str(), domain);
    return SpfDomainSuffixMatch(n.c_str(), domain) != 0;
  };
  constexpr size_t kTracked = 256;
  bool tried[kTracked] = {};
  int result = -1;
  bool done = false;
  for (unsigned tier : tiers) {
    if (done) break;
    if (!(flags & tier)) continue;
    int confirmations = 0;
    for (size_t i = 0; i < names.size() && !done; i++) {
      if (i < kTracked && tried[i]) continue;
      if (!intier(tier, names[i])) continue;
      if (limited && ++confirmations > kSpfMaxConfirmations) break;
      int m = SpfMatchHostAddresses(&list, names[i].c_str(), ipv6, addr, ipv6 ? 128 : 32);
      if (m == 0) return answer(0, names[i].c_str());
      if (m > 0 && !limited) {
        result = m;
        done = true;
      }
      if (i < kTracked) tried[i] = true;
    }
  }
  if (flags & kSpfUnvalidated) {
    for (unsigned tier : tiers) {
      if (!(flags & tier)) continue;
      for (const std::string& n : names) {
        if (intier(tier, n)) return answer(2, n.c_str());
      }
    }
  }
  return answer(result, nullptr);
}
