#include "report/trap.h"

#include "common/exitcode.h"

#include <algorithm>
#include <cstdio>

#include "common/inifile.h"
#include "report/reader.h"
#include "report/report.h"

namespace {

std::string ipname(uint32_t ip) {
  char buf[16];
  snprintf(buf, sizeof buf, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 255, (ip >> 8) & 255, ip & 255);
  return buf;
}

std::vector<std::string> splittags(const std::string& s) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos <= s.size()) {
    size_t comma = s.find(',', pos);
    if (comma == std::string::npos) comma = s.size();
    std::string t = s.substr(pos, comma - pos);
    t.erase(0, t.find_first_not_of(" \t"));
    t.erase(t.find_last_not_of(" \t") + 1);
    if (!t.empty()) out.push_back(t);
    pos = comma + 1;
  }
  return out;
}

}  // namespace

bool readtraprule(TrapRule* rule, std::string* error) {
  inisetsection("Trap");
  long visits = inigetint("MinVisits", rule->min_visits);
  long days = inigetint("Days", rule->days);
  char buf[261];
  inigetstr("Tags", "BL,GL,HL", buf, sizeof buf);
  std::vector<std::string> tags = splittags(buf);
  inigetstr("NftSet", rule->nft_set.c_str(), buf, sizeof buf);
  if (visits < 1 || visits > 1000000) {
    *error = "Invalid trap setting MinVisits (1..1000000)";
  } else if (days < 1 || days > kMaxTrapDays) {
    *error = "Invalid trap setting Days (1..366)";
  } else if (tags.empty()) {
    *error = "Invalid trap setting Tags (no tag)";
  } else {
    rule->min_visits = (int)visits;
    rule->days = (int)days;
    rule->tags = tags;
    rule->nft_set = buf;
    return true;
  }
  return false;
}

void Trap::add(const Visit& v) {
  if (v.time < now_ - (int64_t)rule_.days * 86400 || v.time > now_) return;
  bool excluded = v.tag == "WL" || v.spf == "Pass" || mtalike(v);
  bool tagged = std::find(rule_.tags.begin(), rule_.tags.end(), v.tag) != rule_.tags.end();
  if (!excluded && !tagged) return;
  ClientTrap* c = clients_.get(v.ip);
  if (c == nullptr) return;
  c->excluded |= excluded;
  if (tagged) c->count++;
}

std::vector<uint32_t> Trap::caught() const {
  std::vector<uint32_t> out;
  clients_.each([&](uint32_t ip, const ClientTrap& c) {
    if (!c.excluded && c.count >= (uint64_t)rule_.min_visits) out.push_back(ip);
  });
  std::sort(out.begin(), out.end());
  return out;
}

bool trapformatknown(const std::string& f) {
  return f == "plain" || f == "postfix" || f == "rbldnsd" || f == "nft";
}

std::string trapexport(const std::vector<uint32_t>& ips, const std::string& format,
                       const TrapRule& rule) {
  char head[200];
  snprintf(head, sizeof head, "# nestrap trap: %lu address(es) seen at least %d times in %d days\n",
           (unsigned long)ips.size(), rule.min_visits, rule.days);
  std::string s;
  if (format == "plain") {
    for (uint32_t ip : ips) s += ipname(ip) + "\n";
  } else if (format == "postfix") {
    s = head;
    for (uint32_t ip : ips) s += ipname(ip) + "/32 reject\n";
  } else if (format == "rbldnsd") {
    // The RFC 5782 test entry lets clients of the zone check that it works.
    s = std::string(head) + ":127.0.0.2:Seen at the decoy\n127.0.0.2\n";
    for (uint32_t ip : ips) s += ipname(ip) + "\n";
  } else if (format == "nft") {
    // One transaction for nft -f: the set is emptied and filled at once.
    s = std::string(head) + "flush set " + rule.nft_set + "\n";
    if (!ips.empty()) {
      s += "add element " + rule.nft_set + " {";
      for (size_t i = 0; i < ips.size(); i++) s += (i ? ", " : " ") + ipname(ips[i]);
      s += " }\n";
    }
  }
  return s;
}

int exportmain(const char* logdir, const char* format, const char* outpath) {
  if (!trapformatknown(format)) {
    fprintf(stderr, "Unknown export format \"%s\" (plain, postfix, rbldnsd, nft)\n", format);
    return kExitSetting;
  }
  TrapRule rule;
  std::string error;
  if (!readtraprule(&rule, &error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return kExitSetting;
  }
  int64_t now = utcseconds();
  Trap trap(rule, now);
  // Daily files are named by local date; one more day covers the offset
  // between local and UTC time, and each line is held to the window.
  int64_t today = localtoday();
  readdays(logdir, today - rule.days - 1, today + 1, [&](const Visit& v) { trap.add(v); });
  if (trap.lowered())
    fprintf(stderr, "More than %lu clients in the window: rarely seen ones may be missed\n",
            (unsigned long)kClientKeys);
  std::string out = trapexport(trap.caught(), format, rule);
  if (outpath == nullptr) {
    fwrite(out.data(), 1, out.size(), stdout);
    fflush(stdout);
    return kExitDone;
  }
  if (!replacefile(outpath, out)) {
    fprintf(stderr, "Cannot write %s\n", outpath);
    return kExitUsage;
  }
  return kExitDone;
}
