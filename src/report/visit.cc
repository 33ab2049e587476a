#include "report/visit.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdio>

#include "base/ipv4.h"

namespace {

using json = nlohmann::json;

// Fields of the line (at most `max`), split at '|'.
size_t splitcolumns(std::string_view line, std::string_view* out, size_t max) {
  size_t n = 0;
  while (n < max) {
    size_t bar = line.find('|');
    out[n++] = line.substr(0, bar);
    if (bar == std::string_view::npos) return n;
    line.remove_prefix(bar + 1);
  }
  return n + 1;  // more than max: not a line of ours
}

bool digits(std::string_view s, size_t at, size_t n, int* value) {
  if (at + n > s.size()) return false;
  int v = 0;
  for (size_t i = at; i < at + n; i++) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  *value = v;
  return true;
}

// "YYYY-MM-DD" at `at` of s, then `sep`, then "HH:MM:SS".
bool readtime(std::string_view s, char sep, int64_t* out) {
  int y, mo, d, h, mi, se;
  if (s.size() < 19 || s[4] != '-' || s[7] != '-' || s[10] != sep || s[13] != ':' || s[16] != ':')
    return false;
  if (!digits(s, 0, 4, &y) || !digits(s, 5, 2, &mo) || !digits(s, 8, 2, &d) ||
      !digits(s, 11, 2, &h) || !digits(s, 14, 2, &mi) || !digits(s, 17, 2, &se))
    return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || se > 60) return false;
  *out = daynumber(y, mo, d) * 86400 + h * 3600 + mi * 60 + se;
  return true;
}

bool readip(std::string_view s, Visit* v) {
  char buf[16];
  if (s.empty() || s.size() >= sizeof buf) return false;
  s.copy(buf, s.size());
  buf[s.size()] = '\0';
  uint8_t a[4];
  const char* end = readipv4(buf, a);
  if (end == nullptr || *end != '\0') return false;
  v->ip = ipv4number(a);
  v->ip_text.assign(s);
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// The domain of a sender or recipient as sent ("<a@Example.ORG> SIZE=9"),
// in lower case; empty when there is none.
std::string domainof(std::string_view addr) {
  size_t end = addr.find_first_of("> \t");
  if (end != std::string_view::npos) addr = addr.substr(0, end);
  size_t at = addr.rfind('@');
  if (at == std::string_view::npos || at + 1 >= addr.size()) return std::string();
  std::string d(addr.substr(at + 1));
  for (char& c : d) c = (char)tolower((unsigned char)c);
  return d;
}

const std::string* text(const json& j, const char* key) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return nullptr;
  return &it->get_ref<const std::string&>();
}

void settext(std::string* out, const json& j, const char* key) {
  const std::string* s = text(j, key);
  if (s != nullptr) *out = *s;
  else out->clear();
}

const json& member(const json& j, const char* key) {
  static const json kNull;
  auto it = j.find(key);
  return it == j.end() ? kNull : *it;
}

void clear(Visit* v) {
  v->asn = 0;
  v->zones.clear();
  v->rcpt_domains.clear();
  v->signals.clear();
  v->sender_domain.clear();
}

}  // namespace

int64_t daynumber(int year, int month, int day) {
  // Howard Hinnant's days_from_civil.
  int64_t y = year - (month <= 2);
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

std::string daytext(int64_t z) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int d = (int)(doy - (153 * mp + 2) / 5 + 1);
  int m = (int)(mp < 10 ? mp + 3 : mp - 9);
  long y = (long)(yoe + era * 400 + (m <= 2));
  char buf[32];
  snprintf(buf, sizeof buf, "%04ld-%02d-%02d", y, m, d);
  return buf;
}

bool parsepipeline(std::string_view line, Visit* v) {
  constexpr size_t kMaxColumns = 24;
  std::string_view c[kMaxColumns];
  size_t n = splitcolumns(trim(line), c, kMaxColumns);
  if (n != 22 && n != 24) return false;
  std::string dt(c[0]);
  dt += ' ';
  dt.append(c[1]);
  if (!readtime(dt, ' ', &v->time) || !readip(c[4], v)) return false;
  clear(v);
  v->from_json = false;
  v->asn = atol(std::string(trim(c[3])).c_str());
  v->ptr.assign(c[7]);
  v->helo.assign(c[8]);
  v->spf.assign(c[9]);
  v->tag.assign(c[10]);
  v->detail.assign(c[11]);
  v->country.assign(c[12]);
  v->owner.assign(c[13]);
  // The pipe line keeps the HELO class only when it decided the tag, and
  // only the first zone that listed the client.
  if (v->tag == "HL") v->helo_class = v->detail;
  else if (v->tag == "NL") v->helo_class = "neutral";
  else v->helo_class.clear();
  if (v->tag != "HL" && v->tag != "NL" && v->detail.find('.') != std::string::npos)
    v->zones.push_back(v->detail);  // WL, BL, GL, WU, BU: the zone
  v->sender_domain = domainof(c[19]);
  std::string rcpt = domainof(c[20]);
  if (!rcpt.empty()) v->rcpt_domains.push_back(std::move(rcpt));
  return true;
}

bool parsejsonline(std::string_view line, Visit* v) {
  json j = json::parse(line.begin(), line.end(), nullptr, false);
  if (!j.is_object()) return false;
  const std::string* t = text(j, "time");
  const json& client = member(j, "client");
  const std::string* ip = client.is_object() ? text(client, "ip") : nullptr;
  if (t == nullptr || ip == nullptr || !readtime(*t, 'T', &v->time) || !readip(*ip, v))
    return false;
  clear(v);
  v->from_json = true;
  settext(&v->ptr, client, "ptr");
  settext(&v->helo, j, "helo");
  settext(&v->helo_class, j, "helo_class");
  settext(&v->tag, j, "tag");
  settext(&v->detail, j, "tag_detail");
  const json& origin = member(j, "origin");
  if (origin.is_object()) {
    const json& asn = member(origin, "asn");
    if (asn.is_number_integer()) v->asn = asn.get<long>();
    settext(&v->country, origin, "country");
    settext(&v->owner, origin, "owner");
  } else {
    v->country.clear();
    v->owner.clear();
  }
  const json& spf = member(j, "spf");
  if (spf.is_object()) settext(&v->spf, spf, "result");
  else v->spf.clear();
  for (const json& l : member(j, "lists")) {
    const json& listed = member(l, "listed");
    const std::string* zone = l.is_object() ? text(l, "zone") : nullptr;
    if (zone != nullptr && listed.is_boolean() && listed.get<bool>()) v->zones.push_back(*zone);
  }
  const json& smtp = member(j, "smtp");
  for (const json& tr : member(smtp, "transactions")) {
    if (!tr.is_object()) continue;
    const std::string* from = text(tr, "mail_from");
    if (from != nullptr && v->sender_domain.empty()) v->sender_domain = domainof(*from);
    for (const json& r : member(tr, "rcpt_to")) {
      if (!r.is_string()) continue;
      std::string d = domainof(r.get_ref<const std::string&>());
      if (!d.empty()) v->rcpt_domains.push_back(std::move(d));
    }
  }
  for (const json& s : member(j, "signals"))
    if (s.is_string()) v->signals.push_back(s.get<std::string>());
  return true;
}

bool mtalike(const Visit& v) {
  if (v.tag != "WL" && v.spf != "Pass") return false;
  std::string_view a = v.helo, b = v.ptr;
  if (!a.empty() && a.back() == '.') a.remove_suffix(1);
  if (!b.empty() && b.back() == '.') b.remove_suffix(1);
  if (a.empty() || a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) return false;
  return true;
}
