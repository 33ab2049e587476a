// The origin lookups on arbitrary TXT answers: getorigin over a resolver
// that answers the origin, AS description and SenderBase questions with
// records from the fuzzer input, then the three answer parsers on the raw
// bytes (as no DNS answer can deliver them: with control characters).
//
// Input: four bytes of client address, then records, each a byte whose low
// two bits pick the question (0 origin, 1 AS description, 2 SenderBase,
// 3 the SenderBase question fails), a byte with the number of strings and
// the strings as length byte and bytes.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "support.h"
#include "analysis/origin.h"
#include "dns/resolver.h"
#include "base/textbuf.h"

namespace {

class OriginResolver : public dns::Resolver {
 public:
  dns::RecordList answers[3];
  bool sbfails = false;
  int queries = 0;

  int Query(const char* name, uint16_t type, unsigned, dns::RecordList* out) override {
    queries++;
    out->clear();
    const std::string n(name);
    auto under = [&](const char* zone) {
      return n.size() > strlen(zone) && n.compare(n.size() - strlen(zone), std::string::npos, zone) == 0 &&
             n[n.size() - strlen(zone) - 1] == '.';
    };
    int which = under(settings.CYMRU_ORG) ? 0 : n.compare(0, 2, "as") == 0 && under(settings.CYMRU_ASN) ? 1
              : under(settings.SB_SUFFIX) ? 2 : -1;
    if (type != dns::kTypeTXT || which < 0) return dns::kStatusNameError;
    if (which == 2 && sbfails) return dns::kStatusServFail;
    *out = answers[which];
    return out->empty() ? dns::kStatusNoRecords : dns::kStatusOk;
  }
};

// Terminated fields within their caps; the prefix cut at the first blank.
void checkfields(const ConnectionRecord& r) {
  checkterminated(r);
  if (strlen(r.bgp_prefix) > 30 || strlen(r.country) > 10) __builtin_trap();
}

void freshrecord(ConnectionRecord* r, const uint8_t* ip) {
  memset(r, 0, sizeof *r);
  textformat(r->client_ip, sizeof r->client_ip, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
  textcopy(r->ip_network, "0.0.0.0/32");
  textcopy(r->bgp_prefix, "0.0.0.0/32");
  textcopy(r->country, "--");
  textcopy(r->owner, "unknown");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (quietsettings(), settings.QuerySenderBase = 1, true);
  if (size < 4 || !ready) return 0;
  const uint8_t *p = data + 4, *end = data + size;
  OriginResolver fake;
  std::string raw[3];  // the strings of each question, joined by '|' as the parsers get them
  while (end - p >= 2) {
    const int kind = p[0] & 3;
    const size_t count = p[1];
    p += 2;
    fake.sbfails |= kind == 3;
    if (kind == 3) continue;
    dns::Record rec;
    rec.type = dns::kTypeTXT;
    rec.section = dns::Section::Answer;
    for (size_t i = 0; i < count && p < end; i++) {
      const size_t len = std::min((size_t)*p++, (size_t)(end - p));
      rec.strings.emplace_back(reinterpret_cast<const char*>(p), len);
      p += len;
      raw[kind] += '|' + rec.strings.back();
    }
    fake.answers[kind].push_back(std::move(rec));
  }

  ConnectionRecord r;
  freshrecord(&r, data);
  dns::setresolver(&fake);
  getorigin(&r, ClientAddress(r.client_ip));
  dns::setresolver(nullptr);
  checkfields(r);
  // Text that reached the record through DNS is free of control characters
  // (they would break the connection line).
  for (const char* f : {r.ip_network, r.bgp_prefix, r.country, r.owner, r.sb_item50, r.sb_item54, r.sb_item55})
    for (const char* c = f; *c; c++)
      if ((unsigned char)*c < 0x20 || *c == 0x7F) __builtin_trap();
  // "a.b.c.d/n", where SenderBase's n comes as it is; at most the three questions.
  unsigned a, b, c, d;
  int bits;
  if (sscanf(r.ip_network, "%u.%u.%u.%u/%d", &a, &b, &c, &d, &bits) != 5 || (a | b | c | d) > 255 ||
      strchr(r.bgp_prefix, ' ') || fake.queries > 3)
    __builtin_trap();

  for (int kind = 0; kind < 3; kind++) {
    freshrecord(&r, data);
    ClientAddress addr(r.client_ip);
    if (kind == 0) parseorigin(&r, addr, raw[0].c_str() + !raw[0].empty());  // the first string starts the text
    if (kind == 1) (void)parseasowner(&r, raw[1].c_str() + !raw[1].empty());
    if (kind == 2) parsesenderbase(&r, addr, raw[2].c_str());
    checkfields(r);
  }
  return 0;
}
