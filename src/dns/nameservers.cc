#include "dns/nameservers.h"

#include <cstring>
#include <string>
#include <string_view>

#include "base/ipv4.h"
#include "base/text.h"

namespace dns {

namespace {

constexpr size_t kMaxPortDigits = 5;

// One item of a NameServer list, without blanks.
bool parseserver(const char* item, NameServer* s) {
  const char* p = readipv4(item, s->addr);
  if (p == nullptr) return false;
  s->port = kDnsPort;
  if (*p == '\0') return true;
  if (*p++ != ':') return false;
  size_t digits = strlen(p);
  if (digits == 0 || digits > kMaxPortDigits || strspn(p, "0123456789") != digits) return false;
  uint64_t port = readnumber(p, false).magnitude;
  if (port == 0 || port > 65535) return false;
  s->port = (uint16_t)port;
  return true;
}

}  // namespace

int parsenameservers(const char* list, NameServer* out, size_t max) {
  size_t taken = 0;
  std::string_view rest(list ? list : "");
  for (bool more = true; more;) {
    size_t comma = rest.find(',');
    more = comma != std::string_view::npos;
    std::string item(trimblanks(rest.substr(0, comma)));
    if (more) rest.remove_prefix(comma + 1);
    if (item.empty()) continue;
    NameServer s;
    if (!parseserver(item.c_str(), &s)) return -1;
    if (taken < max) out[taken++] = s;
  }
  return (int)taken;
}

int setnameservers(const char* list) {
  NameServer servers[kMaxNameServers];
  int count = parsenameservers(list, servers, kMaxNameServers);
  if (count < 0) return 0;
  return plat::dnsservers(servers, (size_t)count);
}

}  // namespace dns
