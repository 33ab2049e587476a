// Macro expansion of SPF domain-specs, modifier values and explanations.
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/text.h"
#include "spf/spf_internal.h"
#include "spf/wrenspf.h"

namespace {

// Domain results live in 256-byte buffers: at most 255 characters and a NUL.
constexpr size_t kDomainBuf = 256;
constexpr size_t kMaxLocalPart = 256;
constexpr size_t kMaxSender = 256;
// Counts beyond any possible number of parts all mean "every part".
constexpr unsigned kMaxPartCount = 1000;

// Writes characters while they fit, skipping the first `skip`, and counts
// the full length.
struct Sink {
  char* buf = nullptr;
  size_t cap = 0;
  size_t skip = 0;
  size_t total = 0;
  void put(char c) {
    if (total >= skip && total - skip < cap) buf[total - skip] = c;
    total++;
  }
  void puts(const char* s) {
    while (*s) put(*s++);
  }
};

// Value of a macro letter. Returns false when the letter is not allowed.
bool LetterValue(SpfContext* ctx, char letter, const char* curdomain, bool domainmode, std::string* v) {
  char buf[kSpfAddrTextSize];
  switch (letter) {
    case 'c':
      if (domainmode) return false;
      SpfFormatAddress(ctx->ipv6 != 0, ctx->addr, buf, false);
      v->assign(buf);
      return true;
    case 'd':
      v->assign(curdomain ? curdomain : "");
      return true;
    case 'h':
      v->assign(ctx->helo && *ctx->helo ? ctx->helo : "unknown");
      return true;
    case 'i':
      SpfFormatAddress(ctx->ipv6 != 0, ctx->addr, buf, true);
      v->assign(buf);
      return true;
    case 'l':
      if (ctx->localpart && *ctx->localpart) v->assign(ctx->localpart, strnlen(ctx->localpart, kMaxLocalPart));
      else v->assign("postmaster");
      return true;
    case 'o':
      v->assign(ctx->domain ? ctx->domain : "");
      return true;
    case 'p':
      if (ctx->clientname && *ctx->clientname) {
        v->assign(ctx->clientname);
        return true;
      }
      if (!ctx->pknown) {
        SpfLookupValidatedName(ctx->ipv6 != 0, ctx->addr, ctx->pname, sizeof ctx->pname, ctx->domain,
                               kSpfTierAny | kSpfTierUnder | kSpfTierEqual | kSpfLimitConfirm);
        ctx->pknown = true;
      }
      v->assign(ctx->pname);
      return true;
    case 'r':
      if (domainmode) return false;
      v->assign(g_spf.localhost && *g_spf.localhost ? g_spf.localhost : "unknown");
      return true;
    case 's':
      if (ctx->localpart && *ctx->localpart) v->assign(ctx->localpart);
      else v->assign("postmaster");
      v->push_back('@');
      v->append(ctx->domain ? ctx->domain : "");
      if (v->size() > kMaxSender) v->resize(kMaxSender);
      return true;
    case 't': {
      if (domainmode) return false;
      char num[24];
      SpfFormatI64(ctx->checktime, num);
      v->assign(num);
      return true;
    }
    case 'v':
      v->assign(ctx->ipv6 ? "ip6" : "in-addr");
      return true;
    default:
      return false;
  }
}

void PutEscaped(Sink* s, char c, bool url) {
  if (url && !SpfIsUnreserved(c)) {
    unsigned char u = (unsigned char)c;
    s->put('%');
    s->put(kHexDigits[u >> 4]);
    s->put(kHexDigits[u & 15]);
  } else {
    s->put(c);
  }
}

// Splits the value at the delimiters, keeps and orders the parts and writes
// them joined with '.'.
void PutTransformed(Sink* s, const std::string& v, unsigned count, bool reverse, const bool* delim,
                    bool url) {
  std::vector<std::pair<size_t, size_t>> parts;  // start, length
  size_t start = 0;
  for (size_t i = 0; i <= v.size(); i++) {
    unsigned char c = i < v.size() ? (unsigned char)v[i] : 0;
    if (i == v.size() || (c < 128 && delim[c])) {
      parts.emplace_back(start, i - start);
      start = i + 1;
    }
  }
  size_t n = parts.size();
  size_t keep = (count == 0 || count > n) ? n : count;
  auto putpart = [&](size_t k, bool first) {
    if (!first) s->put('.');
    for (size_t j = 0; j < parts[k].second; j++) PutEscaped(s, v[parts[k].first + j], url);
  };
  if (!reverse) {
    for (size_t k = n - keep; k < n; k++) putpart(k, k == n - keep);
  } else {
    // The reversed list's rightmost parts are the value's leftmost, last first.
    for (size_t k = keep; k-- > 0;) putpart(k, k == keep - 1);
  }
}

bool Printable(char c) { return (unsigned char)c >= 32 && (unsigned char)c <= 126; }

int Scan(SpfContext* ctx, const char* begin, const char* end, const char* curdomain, bool domainmode,
         Sink* s) {
  std::string value;
  const char* p = begin;
  while (p < end) {
    char c = *p;
    if (!Printable(c)) return SPF_PERMERROR;
    if (c != '%' || p + 1 >= end) {
      s->put(c);
      p++;
      continue;
    }
    char n = p[1];
    if (!Printable(n)) return SPF_PERMERROR;
    p += 2;
    switch (n) {
      case '%': s->put('%'); continue;
      case '_': s->put(' '); continue;
      case '-': s->puts("%20"); continue;
      case '/': s->put('/'); continue;
      case '{': break;
      default:
        s->put('%');
        s->put(n);
        continue;
    }
    // "%{" letter [digits] ['r'] [delimiters] "}"
    if (p >= end) return SPF_PERMERROR;
    char letter = *p++;
    bool url = false;
    if (letter >= 'A' && letter <= 'Z') {
      url = true;
      letter = SpfToLower(letter);
    } else if (!(letter >= 'a' && letter <= 'z')) {
      return SPF_PERMERROR;
    }
    unsigned count = 0;
    while (p < end && SpfIsDigit(*p)) {
      count = count * 10 + (unsigned)(*p - '0');
      if (count > kMaxPartCount) count = kMaxPartCount;
      p++;
    }
    bool reverse = false;
    if (p < end && *p == 'r') {
      reverse = true;
      p++;
    }
    bool delim[128] = {};
    bool anydelim = false;
    while (p < end && SpfIsMacroDelimiter(*p)) {
      delim[(unsigned char)*p] = true;
      anydelim = true;
      p++;
    }
    if (!anydelim) delim[(unsigned char)'.'] = true;
    if (p >= end || *p != '}') return SPF_PERMERROR;
    p++;
    if (!LetterValue(ctx, letter, curdomain, domainmode, &value)) return SPF_PERMERROR;
    PutTransformed(s, value, count, reverse, delim, url);
  }
  return -1;
}

// Cuts a 256-character domain from the left so that it starts at a label:
// after a leading '.', else after the first '.', else after one character.
void CutLeft(char* buf) {
  size_t start = 1;
  if (buf[0] != '.') {
    const void* dot = memchr(buf, '.', kDomainBuf);
    if (dot) start = (size_t)((const char*)dot - buf) + 1;
  }
  memmove(buf, buf + start, kDomainBuf - start);
  buf[kDomainBuf - start] = 0;
}

void DropTrailingDot(char* buf, size_t len) {
  if (len && buf[len - 1] == '.') buf[len - 1] = 0;
}

// Expands into a 256-byte buffer keeping the last 256 characters when the
// result is longer.
int ExpandDomainInto(SpfContext* ctx, const char* begin, const char* end, const char* curdomain, char* buf,
                     bool domainmode) {
  Sink s;
  s.buf = buf;
  s.cap = kDomainBuf;
  int rc = Scan(ctx, begin, end, curdomain, domainmode, &s);
  if (rc != -1) return rc;
  if (s.total < kDomainBuf) {
    buf[s.total] = 0;
    if (domainmode) DropTrailingDot(buf, s.total);
    return -1;
  }
  Sink tail;
  tail.buf = buf;
  tail.cap = kDomainBuf;
  tail.skip = s.total - kDomainBuf;
  rc = Scan(ctx, begin, end, curdomain, domainmode, &tail);
  if (rc != -1) return rc;
  CutLeft(buf);
  return -1;
}

}  // namespace

int SpfExpandMacros(SpfContext* ctx, const char* begin, const char* end, const char* curdomain,
                    char** out, int domainmode) {
  if (*out) return ExpandDomainInto(ctx, begin, end, curdomain, *out, domainmode != 0);
  Sink measure;
  int rc = Scan(ctx, begin, end, curdomain, domainmode != 0, &measure);
  if (rc != -1) return rc;
  char* buf;
  if (domainmode && measure.total >= kDomainBuf) {
    buf = (char*)malloc(kDomainBuf);
    if (!buf) return SPF_TEMPERROR;
    rc = ExpandDomainInto(ctx, begin, end, curdomain, buf, true);
  } else {
    buf = (char*)malloc(measure.total + 1);
    if (!buf) return SPF_TEMPERROR;
    Sink s;
    s.buf = buf;
    s.cap = measure.total;
    rc = Scan(ctx, begin, end, curdomain, domainmode != 0, &s);
    buf[measure.total] = 0;
    if (domainmode) DropTrailingDot(buf, measure.total);
  }
  if (rc != -1) {
    free(buf);
    return rc;
  }
  *out = buf;
  return -1;
}
