// Public operations of the SPF evaluator: settings, binding, the front end
// of a check (identity, source routes, address literals, explanation).
#include "spf/wrenspf.h"

#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>

#include "dns/resolver.h"
#include "platform/sys.h"
#include "spf/spf_internal.h"
#include "base/textbuf.h"

SpfSettings g_spf;

namespace {

int64_t SystemClock() { return (int64_t)time(nullptr); }

// 0 not initialised, 1 ready, -1 binding failed (until SpfCleanup).
std::atomic<int> g_state{0};
// Serialises lazy binding by threads that call in before SpfInit.
std::mutex g_bindmutex;

constexpr size_t kMaxHopName = 255;
constexpr size_t kLiteralNameBuf = 256;

// Binding means the resolver can be used: its library initialises (the DNS
// API library and its entry points where there is one).
bool BindResolver() { return dns::available() != 0; }

int Bind(bool lazy, bool locked) {
  if (g_state == 1) return 0;
  if (g_state == -1) return 1;
  std::unique_lock<std::mutex> guard(g_bindmutex, std::defer_lock);
  if (lazy) {
    guard.lock();
    if (g_state == 1) return 0;
    if (g_state == -1) return 1;
  }
  if (!BindResolver()) {
    g_state = -1;
    return 1;
  }
  SpfCacheSetLocking(locked);
  g_state = 1;
  return 0;
}

void FreeText(char** t) {
  free(*t);
  *t = nullptr;
}

char* CopyText(const char* s) {
  size_t n = strlen(s);
  char* c = (char*)malloc(n + 1);
  if (c) memcpy(c, s, n + 1);
  return c;
}

// Replaces a record setting: free, test, copy.
int SetRecord(char** slot, const char* record) {
  FreeText(slot);
  if (!record || !*record) return 0;
  if (!SpfRecordSyntaxOk(record)) return SPF_PERMERROR;
  *slot = CopyText(record);
  return *slot ? 0 : SPF_TEMPERROR;
}

bool IsLoopbackV6(const uint8_t* a) {
  for (int i = 0; i < 15; i++) {
    if (a[i]) return false;
  }
  return a[15] == 1;
}

bool IsMappedV4(const uint8_t* a) {
  static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return memcmp(a, kMapped, 12) == 0;
}

// Explanation text of the expdomain: one TXT record, strings joined,
// expanded in explanation mode. Null when there is none.
char* FetchExplanation(SpfContext* ctx) {
  dns::RecordList list;
  if (SpfDnsQuery(ctx->expdomain, dns::kTypeTXT, &list) != -1) return nullptr;
  const dns::Record* found = nullptr;
  for (const dns::Record& r : list) {
    if (r.type != dns::kTypeTXT || r.section != dns::Section::Answer) continue;
    if (found) return nullptr;
    found = &r;
  }
  if (!found) return nullptr;
  std::string text;
  for (const std::string& s : found->strings) text.append(s);
  if (text.empty()) return nullptr;
  char* out = nullptr;
  if (SpfExpandMacros(ctx, text.data(), text.data() + text.size(), ctx->domain, &out, 0) != -1) return nullptr;
  return out;
}

// Takes the client address into ctx. SPF_PASS for a loopback client (it is
// the host itself), PermError without a usable address, else -1.
int SetClient(SpfContext* ctx, int family, const void* address) {
  if (!address) return SPF_PERMERROR;
  if (family == SPF_FAMILY_IPV4) {
    memcpy(ctx->addr, address, 4);
    return ctx->addr[0] == 127 ? (int)SPF_PASS : -1;
  }
  if (family != SPF_FAMILY_IPV6) return SPF_PERMERROR;
  const uint8_t* a = (const uint8_t*)address;
  if (IsLoopbackV6(a)) return SPF_PASS;
  if (IsMappedV4(a)) {
    memcpy(ctx->addr, a + 12, 4);
    return ctx->addr[0] == 127 ? (int)SPF_PASS : -1;
  }
  memcpy(ctx->addr, a, 16);
  ctx->ipv6 = 1;
  return -1;
}

// The identity checked: the sender, else the HELO name. False without either.
bool PickIdentity(SpfContext* ctx, const char* sender, const char* helo, std::string* identity) {
  if (sender && *sender) {
    *identity = sender;
  } else if (helo && *helo) {
    *identity = helo;
    ctx->heloused = 1;
  } else {
    return false;
  }
  return true;
}

// Texts the check's domain and local part point into.
struct CheckNames {
  std::string hop;
  std::string local;
  std::string domain;
  char literalname[kLiteralNameBuf];
};

// The first hop of a source route "@hop1[,@hop2...]:local@domain"; false
// when `identity` is no source route.
bool FirstHop(const std::string& identity, std::string* hop) {
  if (identity.empty() || identity[0] != '@' || identity.find(':') == std::string::npos) return false;
  size_t end = identity.find_first_of(":,", 1);
  *hop = identity.substr(1, std::min(end - 1, kMaxHopName));
  return true;
}

// "local@domain" or a bare domain, split.
void SplitMailbox(const std::string& identity, std::string* local, std::string* domain) {
  size_t at = identity.find('@');
  if (at == std::string::npos) {
    *domain = identity;
  } else {
    *local = identity.substr(0, at);
    *domain = identity.substr(at + 1);
  }
}

// Source route: the first hop speaks first.
// Its verdict stands unless it is Neutral or None; then the check starts
// afresh with the mailbox after the route. Returns that verdict or -1.
int CheckSourceRoute(SpfContext* ctx, std::string* identity, CheckNames* n) {
  if (!FirstHop(*identity, &n->hop)) return -1;
  ctx->domain = n->hop.c_str();
  ctx->localpart = nullptr;
  int r = SpfEvaluate(ctx, ctx->domain);
  if ((r & 15) != SPF_NEUTRAL && (r & 15) != SPF_NONE) return r;
  FreeText(&ctx->expdomain);
  ctx->recursion = 0;
  ctx->dnsterms = 0;
  ctx->voids = 0;
  identity->erase(0, identity->find(':') + 1);
  return -1;
}

// True when `domain` is exactly an address literal, "[a.b.c.d]" or
// "[IPv6:...]"; its address goes to `lit`.
bool ParseLiteral(const std::string& domain, uint8_t lit[16], bool* v6) {
  if (domain.empty() || domain[0] != '[') return false;
  *v6 = false;
  const char* end = SpfParseIPv4(domain.c_str() + 1, lit, ']');
  if (!end || *end != ']') {
    end = nullptr;
    if (strncasecmp(domain.c_str() + 1, "IPv6:", 5) == 0) {
      end = SpfParseIPv6(domain.c_str() + 6, lit, ']');
      if (end && *end != ']') end = nullptr;
      *v6 = true;
    }
  }
  return end && end[1] == 0;
}

// Checks the mailbox "local@domain" (or a bare domain). An address literal
// stands for the address's validated host name; without one the verdict is
// SPF_NONE_NOHOSTNAME.
int CheckMailbox(SpfContext* ctx, const std::string& identity, CheckNames* n) {
  SplitMailbox(identity, &n->local, &n->domain);
  ctx->localpart = n->local.empty() ? nullptr : n->local.c_str();
  ctx->domain = n->domain.c_str();
  uint8_t lit[16];
  bool v6 = false;
  if (ParseLiteral(n->domain, lit, &v6)) {
    int v = SpfLookupValidatedName(v6, lit, n->literalname, sizeof n->literalname, nullptr,
                                   kSpfTierAny | kSpfLimitConfirm);
    if (v != 0) return SPF_NONE_NOHOSTNAME;
    ctx->domain = n->literalname;
  }
  return SpfEvaluate(ctx, ctx->domain);
}

int CheckHost(int family, const void* address, const char* sender, const char* record, const char* helo,
              const char* clientname, char** explanation, SpfCheckDetail* detail) {
  if (explanation) *explanation = nullptr;
  SpfContext ctx;
  int result = SetClient(&ctx, family, address);
  if (result != -1) return result;
  if (!SpfBind()) return SPF_PERMERROR;
  std::string identity;
  if (!PickIdentity(&ctx, sender, helo, &identity)) return SPF_PERMERROR;
  ctx.checktime = SpfNow();
  ctx.record = record;
  ctx.helo = helo && *helo ? helo : nullptr;
  ctx.clientname = clientname;
  ctx.explanation = explanation;

  CheckNames names;
  result = CheckSourceRoute(&ctx, &identity, &names);
  if (result == -1) result = CheckMailbox(&ctx, identity, &names);

  if (detail) {
    detail->helo = (int)ctx.heloused;
    detail->source = ctx.source;
    textcopy(detail->domain, ctx.domain);
  }
  // An explanation is fetched only for a Fail that named one.
  if (ctx.expdomain) {
    if (explanation && (result & 15) == SPF_FAIL) *explanation = FetchExplanation(&ctx);
    FreeText(&ctx.expdomain);
  }
  return result < 0 ? (int)SPF_NEUTRAL : result;
}

}  // namespace

int64_t (*g_spf_clock)() = SystemClock;

int64_t SpfNow() { return g_spf_clock(); }

bool SpfBind() { return Bind(true, true) == 0; }

int SpfInit(int, int, int flags) {
  SpfCleanup();
  if (Bind(false, (flags & 1) != 0) != 0) {
    SpfCleanup();
    return 1;
  }
  return 0;
}

int SpfSetLocalHost(const char* name) {
  FreeText(&g_spf.localhost);
  if (!name || !*name) return 0;
  g_spf.localhost = CopyText(name);
  return g_spf.localhost ? 0 : SPF_TEMPERROR;
}

int SpfSetBestGuess(const char* bestguess, const char* fallback) {
  int rc = SetRecord(&g_spf.bestguess, bestguess);
  if (rc != 0) return rc;
  return SetRecord(&g_spf.fallback, fallback);
}

int SpfSetWhitelist(const char* record) { return SetRecord(&g_spf.whitelist, record); }

const char* SpfParseAddress(const char* text, int family, void* out) {
  if (!text || !out) return nullptr;
  if (family == SPF_FAMILY_IPV4) return SpfParseIPv4(text, (uint8_t*)out, 0);
  if (family == SPF_FAMILY_IPV6) return SpfParseIPv6(text, (uint8_t*)out, 0);
  return nullptr;
}

namespace {

// A check within its own time limit and the caller's deadline.
int CheckHostWithin(int family, const void* address, const char* sender, const char* record,
                    const char* helo, const char* clientname, char** explanation,
                    SpfCheckDetail* detail) {
  // The check's own time limit, within any deadline of the caller.
  int64_t outer = dns::threaddeadline();
  int64_t limit = plat::nowms() + kSpfTimeLimitMs;
  dns::setthreaddeadline(outer != 0 && outer < limit ? outer : limit);
  struct Restore {
    int64_t d;
    ~Restore() { dns::setthreaddeadline(d); }
  } restore{outer};
  try {
    return CheckHost(family, address, sender, record, helo, clientname, explanation, detail);
  } catch (const std::bad_alloc&) {
    if (explanation) {
      free(*explanation);
      *explanation = nullptr;
    }
    return SPF_TEMPERROR;
  }
}

}  // namespace

int SpfCheckHost(int family, const void* address, const char* sender, const char* record, const char* helo,
                 const char* clientname, char** explanation) {
  return CheckHostWithin(family, address, sender, record, helo, clientname, explanation, nullptr);
}

int SpfCheckHostDetail(int family, const void* address, const char* sender, const char* helo,
                       const char* clientname, SpfCheckDetail* detail) {
  if (detail) *detail = SpfCheckDetail{};
  return CheckHostWithin(family, address, sender, nullptr, helo, clientname, nullptr, detail);
}

const char* SpfFirstDomain(const char* sender, const char* helo, char* out, size_t size) {
  if (size != 0) out[0] = '\0';
  SpfContext ctx;
  std::string identity, domain, local;
  try {
    if (!PickIdentity(&ctx, sender, helo, &identity)) return out;
    if (!FirstHop(identity, &domain)) SplitMailbox(identity, &local, &domain);
  } catch (const std::bad_alloc&) {
    return out;
  }
  uint8_t lit[16];
  bool v6 = false;
  if (!ParseLiteral(domain, lit, &v6) && size != 0) textcopy(out, size, domain.c_str());
  return out;
}

const char* SpfResultText(int code) {
  static const char* const kTexts[] = {"Pass", "SoftFail", "Fail", "Neutral", "None", "TempError", "PermError"};
  int low = code & 15;
  return low <= SPF_PERMERROR ? kTexts[low] : "unknown";
}

void SpfCleanup() {
  FreeText(&g_spf.whitelist);
  FreeText(&g_spf.bestguess);
  FreeText(&g_spf.fallback);
  FreeText(&g_spf.localhost);
  if (g_state == 1) SpfCacheSetLocking(false);
  g_state = 0;
}

int SpfSetCachedRecord(const char* domain, const char* record, uint32_t ttl) {
  if (!SpfBind()) return SPF_PERMERROR;
  if (!domain) {
    SpfCacheClear();
    return 0;
  }
  char key[256];
  size_t keylen = SpfCacheKey(domain, key);
  if (!record || !*record) {
    SpfCacheDelete(key, keylen);
    return 0;
  }
  if (!SpfRecordSyntaxOk(record)) return SPF_PERMERROR;
  if (!keylen) return SPF_TEMPERROR;
  return SpfCacheInsert(key, keylen, record, ttl, SpfNow());
}

void SpfPurgeCache(int32_t seconds) {
  if (g_state != 1) return;
  SpfCachePurge(seconds, SpfNow());
}

int SpfGetHostName(int family, const void* address, char* out, size_t outsize, const char* domain) {
  if (!address || (family != SPF_FAMILY_IPV4 && family != SPF_FAMILY_IPV6)) return SPF_PERMERROR;
  if (!SpfBind()) return SPF_PERMERROR;
  try {
    unsigned flags = kSpfTierAny | kSpfUnvalidated;
    if (domain) flags |= kSpfTierUnder | kSpfTierEqual;
    return SpfLookupValidatedName(family == SPF_FAMILY_IPV6, (const uint8_t*)address, out, outsize, domain,
                                  flags);
  } catch (const std::bad_alloc&) {
    return SPF_TEMPERROR;
  }
}

uint32_t SpfGetHostAddress(const char* name) {
  if (!name || !SpfBind()) return 0xFFFFFFFF;
  try {
    dns::RecordList list;
    int rc = SpfDnsQuery(name, dns::kTypeA, &list);
    if (rc == SPF_TEMPERROR) return 0xFFFFFFFF;
    if (rc != -1) return 0;
    for (const dns::Record& r : list) {
      if (r.type == dns::kTypeA && r.section == dns::Section::Answer) {
        uint32_t v;
        memcpy(&v, r.addr, 4);
        return v;
      }
    }
    return 0;
  } catch (const std::bad_alloc&) {
    return 0xFFFFFFFF;
  }
}
