// Evaluation of one domain's SPF record: terms, limits and local policies.
#include <cstdlib>
#include <cstring>
#include <string>

#include "spf/spf_internal.h"
#include "spf/wrenspf.h"

namespace {

constexpr size_t kDomainBuf = 256;
constexpr char kWhitelistOnlyRecord[] = "v=spf1 -all";
// The qualifier of a term without one.
constexpr int kNoQualifier = -2;

int IncludeDepth(const SpfContext* ctx) { return ctx->recursion & 0xFF; }

bool TermEnds(char c) { return c == ' ' || c == 0; }

// Case-insensitive comparison of a term name [name, name + len) with a word.
bool NameIs(const char* name, size_t len, const char* word) {
  size_t wl = strlen(word);
  if (len != wl) return false;
  for (size_t i = 0; i < len; i++) {
    if (SpfToLower(name[i]) != word[i]) return false;
  }
  return true;
}

// Reads decimal digits at *p (capped so that no value overflows).
unsigned ReadNumber(const char** p) {
  unsigned v = 0;
  while (SpfIsDigit(**p)) {
    v = v * 10 + (unsigned)(**p - '0');
    if (v > 100000) v = 100000;
    (*p)++;
  }
  return v;
}

// Optional domain-spec after ':' (without one, the current domain). The
// domain-spec ends at a space minus a trailing "/n", "//m" or "/n//m", where
// the cursor is left for the CIDR parser. With eq == -1 nothing is expanded.
int ParseDomainSpec(SpfContext* ctx, const char** cursor, int eq, const char* curdomain, char* out) {
  const char* p = *cursor;
  if (*p != ':') {
    size_t n = strnlen(curdomain, kDomainBuf - 1);
    memcpy(out, curdomain, n);
    out[n] = 0;
    return -1;
  }
  const char* start = p + 1;
  const char* end = start;
  while (!TermEnds(*end)) end++;
  // Strip the CIDR suffix from the right.
  const char* q = end;
  while (q > start && SpfIsDigit(q[-1])) q--;
  if (q < end && q > start && q[-1] == '/') {
    const char* suffix = q - 1;
    if (suffix > start && suffix[-1] == '/') {
      suffix--;
      const char* r = suffix;
      while (r > start && SpfIsDigit(r[-1])) r--;
      if (r < suffix && r > start && r[-1] == '/') suffix = r - 1;
    }
    end = suffix;
  }
  *cursor = end;
  if (end == start) return SPF_PERMERROR;
  if (eq == -1) return -1;
  return SpfExpandMacros(ctx, start, end, curdomain, &out, 1);
}

struct Frame {
  const char* domain = nullptr;  // current domain ("d")
  int result = -1;
  int whitelist = 0;  // 1: a pass-qualified mechanism was met; 2: whitelist-only policy
  char* redirect = nullptr;
  char* exp = nullptr;
  bool redirectseen = false;
  std::string copy;
};

// Evaluates the whitelist record for the client; true when it passes.
bool WhitelistPasses(SpfContext* ctx) {
  if (!g_spf.whitelist) return false;
  ctx->recursion += kSpfIncludeStep;
  int r = SpfEvaluate(ctx, nullptr);
  ctx->recursion -= 1;
  if (r == SPF_PASS) ctx->source = SPF_SOURCE_WHITELIST;
  return r == SPF_PASS;
}

bool CountDnsTerm(SpfContext* ctx) { return ++ctx->dnsterms <= kSpfMaxDnsTerms; }

// A term's lookup found nothing: -1 (no match), or PermError past the limit.
int VoidLookup(SpfContext* ctx) { return ++ctx->voids <= kSpfMaxVoidLookups ? -1 : (int)SPF_PERMERROR; }

// ------------------------------------------------------------ mechanisms

// What follows a mechanism's name, parsed into TermArgs before it matches.
enum : unsigned {
  kCountsLookup = 1,   // one of the kSpfMaxDnsTerms lookups of a check (counted before parsing)
  kDomainSpec = 2,     // optional ":domain-spec"; the current domain without one
  kDomainNeeded = 4,   // the ":domain-spec" must be there
  kDualCidr = 8,       // optional "/n", "//m" or "/n//m"
  kNetwork4 = 16,      // ":ip4-network" with an optional "/n"
  kNetwork6 = 32,      // ":ip6-network" with an optional "/n"
};

struct TermArgs {
  char target[kDomainBuf];  // the expanded domain-spec
  int bits = 0;             // prefix length for the client's family
  uint8_t net[16] = {};     // the network of ip4 and ip6
};

// Parses ":network[/n[//m]]" into a->net and a->bits; a "//m" after a
// single-family network is read and ignored.
int ParseNetwork(const char** cursor, bool v6mech, TermArgs* a) {
  const char* p = *cursor;
  if (*p != ':') return SPF_PERMERROR;
  p++;
  p = v6mech ? SpfParseIPv6(p, a->net, '/') : SpfParseIPv4(p, a->net, '/');
  if (!p) return SPF_PERMERROR;
  unsigned maxbits = v6mech ? 128 : 32;
  unsigned bits = maxbits;
  if (*p == '/') {
    p++;
    if (!SpfIsDigit(*p)) return SPF_PERMERROR;
    bits = ReadNumber(&p);
    if (bits > maxbits) return SPF_PERMERROR;
    if (p[0] == '/' && p[1] == '/') {
      p += 2;
      if (!SpfIsDigit(*p)) return SPF_PERMERROR;
      ReadNumber(&p);
    }
  }
  *cursor = p;
  a->bits = (int)bits;
  return -1;
}

// Parses the arguments a mechanism takes (`args`, the flags above) up to the
// end of its term. -1 or PermError (or the domain-spec's expansion error).
// With eq == -1 (a verdict is already known) nothing is expanded.
int ParseTermArgs(SpfContext* ctx, unsigned args, const char** p, int eq, const char* curdomain, TermArgs* a) {
  if (args & (kNetwork4 | kNetwork6)) {
    int rc = ParseNetwork(p, (args & kNetwork6) != 0, a);
    if (rc != -1) return rc;
  }
  if (args & kDomainSpec) {
    if ((args & kDomainNeeded) && **p != ':') return SPF_PERMERROR;
    int rc = ParseDomainSpec(ctx, p, eq, curdomain, a->target);
    if (rc != -1) return rc;
  }
  if (args & kDualCidr) {
    a->bits = SpfParseDualCidr(p, ctx->ipv6 != 0);
    return a->bits < 0 ? (int)SPF_PERMERROR : -1;
  }
  return TermEnds(**p) ? -1 : (int)SPF_PERMERROR;
}

// The matchers answer eq (the term's qualifier) on a match, -1 when the term
// does not match, or an error verdict.

int MatchAll(SpfContext* ctx, const Frame& f, const TermArgs&, int eq) {
  if (eq == SPF_PASS) return SPF_PASS;
  if (IncludeDepth(ctx) != 0) return kSpfIncludeAllMiss;
  if (f.whitelist && g_spf.whitelist && WhitelistPasses(ctx)) return SPF_PASS;
  return f.whitelist == 2 ? SPF_NONE : eq;
}

int MatchA(SpfContext* ctx, const Frame&, const TermArgs& a, int eq) {
  int m = SpfMatchHostAddresses(nullptr, a.target, ctx->ipv6 != 0, ctx->addr, a.bits);
  if (m == 0) return eq;
  if (m == SPF_TEMPERROR) return SPF_TEMPERROR;
  if (m == SPF_NONE || m == SPF_PERMERROR) return VoidLookup(ctx);
  return -1;
}

int MatchMx(SpfContext* ctx, const Frame&, const TermArgs& a, int eq) {
  std::vector<std::string> hosts;
  dns::RecordList list;
  int n = SpfGetMxNames(a.target, &hosts, &list);
  if (n == -SPF_TEMPERROR) return SPF_TEMPERROR;
  if (n == -SPF_NONE || n == -SPF_PERMERROR) return VoidLookup(ctx);
  if (n < 0) return -1;
  int tried = 0;
  for (const std::string& host : hosts) {
    if (++tried > kSpfMaxMxHosts) return SPF_PERMERROR;
    int m = SpfMatchHostAddresses(&list, host.c_str(), ctx->ipv6 != 0, ctx->addr, a.bits);
    if (m == 0) return eq;
    if (m == SPF_TEMPERROR) return SPF_TEMPERROR;
    if (m > 0) return -1;  // a host without addresses ends the mechanism
  }
  return -1;
}

int MatchPtr(SpfContext* ctx, const Frame&, const TermArgs& a, int eq) {
  if (ctx->clientname && *ctx->clientname && SpfDomainSuffixMatch(ctx->clientname, a.target)) return eq;
  int v = SpfLookupValidatedName(ctx->ipv6 != 0, ctx->addr, nullptr, 0, a.target, kSpfTierUnder | kSpfLimitConfirm);
  return v == 0 ? eq : -1;
}

int MatchIp4(SpfContext* ctx, const Frame&, const TermArgs& a, int eq) {
  return (!ctx->ipv6 && SpfPrefixMatch(ctx->addr, a.net, a.bits)) ? eq : -1;
}

int MatchIp6(SpfContext* ctx, const Frame&, const TermArgs& a, int eq) {
  // An IPv4-mapped network matches IPv4 clients.
  static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (a.bits >= 96 && memcmp(a.net, kMapped, 12) == 0) {
    return (!ctx->ipv6 && SpfPrefixMatch(ctx->addr, a.net + 12, a.bits - 96)) ? eq : -1;
  }
  return (ctx->ipv6 && SpfPrefixMatch(ctx->addr, a.net, a.bits)) ? eq : -1;
}

int MatchExists(SpfContext* ctx, const Frame&, const TermArgs& a, int eq) {
  dns::RecordList list;
  int q = SpfDnsQuery(a.target, dns::kTypeA, &list);
  if (q == SPF_TEMPERROR) return SPF_TEMPERROR;
  if (q == SPF_NONE || q == SPF_PERMERROR) return VoidLookup(ctx);
  if (q != -1) return -1;
  for (const dns::Record& r : list) {
    if (r.type == dns::kTypeA && r.section == dns::Section::Answer) return eq;
  }
  return -1;
}

int MatchInclude(SpfContext* ctx, const Frame& f, const TermArgs& a, int eq) {
  if (SpfEqualNoCase(a.target, ctx->domain) || SpfEqualNoCase(a.target, f.domain)) return SPF_PERMERROR;
  ctx->recursion += kSpfIncludeStep;
  int r = SpfEvaluate(ctx, a.target);
  ctx->recursion -= 1;
  switch (r) {
    case SPF_PASS: return eq;
    case SPF_NONE: return SPF_PERMERROR;
    case SPF_TEMPERROR:
    case SPF_PERMERROR: return r;
    default: return -1;
  }
}

struct Mechanism {
  const char* name;  // lower case
  unsigned args;     // kCountsLookup and what follows the name
  int (*match)(SpfContext* ctx, const Frame& f, const TermArgs& a, int eq);
};

constexpr Mechanism kMechanisms[] = {
    {"all", 0, MatchAll},
    {"a", kCountsLookup | kDomainSpec | kDualCidr, MatchA},
    {"mx", kCountsLookup | kDomainSpec | kDualCidr, MatchMx},
    {"ptr", kCountsLookup | kDomainSpec, MatchPtr},
    {"exists", kCountsLookup | kDomainSpec, MatchExists},
    {"include", kCountsLookup | kDomainSpec | kDomainNeeded, MatchInclude},
    {"ip4", kNetwork4, MatchIp4},
    {"ip6", kNetwork6, MatchIp6},
};

const Mechanism* FindMechanism(const char* name, size_t len) {
  for (const Mechanism& m : kMechanisms) {
    if (NameIs(name, len, m.name)) return &m;
  }
  return nullptr;
}

// One mechanism term; *p is just after its name. The verdict or -1, as the
// matchers answer; once a verdict is known (f->result) the terms are still
// parsed and counted but no longer matched.
int RunMechanism(SpfContext* ctx, Frame* f, int q, const char* name, size_t nlen, const char** p) {
  if (**p != ':' && **p != '/' && !TermEnds(**p)) return SPF_PERMERROR;
  int eq = f->result == -1 ? (q == kNoQualifier ? SPF_PASS : q) : -1;
  const Mechanism* m = FindMechanism(name, nlen);
  // An unknown mechanism is an error only where it could decide the verdict.
  if (!m) return f->result == -1 ? (int)SPF_PERMERROR : -1;
  // A pass-qualified mechanism lets the whitelist rescue a later miss ("all"
  // with a pass decides by itself).
  if (m->match != MatchAll && eq == SPF_PASS) f->whitelist = 1;
  if ((m->args & kCountsLookup) && !CountDnsTerm(ctx)) return SPF_PERMERROR;
  TermArgs a;
  int rc = ParseTermArgs(ctx, m->args, p, eq, f->domain, &a);
  if (rc != -1 || eq == -1) return rc;
  return m->match(ctx, *f, a, eq);
}

// Expands a modifier value into a new heap text (*out). -1 or 5/6.
int ExpandModifier(SpfContext* ctx, const char* begin, const char* end, const char* curdomain, char** out) {
  free(*out);
  *out = nullptr;
  if (begin == end) return -1;
  return SpfExpandMacros(ctx, begin, end, curdomain, out, 1);
}

// One modifier term; *p is at its '='. -1 or an error verdict.
int RunModifier(SpfContext* ctx, Frame* f, int q, const char* name, size_t nlen, const char** p) {
  if (q != kNoQualifier) return SPF_PERMERROR;
  const char* value = ++*p;
  while (!TermEnds(**p)) ++*p;
  if (NameIs(name, nlen, "redirect")) {
    if (f->redirectseen) return SPF_PERMERROR;
    f->redirectseen = true;
    return ExpandModifier(ctx, value, *p, f->domain, &f->redirect);
  }
  // Unknown modifiers are ignored, and so is "exp" where no explanation is wanted.
  if (NameIs(name, nlen, "exp") && IncludeDepth(ctx) == 0 && ctx->explanation)
    return ExpandModifier(ctx, value, *p, f->domain, &f->exp);
  return -1;
}

int ReadQualifier(const char** p) {
  switch (**p) {
    case '+': ++*p; return SPF_PASS;
    case '-': ++*p; return SPF_FAIL;
    case '?': ++*p; return SPF_NEUTRAL;
    case '~': ++*p; return SPF_SOFTFAIL;
    default: return kNoQualifier;
  }
}

// Walks the terms of `record` (just after "v=spf1") and sets f->result.
void TermLoop(SpfContext* ctx, Frame* f, const char* record) {
  const char* p = record + 6;
  for (;;) {
    while (*p == ' ') p++;
    if (!*p) break;
    int q = ReadQualifier(&p);
    const char* name = p;
    if (SpfIsLetter(*p)) {
      while (SpfIsNameChar(*p)) p++;
    }
    size_t nlen = (size_t)(p - name);
    int rc = *p == '=' ? RunModifier(ctx, f, q, name, nlen, &p) : RunMechanism(ctx, f, q, name, nlen, &p);
    if (rc == SPF_TEMPERROR || rc == SPF_PERMERROR) {
      f->result = rc;
      break;
    }
    if (rc >= 0 && f->result == -1) f->result = rc;
    // The parsers stop at the end of their term, or where they gave up.
    while (!TermEnds(*p)) p++;
  }
}


// A top-level domain without a record of its own: a cached record, else the
// local policies (fallback for domains with only an address, best guess,
// whitelist only). -1 with *record set, or SPF_NONE.
int PolicyRecord(SpfContext* ctx, const char* domain, Frame* f, const char** record) {
  char key[256];
  size_t keylen = SpfCacheKey(domain, key);
  if (SpfCacheLookup(key, keylen, ctx->checktime, &f->copy) && SpfRecordSyntaxOk(f->copy.c_str())) {
    *record = f->copy.c_str();
    ctx->source = SPF_SOURCE_RECORD;
  } else if (g_spf.fallback && !ctx->heloused && SpfDomainHasOnlyAddress(domain)) {
    *record = g_spf.fallback;
    ctx->source = SPF_SOURCE_FALLBACK;
  } else if (g_spf.bestguess) {
    *record = g_spf.bestguess;
    ctx->source = SPF_SOURCE_BESTGUESS;
  } else if (g_spf.whitelist) {
    *record = kWhitelistOnlyRecord;
    f->whitelist = 2;
    ctx->source = SPF_SOURCE_WHITELIST;
  } else {
    return SPF_NONE;
  }
  return -1;
}

// The record to evaluate for `domain` (null: the whitelist record against
// the sender domain). -1 with *record set, or the verdict without one.
int SelectRecord(SpfContext* ctx, const char* domain, Frame* f, const char** record) {
  const bool top = ctx->recursion == 0;
  if (!domain) {
    if (!g_spf.whitelist) return SPF_NONE;
    *record = g_spf.whitelist;
    f->domain = ctx->domain;
    return -1;
  }
  if (!SpfValidDomain(domain, ctx->recursion)) return top ? (int)SPF_NONE_BADDOMAIN : (int)SPF_PERMERROR;
  f->domain = domain;
  if (top && ctx->record) {
    if (!SpfRecordSyntaxOk(ctx->record)) return SPF_PERMERROR;
    *record = ctx->record;
    ctx->source = SPF_SOURCE_RECORD;
    return -1;
  }
  int rc = SpfGetRecord(domain, &f->copy);
  if (rc == -1) {
    *record = f->copy.c_str();
    if (top) ctx->source = SPF_SOURCE_RECORD;
    return -1;
  }
  if (!top) return rc;
  if (rc == SPF_TEMPERROR) return SPF_TEMPERROR;
  if (rc == SPF_PERMERROR) return SPF_NONE_LOOKUPFAILED;
  return PolicyRecord(ctx, domain, f, record);
}

// The verdict when no term decided: the redirect's, else Neutral (or Pass by
// the whitelist) at the top of an include chain, else still none (-1).
int NoTermDecided(SpfContext* ctx, const Frame& f) {
  if (f.redirect) {
    if (SpfEqualNoCase(f.redirect, ctx->domain) || SpfEqualNoCase(f.redirect, f.domain)) return SPF_PERMERROR;
    ctx->recursion += kSpfRedirectStep;
    int r = SpfEvaluate(ctx, f.redirect);
    return r == SPF_NONE ? SPF_PERMERROR : r;
  }
  if (IncludeDepth(ctx) != 0) return -1;
  return f.whitelist && WhitelistPasses(ctx) ? SPF_PASS : SPF_NEUTRAL;
}

}  // namespace

int SpfParseDualCidr(const char** cursor, bool ipv6) {
  const char* p = *cursor;
  int v4 = 32, v6 = 128;
  if (*p == '/' && p[1] != '/') {
    p++;
    if (!SpfIsDigit(*p)) return -1;
    unsigned n = ReadNumber(&p);
    if (n > 32) return -1;
    v4 = (int)n;
  }
  if (p[0] == '/' && p[1] == '/') {
    p += 2;
    if (!SpfIsDigit(*p)) return -1;
    unsigned n = ReadNumber(&p);
    if (n > 128) return -1;
    v6 = (int)n;
  }
  if (!TermEnds(*p)) return -1;
  *cursor = p;
  return ipv6 ? v6 : v4;
}

bool SpfValidDomain(const char* name, int32_t recursion) {
  if (!name || !*name) return false;
  const bool top = recursion == 0;
  bool hasdot = false;
  const char* label = name;
  int labels = 0;
  bool numeric = true;  // every label so far is a decimal number <= 255
  for (const char* p = name;; p++) {
    if (*p == '.' || *p == 0) {
      size_t len = (size_t)(p - label);
      if (len == 0) return false;  // leading dot, trailing dot or empty label
      if (top && (label[0] == '-' || p[-1] == '-')) return false;
      unsigned v = 0;
      bool num = len <= 10;
      for (const char* c = label; c < p && num; c++) {
        if (!SpfIsDigit(*c)) num = false;
        else v = v * 10 + (unsigned)(*c - '0');
      }
      if (!num || v > 255) numeric = false;
      labels++;
      if (*p == 0) break;
      hasdot = true;
      label = p + 1;
      continue;
    }
    char c = *p;
    if (top) {
      if (!SpfIsLetter(c) && !SpfIsDigit(c) && c != '-') return false;
    } else if ((unsigned char)c < '!' || (unsigned char)c > '~') {
      return false;
    }
  }
  if (!hasdot) return false;
  if (numeric && labels == 4) return false;
  return true;
}

bool SpfDomainHasOnlyAddress(const char* domain) {
  if (!domain || !SpfBind()) return false;
  dns::RecordList list;
  int rc = SpfDnsQuery(domain, dns::kTypeMX, &list);
  if (rc != SPF_NONE) return false;
  rc = SpfDnsQuery(domain, dns::kTypeA, &list);
  if (rc != -1) return false;
  for (const dns::Record& r : list) {
    if (r.type == dns::kTypeA && r.section == dns::Section::Answer && SpfIsPublicIPv4(r.addr)) return true;
  }
  return false;
}

int SpfEvaluate(SpfContext* ctx, const char* domain) {
  if (ctx->recursion >= kSpfMaxRecursion) return SPF_PERMERROR;
  Frame f;
  const char* record = nullptr;
  int rc = SelectRecord(ctx, domain, &f, &record);
  if (rc != -1) return rc;

  TermLoop(ctx, &f, record);
  if (f.result == -1) f.result = NoTermDecided(ctx, f);

  free(f.redirect);
  // The explanation domain is kept only for a Fail verdict.
  if (f.exp) {
    if (f.result == SPF_FAIL) {
      free(ctx->expdomain);
      ctx->expdomain = f.exp;
    } else {
      free(f.exp);
    }
  }
  return f.result == kSpfIncludeAllMiss ? -1 : f.result;
}
