// The SPF verdict of a connection: the only place where the analysis asks
// the SPF evaluator.
#include <cstring>

#include "analysis/checkconn.h"
#include "server/textbuf.h"
#include "spf/wrenspf.h"

void getspf(ConnectionRecord* r) {
  uint8_t addr[4];
  if (!SpfParseAddress(r->client_ip, SPF_FAMILY_IPV4, addr)) return;

  // "<user@example.org>", "user@example.org" and "<>" all reach the
  // evaluator as a bare address (the null sender as the empty text).
  char sender[kTextCap + 1] = "";
  if (r->mail_from[0]) {
    textcopy(sender, r->mail_from[0] == '<' ? r->mail_from + 1 : r->mail_from);
    textcut(sender, ">");
  }
  char helo[kTextCap + 1];
  textcopy(helo, r->helo);
  // The PTR name, or the reverse query name standing in for it.
  char clientname[kTextCap + 1];
  textcopy(clientname, r->ptr_name);

  int result = SpfCheckHost(SPF_FAMILY_IPV4, addr, sender, nullptr, helo, clientname, nullptr);
  textcopy(r->spf_result, SpfResultText(result));
}
