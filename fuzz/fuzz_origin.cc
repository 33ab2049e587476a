// The origin lookups on arbitrary TXT answers: getorigin over a resolver
// that answers the origin, AS description and SenderBase questions with
// records from the fuzzer input, then the three answer parsers on the raw
// bytes (as no DNS answer can deliver them: with control characters).
//
// Input: four bytes of client address, then records, each a byte whose low
// two bits pick the question (0 origin, 1 AS description, 2 SenderBase,
// 3 the SenderBase question fails), a byte with the number of strings and
// the strings as length byte and bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support.h"
#include "analysis/origin.h"
#include "dns/resolver.h"
#include "base/textbuf.h"

namespace {

bool endswith(const std::string& s, const char* tail) {
  size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

class OriginResolver : public dns::Resolver {
 public:
  dns::RecordList answers[3];
  bool sbfails = false;
  int queries = 0;

  int Query(const char* name, uint16_t type, unsigned, dns::RecordList* out) override {
    queries++;
    out->clear();
    if (type != dns::kTypeTXT) return dns::kStatusNameError;
    std::string n(name);
    int which = -1;
    if (endswith(n, std::string(".").append(settings.CYMRU_ORG).c_str())) which = 0;
    else if (n.compare(0, 2, "as") == 0 && endswith(n, std::string(".").append(settings.CYMRU_ASN).c_str())) which = 1;
    else if (endswith(n, std::string(".").append(settings.SB_SUFFIX).c_str())) which = 2;
    if (which < 0) return dns::kStatusNameError;
    if (which == 2 && sbfails) return dns::kStatusServFail;
    if (answers[which].empty()) return dns::kStatusNoRecords;
    *out = answers[which];
    return dns::kStatusOk;
  }
};

// Text that reached the record through the DNS helper is free of control
// characters: they would break the connection-log line.
template <size_t N>
void checkclean(const char (&field)[N]) {
  size_t n = checktext(field);
  for (size_t i = 0; i < n; i++) {
    unsigned char c = (unsigned char)field[i];
    if (c < 0x20 || c == 0x7F) __builtin_trap();
  }
}

// "a.b.c.d/n". SenderBase's prefix length is taken as it comes (the mask's
// shift count modulo 32), so n is any number.
void checknetwork(const char* net) {
  unsigned a, b, c, d;
  int bits;
  char tail;
  if (sscanf(net, "%u.%u.%u.%u/%d%c", &a, &b, &c, &d, &bits, &tail) != 5) __builtin_trap();
  if (a > 255 || b > 255 || c > 255 || d > 255) __builtin_trap();
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
  static bool ready = false;
  if (!ready) {
    quietsettings();
    settings.QuerySenderBase = 1;
    ready = true;
  }
  if (size < 4) return 0;
  const uint8_t* ip = data;
  const uint8_t* p = data + 4;
  const uint8_t* end = data + size;

  OriginResolver fake;
  std::string raw[3];  // the strings of each question, joined by '|' as the parsers get them
  while (end - p >= 2) {
    int kind = p[0] & 3;
    size_t count = p[1];
    p += 2;
    if (kind == 3) {
      fake.sbfails = true;
      continue;
    }
    dns::Record rec;
    rec.type = dns::kTypeTXT;
    rec.section = dns::Section::Answer;
    for (size_t i = 0; i < count && p < end; i++) {
      size_t len = *p++;
      if (len > (size_t)(end - p)) len = (size_t)(end - p);
      rec.strings.emplace_back(reinterpret_cast<const char*>(p), len);
      p += len;
      raw[kind] += '|';
      raw[kind] += rec.strings.back();
    }
    fake.answers[kind].push_back(std::move(rec));
  }

  ConnectionRecord r;
  freshrecord(&r, ip);
  dns::setresolver(&fake);
  getorigin(&r, ClientAddress(r.client_ip));
  dns::setresolver(nullptr);
  checkterminated(r);
  checkclean(r.ip_network);
  checkclean(r.bgp_prefix);
  checkclean(r.country);
  checkclean(r.owner);
  checkclean(r.sb_item50);
  checkclean(r.sb_item54);
  checkclean(r.sb_item55);
  checknetwork(r.ip_network);
  // Fields cut at their caps and at the first blank.
  if (strlen(r.bgp_prefix) > 30 || strlen(r.country) > 10 || strchr(r.bgp_prefix, ' ')) __builtin_trap();
  // At most the three questions.
  if (fake.queries > 3) __builtin_trap();

  // The parsers on the raw text: terminated fields within their caps.
  for (int kind = 0; kind < 3; kind++) {
    freshrecord(&r, ip);
    const char* text = raw[kind].c_str();
    if (!raw[kind].empty()) text++;  // the first string starts the text
    if (kind == 0) parseorigin(&r, ClientAddress(r.client_ip), text);
    if (kind == 1) (void)parseasowner(&r, text);
    if (kind == 2) parsesenderbase(&r, ClientAddress(r.client_ip), raw[kind].c_str());
    checkterminated(r);
    if (strlen(r.bgp_prefix) > 30 || strlen(r.country) > 10) __builtin_trap();
  }
  return 0;
}
