#include "analysis/origin.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/dnsquery.h"
#include "dns/resolver.h"
#include "common/log.h"
#include "common/settings.h"
#include "base/ipv4.h"
#include "base/text.h"
#include "base/textbuf.h"

namespace {

constexpr size_t kOriginAnswerSize = 3071 + 1;
constexpr size_t kSenderBaseAnswerSize = 4095 + 1;
constexpr size_t kBgpPrefixCap = 30;
constexpr size_t kCountryCap = 10;
constexpr size_t kSbItemCap = 30;

// Splits text at "|", keeping empty fields.
std::vector<std::string_view> splitbars(const char* text) {
  std::vector<std::string_view> fields;
  std::string_view rest(text);
  while (true) {
    size_t bar = rest.find('|');
    fields.push_back(rest.substr(0, bar));
    if (bar == std::string_view::npos) break;
    rest.remove_prefix(bar + 1);
  }
  return fields;
}

std::string_view skipspaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  return s;
}

// Copies at most cap characters of field into dst, then cuts at a blank. An
// empty field leaves dst (its placeholder) as it is.
template <size_t N>
void takeword(char (&dst)[N], std::string_view field, size_t cap) {
  std::string s(skipspaces(field).substr(0, cap));
  s.resize(std::min(s.find(' '), s.size()));
  if (!s.empty()) textcopy(dst, s.c_str());
}

}  // namespace

long textnumber(const char* text) {
  TextNumber n = readnumber(text, false);
  if (n.big) return n.negative ? INT32_MIN : INT32_MAX;
  return n.negative ? -(long)n.magnitude : (long)n.magnitude;
}

void setcidr(char* dst, size_t dstsize, uint32_t addr_host, int bits) {
  // The length comes from a DNS answer: anything but 0..32 is ignored.
  if (bits < 0 || bits > 32) return;
  uint32_t mask = bits == 0 ? 0 : 0xFFFFFFFFu << (32 - bits);
  uint32_t net = addr_host & mask;
  textformat(dst, dstsize, "%u.%u.%u.%u/%d", net >> 24, (net >> 16) & 0xFF, (net >> 8) & 0xFF,
             net & 0xFF, bits);
}

void parseorigin(ConnectionRecord* r, const ClientAddress& c, const char* text) {
  if (text[0] == '\0') return;
  std::vector<std::string_view> f = splitbars(text);
  if (f.size() >= 1) {
    std::string first(f[0]);
    r->asn = (int32_t)textnumber(first.c_str());
  }
  if (f.size() >= 2) {
    setcidr(r->ip_network, sizeof r->ip_network, c.addr, 24);
    takeword(r->bgp_prefix, f[1], kBgpPrefixCap);
  }
  if (f.size() >= 3) takeword(r->country, f[2], kCountryCap);
}

int parseasowner(ConnectionRecord* r, const char* text) {
  std::vector<std::string_view> f = splitbars(text);
  if (f.size() < 5) return 0;
  std::string owner(skipspaces(f[4]));
  if (owner.empty()) return 0;
  textcopy(r->owner, owner.c_str());
  return 1;
}

void parsesenderbase(ConnectionRecord* r, const ClientAddress& c, const char* text) {
  for (std::string_view item : splitbars(text)) {
    if (item.size() >= 2 && item[1] == '-') item.remove_prefix(2);
    size_t eq = item.find('=');
    if (eq == std::string_view::npos || eq + 1 >= item.size()) continue;
    std::string key(item.substr(0, eq));
    std::string value(item.substr(eq + 1));
    switch (textnumber(key.c_str())) {
      case 1:
        textcopy(r->owner, value.c_str());
        break;
      case 46:
        setcidr(r->ip_network, sizeof r->ip_network, c.addr, (int)textnumber(value.c_str()));
        break;
      case 50:
        textcopy(r->sb_item50, value.c_str());
        break;
      case 53:
        textcopy(r->country, value.c_str(), kCountryCap);
        break;
      case 54:
        textcopy(r->sb_item54, value.c_str(), kSbItemCap);
        break;
      case 55:
        textcopy(r->sb_item55, value.c_str(), kSbItemCap);
        break;
      default:
        break;
    }
  }
}

void originquestions(const ClientAddress& c, std::vector<Question>* out) {
  char qname[2 * kTextCap];
  textformat(qname, sizeof qname, "%s.%s", c.reversed, settings.CYMRU_ORG);
  out->emplace_back(qname, dns::kTypeTXT);
  if (settings.QuerySenderBase == 1) {
    textformat(qname, sizeof qname, "%s.%s", c.reversed, settings.SB_SUFFIX);
    out->emplace_back(qname, dns::kTypeTXT);
  }
}

void getorigin(ConnectionRecord* r, const ClientAddress& c) {
  std::vector<Question> asked;
  originquestions(c, &asked);
  char answer[kOriginAnswerSize];
  const char* origin = asked[0].first.c_str();
  if (!NSquery(answer, sizeof answer, origin, dns::kTypeTXT, 0))
    logmsg(LOG_TRON, "No data for %s", origin);
  else
    parseorigin(r, c, answer);

  if (r->asn != 0) {
    char qname[2 * kTextCap];
    textformat(qname, sizeof qname, "as%ld.%s", (long)r->asn, settings.CYMRU_ASN);
    if (!NSquery(answer, sizeof answer, qname, dns::kTypeTXT, 0))
      logmsg(LOG_TRON, "No data for %s", qname);
    else if (parseasowner(r, answer))
      logmsg(LOG_TRON, "Owner = %s", r->owner);
  }

  if (asked.size() > 1) {
    std::vector<char> joined(kSenderBaseAnswerSize);
    if (NSquery(joined.data(), joined.size(), asked[1].first.c_str(), dns::kTypeTXT, 1))
      parsesenderbase(r, c, joined.data());
  }
}
