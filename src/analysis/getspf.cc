#include "analysis/getspf.h"

#include <cstring>

#include "analysis/dnsquery.h"
#include "dns/resolver.h"
#include "base/textbuf.h"
#include "spf/wrenspf.h"

namespace {

// The client's PTR name counts as its host name only when one of the name's
// A records is the client's address; anyone can publish any PTR name for
// addresses of their own. Returns 1 when `name` is forward-confirmed.
int confirmedname(const char* name, const char* client_ip) {
  if (name[0] == '\0') return 0;
  size_t len = strlen(name);
  constexpr char kReverseZone[] = ".in-addr.arpa.";
  // The reverse query name stands in where no PTR name was found.
  size_t zonelen = sizeof kReverseZone - 1;
  if (len >= zonelen && strcmp(name + len - zonelen, kReverseZone) == 0) return 0;
  char addrs[kTextCap + 1];
  if (!NSquery(addrs, sizeof addrs, name, dns::kTypeA, 1)) return 0;
  // "|a.b.c.d|e.f.g.h": whole fields only.
  char* save = nullptr;
  for (char* f = strtok_r(addrs, "|", &save); f != nullptr; f = strtok_r(nullptr, "|", &save))
    if (strcmp(f, client_ip) == 0) return 1;
  return 0;
}

// "<user@example.org>", "user@example.org" and "<>" all reach the
// evaluator as a bare address (the null sender as the empty text).
void baresender(const ConnectionRecord* r, char (&sender)[kTextCap + 1]) {
  sender[0] = '\0';
  if (r->mail_from[0]) {
    textcopy(sender, r->mail_from[0] == '<' ? r->mail_from + 1 : r->mail_from);
    textcut(sender, ">");
  }
}

}  // namespace

void spfquestions(const ConnectionRecord* r, std::vector<Question>* out) {
  char sender[kTextCap + 1];
  baresender(r, sender);
  char domain[256];
  if (SpfFirstDomain(sender, r->helo, domain, sizeof domain)[0] != '\0')
    out->emplace_back(domain, dns::kTypeTXT);
}

void getspf(ConnectionRecord* r, const ClientAddress& c) {
  if (!c.valid) return;

  char sender[kTextCap + 1];
  baresender(r, sender);
  char helo[kTextCap + 1];
  textcopy(helo, r->helo);
  // Without a confirmed name the evaluator validates names itself where a
  // policy asks ("ptr", "%{p}").
  r->ptr_confirmed = confirmedname(r->ptr_name, r->client_ip);
  const char* clientname = r->ptr_confirmed ? r->ptr_name : nullptr;

  SpfCheckDetail detail;
  int result = SpfCheckHostDetail(SPF_FAMILY_IPV4, c.bytes, sender, helo, clientname, &detail);
  textcopy(r->spf_result, SpfResultText(result));
  r->spf_helo = detail.helo;
  r->spf_source = (SpfSource)detail.source;
  textcopy(r->spf_domain, detail.domain);
}
