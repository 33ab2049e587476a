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
  std::string copy;
};

// Evaluates the whitelist record for the client; true when it passes.
bool WhitelistPasses(SpfContext* ctx) {
  if (!g_spf.whitelist) return false;
  ctx->recursion += kSpfIncludeStep;
  int r = SpfEvaluate(ctx, nullptr);
  ctx->recursion -= 1;
  return r == SPF_PASS;
}

bool CountDnsTerm(SpfContext* ctx) { return ++ctx->dnsterms <= kSpfMaxDnsTerms; }

// A term's lookup found nothing: -1 (no match), or PermError past the limit.
int VoidLookup(SpfContext* ctx) { return ++ctx->voids <= kSpfMaxVoidLookups ? -1 : (int)SPF_PERMERROR; }

int MechA(SpfContext* ctx, const char** p, int eq, const char* curdomain) {
  char target[kDomainBuf];
  int rc = ParseDomainSpec(ctx, p, eq, curdomain, target);
  if (rc != -1) return rc;
  int bits = SpfParseDualCidr(p, ctx->ipv6 != 0);
  if (bits < 0) return SPF_PERMERROR;
  if (eq == -1) return -1;
  int m = SpfMatchHostAddresses(nullptr, target, ctx->ipv6 != 0, ctx->addr, bits);
  if (m == 0) return eq;
  if (m == SPF_TEMPERROR) return SPF_TEMPERROR;
  if (m == SPF_NONE || m == SPF_PERMERROR) return VoidLookup(ctx);
  return -1;
}

int MechMx(SpfContext* ctx, const char** p, int eq, const char* curdomain) {
  char target[kDomainBuf];
  int rc = ParseDomainSpec(ctx, p, eq, curdomain, target);
  if (rc != -1) return rc;
  int bits = SpfParseDualCidr(p, ctx->ipv6 != 0);
  if (bits < 0) return SPF_PERMERROR;
  if (eq == -1) return -1;
  std::vector<std::string> hosts;
  dns::RecordList list;
  int n = SpfGetMxNames(target, &hosts, &list);
  if (n == -SPF_TEMPERROR) return SPF_TEMPERROR;
  if (n == -SPF_NONE || n == -SPF_PERMERROR) return VoidLookup(ctx);
  if (n < 0) return -1;
  int tried = 0;
  for (const std::string& host : hosts) {
    if (++tried > kSpfMaxMxHosts) return SPF_PERMERROR;
    int m = SpfMatchHostAddresses(&list, host.c_str(), ctx->ipv6 != 0, ctx->addr, bits);
    if (m == 0) return eq;
    if (m == SPF_TEMPERROR) return SPF_TEMPERROR;
    if (m > 0) return -1;  // a host without addresses ends the mechanism
  }
  return -1;
}

int MechPtr(SpfContext* ctx, const char** p, int eq, const char* curdomain) {
  char target[kDomainBuf];
  int rc = ParseDomainSpec(ctx, p, eq, curdomain, target);
  if (rc != -1) return rc;
  if (!TermEnds(**p)) return SPF_PERMERROR;
  if (eq == -1) return -1;
  if (ctx->clientname && *ctx->clientname && SpfDomainSuffixMatch(ctx->clientname, target)) return eq;
  int v = SpfLookupValidatedName(ctx->ipv6 != 0, ctx->addr, nullptr, 0, target, kSpfTierUnder | kSpfLimitConfirm);
  return v == 0 ? eq : -1;
}

int MechIp(SpfContext* ctx, const char** cursor, int eq, bool v6mech) {
  const char* p = *cursor;
  if (*p != ':') return SPF_PERMERROR;
  p++;
  uint8_t net[16] = {};
  p = v6mech ? SpfParseIPv6(p, net, '/') : SpfParseIPv4(p, net, '/');
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
  if (!TermEnds(*p)) return SPF_PERMERROR;
  if (eq == -1) return -1;
  if (!v6mech) return (!ctx->ipv6 && SpfPrefixMatch(ctx->addr, net, (int)bits)) ? eq : -1;
  static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (bits >= 96 && memcmp(net, kMapped, 12) == 0) {
    return (!ctx->ipv6 && SpfPrefixMatch(ctx->addr, net + 12, (int)bits - 96)) ? eq : -1;
  }
  return (ctx->ipv6 && SpfPrefixMatch(ctx->addr, net, (int)bits)) ? eq : -1;
}

int MechExists(SpfContext* ctx, const char** p, int eq, const char* curdomain) {
  char target[kDomainBuf];
  int rc = ParseDomainSpec(ctx, p, eq, curdomain, target);
  if (rc != -1) return rc;
  if (!TermEnds(**p)) return SPF_PERMERROR;
  if (eq == -1) return -1;
  dns::RecordList list;
  int q = SpfDnsQuery(target, dns::kTypeA, &list);
  if (q == SPF_TEMPERROR) return SPF_TEMPERROR;
  if (q == SPF_NONE || q == SPF_PERMERROR) return VoidLookup(ctx);
  if (q != -1) return -1;
  for (const dns::Record& r : list) {
    if (r.type == dns::kTypeA && r.section == dns::Section::Answer) return eq;
  }
  return -1;
}

int MechInclude(SpfContext* ctx, const char** p, int eq, const char* curdomain) {
  if (**p != ':') return SPF_PERMERROR;
  char target[kDomainBuf];
  int rc = ParseDomainSpec(ctx, p, eq, curdomain, target);
  if (rc != -1) return rc;
  if (!TermEnds(**p)) return SPF_PERMERROR;
  if (eq == -1) return -1;
  if (SpfEqualNoCase(target, ctx->domain) || SpfEqualNoCase(target, curdomain)) return SPF_PERMERROR;
  ctx->recursion += kSpfIncludeStep;
  int r = SpfEvaluate(ctx, target);
  ctx->recursion -= 1;
  switch (r) {
    case SPF_PASS: return eq;
    case SPF_NONE: return SPF_PERMERROR;
    case SPF_TEMPERROR:
    case SPF_PERMERROR: return r;
    default: return -1;
  }
}

// Expands a modifier value into a new heap text (*out). -1 or 5/6.
int ExpandModifier(SpfContext* ctx, const char* begin, const char* end, const char* curdomain, char** out) {
  free(*out);
  *out = nullptr;
  if (begin == end) return -1;
  return SpfExpandMacros(ctx, begin, end, curdomain, out, 1);
}

// Walks the terms of `record` (just after "v=spf1") and sets f->result.
void TermLoop(SpfContext* ctx, Frame* f, const char* record) {
  const char* p = record + 6;
  bool redirectseen = false;
  for (;;) {
    while (*p == ' ') p++;
    if (!*p) break;
    int q = kNoQualifier;
    switch (*p) {
      case '+': q = SPF_PASS; break;
      case '-': q = SPF_FAIL; break;
      case '?': q = SPF_NEUTRAL; break;
      case '~': q = SPF_SOFTFAIL; break;
    }
    if (q != kNoQualifier) p++;
    const char* name = p;
    if (SpfIsLetter(*p)) {
      while (SpfIsNameChar(*p)) p++;
    }
    size_t nlen = (size_t)(p - name);

    if (*p == '=') {
      if (q != kNoQualifier) {
        f->result = SPF_PERMERROR;
        break;
      }
      const char* value = ++p;
      while (!TermEnds(*p)) p++;
      int rc = -1;
      if (NameIs(name, nlen, "redirect")) {
        if (redirectseen) {
          f->result = SPF_PERMERROR;
          break;
        }
        redirectseen = true;
        rc = ExpandModifier(ctx, value, p, f->domain, &f->redirect);
      } else if (NameIs(name, nlen, "exp") && IncludeDepth(ctx) == 0 && ctx->explanation) {
        rc = ExpandModifier(ctx, value, p, f->domain, &f->exp);
      }
      if (rc != -1) {
        f->result = rc;
        break;
      }
      continue;
    }

    if (*p != ':' && *p != '/' && !TermEnds(*p)) {
      f->result = SPF_PERMERROR;
      break;
    }
    int eq = f->result == -1 ? (q == kNoQualifier ? SPF_PASS : q) : -1;

    if (NameIs(name, nlen, "all")) {
      if (!TermEnds(*p)) {
        f->result = SPF_PERMERROR;
        break;
      }
      if (eq == -1) continue;
      if (eq == SPF_PASS) {
        f->result = SPF_PASS;
      } else if (IncludeDepth(ctx) != 0) {
        f->result = kSpfIncludeAllMiss;
      } else if (f->whitelist && g_spf.whitelist && WhitelistPasses(ctx)) {
        f->result = SPF_PASS;
      } else {
        f->result = f->whitelist == 2 ? SPF_NONE : eq;
      }
      continue;
    }

    if (eq == SPF_PASS) f->whitelist = 1;
    int rc;
    if (NameIs(name, nlen, "a")) {
      rc = CountDnsTerm(ctx) ? MechA(ctx, &p, eq, f->domain) : SPF_PERMERROR;
    } else if (NameIs(name, nlen, "mx")) {
      rc = CountDnsTerm(ctx) ? MechMx(ctx, &p, eq, f->domain) : SPF_PERMERROR;
    } else if (NameIs(name, nlen, "ptr")) {
      rc = CountDnsTerm(ctx) ? MechPtr(ctx, &p, eq, f->domain) : SPF_PERMERROR;
    } else if (NameIs(name, nlen, "exists")) {
      rc = CountDnsTerm(ctx) ? MechExists(ctx, &p, eq, f->domain) : SPF_PERMERROR;
    } else if (NameIs(name, nlen, "include")) {
      rc = CountDnsTerm(ctx) ? MechInclude(ctx, &p, eq, f->domain) : SPF_PERMERROR;
    } else if (NameIs(name, nlen, "ip4")) {
      rc = MechIp(ctx, &p, eq, false);
    } else if (NameIs(name, nlen, "ip6")) {
      rc = MechIp(ctx, &p, eq, true);
    } else {
      if (f->result == -1) {
        f->result = SPF_PERMERROR;
        break;
      }
      while (!TermEnds(*p)) p++;
      continue;
    }
    if (rc == SPF_TEMPERROR || rc == SPF_PERMERROR) {
      f->result = rc;
      break;
    }
    if (rc >= 0 && f->result == -1) f->result = rc;
    // The mechanism parsers stop at the end of their term.
    while (!TermEnds(*p)) p++;
  }
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
  const bool top = ctx->recursion == 0;
  Frame f;
  const char* record = nullptr;
  if (!domain) {
    if (!g_spf.whitelist) return SPF_NONE;
    record = g_spf.whitelist;
    f.domain = ctx->domain;
  } else {
    if (!SpfValidDomain(domain, ctx->recursion)) return top ? (int)SPF_NONE_BADDOMAIN : (int)SPF_PERMERROR;
    f.domain = domain;
    if (top && ctx->record) {
      if (!SpfRecordSyntaxOk(ctx->record)) return SPF_PERMERROR;
      record = ctx->record;
    } else {
      int rc = SpfGetRecord(domain, &f.copy);
      if (rc == -1) {
        record = f.copy.c_str();
      } else if (!top) {
        return rc;
      } else if (rc == SPF_TEMPERROR) {
        return SPF_TEMPERROR;
      } else if (rc == SPF_PERMERROR) {
        return SPF_NONE_LOOKUPFAILED;
      } else {
        char key[256];
        size_t keylen = SpfCacheKey(domain, key);
        if (SpfCacheLookup(key, keylen, ctx->checktime, &f.copy) && SpfRecordSyntaxOk(f.copy.c_str())) {
          record = f.copy.c_str();
        } else if (g_spf.fallback && !ctx->heloused && SpfDomainHasOnlyAddress(domain)) {
          record = g_spf.fallback;
        } else if (g_spf.bestguess) {
          record = g_spf.bestguess;
        } else if (g_spf.whitelist) {
          record = kWhitelistOnlyRecord;
          f.whitelist = 2;
        } else {
          return SPF_NONE;
        }
      }
    }
  }

  TermLoop(ctx, &f, record);

  if (f.result == -1) {
    if (f.redirect) {
      if (SpfEqualNoCase(f.redirect, ctx->domain) || SpfEqualNoCase(f.redirect, f.domain)) {
        f.result = SPF_PERMERROR;
      } else {
        ctx->recursion += kSpfRedirectStep;
        int r = SpfEvaluate(ctx, f.redirect);
        f.result = r == SPF_NONE ? SPF_PERMERROR : r;
      }
    } else if (IncludeDepth(ctx) == 0) {
      f.result = SPF_NEUTRAL;
      if (f.whitelist && WhitelistPasses(ctx)) f.result = SPF_PASS;
    }
  }

  free(f.redirect);
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
