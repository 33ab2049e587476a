#include "analysis/helo.h"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "analysis/dnsquery.h"
#include "analysis/lists.h"
#include "analysis/recordmemo.h"
#include "platform/net.h"
#include "dns/resolver.h"
#include "common/settings.h"
#include "base/textbuf.h"

namespace {

const char kAllowed[] = "0123456789.-abcdefghijklmnopqrstuvwxyz_";

int classify(ConnectionRecord* r, int code, const char* label) {
  textcopy(r->list_tag, "HL");
  textcopy(r->list_detail, label);
  return code;
}

}  // namespace

int checkhelo(ConnectionRecord* r, int local) {
  if (r->helo[0] == '\0') return classify(r, 1, "no-helo");

  char name[kTextCap + 1];
  textcopy(name, r->helo[0] == '[' ? r->helo + 1 : r->helo);
  textcut(name, "]");
  if (name[0] == '\0') return classify(r, 2, "bad-helo");

  for (char* p = name; *p; p++) *p = (char)tolower((unsigned char)*p);
  if (name[strspn(name, kAllowed)] != '\0') return classify(r, 3, "bad-helo-chars");
  if (name[0] == '-' || name[0] == '.') return classify(r, 4, "bad-helo-format");
  if (strchr(name, '.') == nullptr) return classify(r, 5, "not-fqdn-helo");
  if (strstr(name, "..") != nullptr) return classify(r, 6, "bad-helo-format");
  if (plat::isipaddr(name)) return classify(r, 7, "ip-in-helo");
  if (strncasecmp(name, "localhost", 9) == 0) return classify(r, 8, "spoofed-helo");
  if (strncasecmp(name, r->ptr_name, strlen(name)) != 0) return classify(r, 9, "helo-ptr-mismatch");

  // Private and unparsable clients get no DNS test of their HELO.
  if (local) return 0;

  // The zone walks of the HELO and reverse names and the HELO address, then
  // the URI list questions of both registered names, each group in flight
  // together.
  std::vector<Question> walk;
  for (const char* n : {(const char*)name, (const char*)r->ptr_name})
    for (const std::string& c : zonecandidates(n)) walk.emplace_back(c, dns::kTypeNS);
  walk.emplace_back(name, dns::kTypeA);
  prefetch(walk);

  char zone[kTextCap + 2];
  if (!findzone(name, zone, sizeof zone)) return classify(r, 10, "non-existing-domain");
  char addr[kTextCap + 1];
  if (!NSquery(addr, sizeof addr, name, dns::kTypeA, 0)) return classify(r, 11, "unresolvable-helo");

  if (prefetching()) {
    std::vector<Question> uri;
    for (const ListFile& f : kListFiles)
      if (f.bydomain)
        for (const char* n : {(const char*)name, (const char*)r->ptr_name}) listquestions(n, *f.head, &uri);
    prefetch(uri);
  }

  // White before black, the HELO name before the reverse name; with JSON
  // lines on, the pairs behind the decision are still asked for the record.
  int hit = 0;
  for (const ListEntry* list : {uriwl, uribl}) {
    for (const char* n : {(const char*)name, (const char*)r->ptr_name}) {
      if (!hit)
        hit = checklist(r, n, list, list == uriwl ? "WU" : "BU");
      else if (settings.JsonLines == 1)
        listhits(r, n, list, list == uriwl ? kListUriWhite : kListUriBlack);
    }
  }
  return hit;
}
