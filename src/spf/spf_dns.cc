// DNS access of the SPF evaluator and its local record cache.
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <mutex>

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

// ---------------------------------------------------------------- record cache

namespace {

struct CacheEntry {
  uint32_t keylen;
  uint32_t datalen;
  int64_t expiry;
  char bytes[1];  // key, then data
};

constexpr size_t kCacheGrowth = 256;

struct RecordCache {
  CacheEntry** table = nullptr;
  size_t count = 0;
  size_t capacity = 0;
};

RecordCache g_cache;
std::mutex g_cachemutex;
std::atomic<bool> g_cachelocking{false};

class CacheGuard {
 public:
  CacheGuard() : locked_(g_cachelocking) {
    if (locked_) g_cachemutex.lock();
  }
  ~CacheGuard() {
    if (locked_) g_cachemutex.unlock();
  }

 private:
  bool locked_;
};

int CompareKey(const CacheEntry* e, const char* key, size_t keylen) {
  size_t n = e->keylen < keylen ? e->keylen : keylen;
  int c = memcmp(e->bytes, key, n);
  if (c) return c;
  if (e->keylen == keylen) return 0;
  return e->keylen < keylen ? -1 : 1;
}

// Index of an equal key (found = true) or the insertion point.
size_t Find(const char* key, size_t keylen, bool* found) {
  size_t lo = 0, hi = g_cache.count;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    int c = CompareKey(g_cache.table[mid], key, keylen);
    if (c == 0) {
      *found = true;
      return mid;
    }
    if (c < 0) lo = mid + 1;
    else hi = mid;
  }
  *found = false;
  return lo;
}

void RemoveAt(size_t i) {
  free(g_cache.table[i]);
  memmove(g_cache.table + i, g_cache.table + i + 1, (g_cache.count - i - 1) * sizeof(CacheEntry*));
  g_cache.count--;
}

CacheEntry* NewEntry(const char* key, size_t keylen, size_t datalen) {
  CacheEntry* e = (CacheEntry*)malloc(sizeof(CacheEntry) + keylen + datalen);
  if (!e) return nullptr;
  e->keylen = (uint32_t)keylen;
  e->datalen = 0;
  e->expiry = 0;
  memcpy(e->bytes, key, keylen);
  return e;
}

}  // namespace

void SpfCacheSetLocking(bool on) { g_cachelocking = on; }

size_t SpfCacheKey(const char* domain, char out[256]) {
  if (!domain) return 0;
  size_t len = strlen(domain);
  if (len >= 255) return 0;
  size_t n = 0;
  size_t end = len;
  // Labels from the last to the first; letters lower-cased.
  for (;;) {
    size_t start = end;
    while (start > 0 && domain[start - 1] != '.') start--;
    for (size_t i = start; i < end; i++) out[n++] = SpfToLower(domain[i]);
    if (start == 0) break;
    out[n++] = '.';
    end = start - 1;
  }
  return n;
}

bool SpfCacheLookup(const char* key, size_t keylen, int64_t now, std::string* record) {
  if (!keylen) return false;
  CacheGuard guard;
  bool found;
  size_t i = Find(key, keylen, &found);
  if (!found) return false;
  CacheEntry* e = g_cache.table[i];
  if (e->expiry < now) {
    RemoveAt(i);
    return false;
  }
  const char* data = e->bytes + e->keylen;
  size_t n = e->datalen;
  if (n && data[n - 1] == 0) n--;
  record->assign(data, n);
  return true;
}

int SpfCacheInsert(const char* key, size_t keylen, const char* data, uint32_t ttl, int64_t now) {
  if (!keylen) return SPF_TEMPERROR;
  if (ttl < 2 && ttl != 0) return 0;  // 0 means "never expires"
  int64_t expiry;
  if (ttl == 0 || ttl == 0x7FFFFFFF || now > INT64_MAX - (int64_t)ttl) expiry = INT64_MAX;
  else expiry = now + (int64_t)ttl;
  size_t datalen = strlen(data) + 1;
  CacheGuard guard;
  bool found;
  size_t i = Find(key, keylen, &found);
  if (found) {
    CacheEntry* e = g_cache.table[i];
    if (datalen > e->datalen) {
      CacheEntry* bigger = (CacheEntry*)realloc(e, sizeof(CacheEntry) + keylen + datalen);
      if (!bigger) {
        RemoveAt(i);
        return SPF_TEMPERROR;
      }
      e = g_cache.table[i] = bigger;
    }
    e->datalen = (uint32_t)datalen;
    e->expiry = expiry;
    memcpy(e->bytes + keylen, data, datalen);
    return 0;
  }
  if (g_cache.count == g_cache.capacity) {
    size_t cap = g_cache.capacity + kCacheGrowth;
    CacheEntry** t = (CacheEntry**)realloc(g_cache.table, cap * sizeof(CacheEntry*));
    if (!t) return SPF_TEMPERROR;
    g_cache.table = t;
    g_cache.capacity = cap;
  }
  CacheEntry* e = NewEntry(key, keylen, datalen);
  if (!e) return SPF_TEMPERROR;
  e->datalen = (uint32_t)datalen;
  e->expiry = expiry;
  memcpy(e->bytes + keylen, data, datalen);
  memmove(g_cache.table + i + 1, g_cache.table + i, (g_cache.count - i) * sizeof(CacheEntry*));
  g_cache.table[i] = e;
  g_cache.count++;
  return 0;
}

void SpfCacheDelete(const char* key, size_t keylen) {
  if (!keylen) return;
  CacheGuard guard;
  bool found;
  size_t i = Find(key, keylen, &found);
  if (found) RemoveAt(i);
}

void SpfCacheClear() {
  CacheGuard guard;
  for (size_t i = 0; i < g_cache.count; i++) free(g_cache.table[i]);
  g_cache.count = 0;
}

void SpfCachePurge(int32_t seconds, int64_t now) {
  int64_t limit;
  if (seconds == 0x7FFFFFFF) limit = INT64_MAX;
  else if (seconds > 0 && now > INT64_MAX - seconds) limit = INT64_MAX;
  else if (seconds < 0 && now < INT64_MIN - seconds) limit = INT64_MIN;
  else limit = now + seconds;
  CacheGuard guard;
  for (size_t i = g_cache.count; i-- > 0;) {
    if (g_cache.table[i]->expiry <= limit) RemoveAt(i);
  }
}

size_t SpfCacheCount() {
  CacheGuard guard;
  return g_cache.count;
}
