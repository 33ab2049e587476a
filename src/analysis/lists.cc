#include "analysis/lists.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "analysis/dnsquery.h"
#include "platform/net.h"
#include "dns/resolver.h"
#include "platform/sys.h"
#include "common/log.h"
#include "common/recordlists.h"
#include "common/settings.h"
#include "base/ipv4.h"
#include "base/textbuf.h"

// Public DNS-based list services. Order is cost: a check asks the zones
// in file order and stops at the first that lists the client.
const char* const kDnswlDefaults[] = {
    "# ", "# DNS whitelists", "# ",
    "list.dnswl.org",        // DNSWL.org
    "wl.mailspike.net",      // Mailspike whitelist
    "iadb.isipp.com",        // ISIPP accreditation database
    "ips.whitelisted.org",   // whitelisted.org (UCEPROTECT)
    "wl.nszones.com",        // NSZones whitelist
    nullptr};
const char* const kDnsblDefaults[] = {
    "# ", "# DNS blacklists", "# ",
    "zen.spamhaus.org",        // Spamhaus SBL, XBL and PBL combined
    "bl.spamcop.net",          // SpamCop
    "b.barracudacentral.org",  // Barracuda reputation block list
    "psbl.surriel.com",        // Passive spam block list
    "bl.mailspike.net",        // Mailspike block list
    "ix.dnsbl.manitu.net",     // NiX Spam
    nullptr};
const char* const kDnsglDefaults[] = {
    "# ", "# DNS aggressive/experimental blacklists", "# ",
    "dnsbl-1.uceprotect.net",         // UCEPROTECT level 1: single addresses
    "dnsbl-2.uceprotect.net",         // UCEPROTECT level 2: whole allocations
    "dnsbl-3.uceprotect.net",         // UCEPROTECT level 3: whole networks (AS)
    "ips.backscatterer.org",          // Backscatterer: senders of backscatter
    "dyna.spamrats.com",              // SpamRATS: dynamic-looking reverse names
    "noptr.spamrats.com",             // SpamRATS: no reverse name
    "spam.spamrats.com",              // SpamRATS: seen sending spam
    "bl.spameatingmonkey.net",        // SpamEatingMonkey
    "dnsbl.dronebl.org",              // DroneBL: bots and open proxies
    "all.s5h.net",                    // s5h.net
    "truncate.gbudb.net",             // GBUdb truncate
    nullptr};
const char* const kUriwlDefaults[] = {
    "# ", "# URI whitelists", "# ",
    "dwl.dnswl.org",  // DNSWL.org domain whitelist
    nullptr};
const char* const kUriblDefaults[] = {
    "# ", "# URI blacklists", "# ",
    "dbl.spamhaus.org",  // Spamhaus domain block list
    "multi.surbl.org",   // SURBL
    "multi.uribl.com",   // URIBL
    nullptr};

ListEntry* dnswl = nullptr;
ListEntry* dnsbl = nullptr;
ListEntry* dnsgl = nullptr;
ListEntry* uriwl = nullptr;
ListEntry* uribl = nullptr;

namespace {

// Zones whose answers are being ignored, with the answer last warned about.
std::mutex g_refusal_lock;
std::map<std::string, uint32_t, std::less<>> g_refusals;

// Held while reloadalllists replaces the lists, so that other threads can
// copy them (copyzones).
std::mutex g_swap_lock;

// A read takes at most this many characters, line feed included; the rest
// of a longer line comes with the next read.
constexpr int kLineBuffer = 3071;

int createlist(const char* path, const char* const* defaults) {
  logmsg(LOG_TRON, "loadlist(%s) - creating file...", path);
  FILE* f = fopen(path, "w");
  if (f == nullptr) {
    logmsg(LOG_ERR, "loadlist(%s) - cannot create file", path);
    return 0;
  }
  for (const char* const* line = defaults; line && *line; line++) {
    fprintf(f, "%s\n", *line);
    logmsg(LOG_TRON, "loadlist(%s) - %s", path, *line);
  }
  fclose(f);
  logmsg(LOG_TRON, "loadlist(%s) - file created.", path);
  return 1;
}

// The zone's first A answer `found` (dotted) as the list check takes it.
int listed(const char* zone, const char* found) {
  uint32_t n = plat::inetaddr(found);
  return takelisting(zone, (const uint8_t*)&n);
}

}  // namespace

int listanswer(const uint8_t addr[4], const char** note) {
  const char* text = "listed";
  int kind = kListed;
  if (addr[0] != 127) {
    kind = kListForeign;
    text = "not in 127.0.0.0/8";
  } else if (addr[1] == 255 && addr[2] == 255) {
    kind = kListError;
    switch (addr[3]) {
      case 252: text = "refused: typing error in the zone name?"; break;
      case 254: text = "refused: query via public resolver?"; break;
      case 255: text = "refused: excessive number of queries?"; break;
      default: text = "refused: error code"; break;
    }
  }
  if (note) *note = text;
  return kind;
}

void endrefusal(const char* zone) {
  std::lock_guard<std::mutex> lock(g_refusal_lock);
  auto it = g_refusals.find(std::string_view(zone));
  if (it != g_refusals.end()) g_refusals.erase(it);
}



int takelisting(const char* zone, const uint8_t addr[4]) {
  const char* note = nullptr;
  if (listanswer(addr, &note) == kListed) {
    endrefusal(zone);
    return 1;
  }
  uint32_t answer;
  memcpy(&answer, addr, sizeof answer);
  bool fresh;
  {
    std::lock_guard<std::mutex> lock(g_refusal_lock);
    auto [it, added] = g_refusals.try_emplace(zone, answer);
    fresh = added || it->second != answer;
    it->second = answer;
  }
  if (fresh) {
    char text[16];
    dotted(addr, text, sizeof text);
    logmsg(LOG_WARN, "%s answers %s (%s), ignored", zone, text, note);
  }
  return 0;
}

int listzone(char* line, char* zone, size_t zonesize) {
  textcut(line, "\n");
  textcut(line, "\r");
  textcut(line, "\t");
  textcut(line, " ");
  if (line[0] == '\0' || line[0] == '#') return 0;
  textcopy(zone, zonesize, line);
  return 1;
}

ListEntry* loadlist(const char* path, const char* const* defaults) {
  if (!plat::fileexists(path) && !createlist(path, defaults)) return nullptr;
  FILE* f = fopen(path, "r");
  if (f == nullptr) {
    logmsg(LOG_ERR, "loadlist(%s) - can't open file", path);
    return nullptr;
  }
  logmsg(LOG_INFO, "Loading DNS lists from %s...", path);

  ListEntry* first = nullptr;
  ListEntry** tail = &first;
  uint32_t count = 0;
  char line[kLineBuffer];
  while (fgets(line, sizeof line, f) != nullptr) {
    char zone[sizeof first->zone];
    if (!listzone(line, zone, sizeof zone)) continue;
    ListEntry* e = (ListEntry*)malloc(sizeof(ListEntry));
    if (e == nullptr) {
      logmsg(LOG_ERR, "loadlist(%s) - can't allocate memory, aborting", path);
      freelist(first);
      fclose(f);
      return nullptr;
    }
    e->number = ++count;
    textcopy(e->zone, zone);
    e->next = nullptr;
    *tail = e;
    tail = &e->next;
  }
  fclose(f);

  for (const ListEntry* e = first; e; e = e->next) logmsg(LOG_TRON, "%02d) %s", (int)e->number, e->zone);
  logmsg(LOG_INFO, "%02d lists loaded from %s", (int)count, path);
  return first;
}

void freelist(ListEntry* first) {
  while (first) {
    ListEntry* next = first->next;
    free(first);
    first = next;
  }
}

const ListFile kListFiles[kListFileCount] = {
    {&dnswl, "nsp-dnswl.txt", kDnswlDefaults, 0}, {&dnsbl, "nsp-dnsbl.txt", kDnsblDefaults, 0},
    {&dnsgl, "nsp-dnsgl.txt", kDnsglDefaults, 0}, {&uriwl, "nsp-uriwl.txt", kUriwlDefaults, 1},
    {&uribl, "nsp-uribl.txt", kUriblDefaults, 1},
};

void loadalllists() {
  for (const ListFile& f : kListFiles) *f.head = loadlist(f.path, f.defaults);
}

void reloadalllists() {
  ListEntry* fresh[kListFileCount];
  for (size_t i = 0; i < kListFileCount; i++) fresh[i] = loadlist(kListFiles[i].path, kListFiles[i].defaults);
  std::lock_guard<std::mutex> lock(g_swap_lock);
  freealllists();
  for (size_t i = 0; i < kListFileCount; i++) *kListFiles[i].head = fresh[i];
}

std::vector<ListZone> copyzones() {
  std::vector<ListZone> zones;
  std::lock_guard<std::mutex> lock(g_swap_lock);
  for (const ListFile& f : kListFiles) {
    for (const ListEntry* e = *f.head; e; e = e->next) {
      ListZone z;
      textcopy(z.zone, e->zone);
      z.file = f.path;
      z.bydomain = f.bydomain;
      zones.push_back(z);
    }
  }
  return zones;
}

void freealllists() {
  for (const ListFile& f : kListFiles) {
    freelist(*f.head);
    *f.head = nullptr;
  }
}

namespace {

// The registered part of `domain` with a final dot, as the domain lists are
// asked for it; 0 when the domain cannot be checked.
int domainsuffix(const char* domain, char* suffix, size_t size) {
  if (domain == nullptr || domain[0] == '\0' || plat::isipaddr(domain)) return 0;
  return findzone(domain, suffix, size);
}

// The questions of a check of `list`: the A records of `prefix` under each
// zone, in file order. Both the check and its prefetch ask these.
void questions(const ListEntry* list, const char* prefix, std::vector<Question>* out) {
  for (const ListEntry* e = list; e; e = e->next) {
    char qname[2 * kTextCap + 2];
    textformat(qname, sizeof qname, "%s%s", prefix, e->zone);
    out->emplace_back(qname, dns::kTypeA);
  }
}

// "4.3.2.1." for the client address 1.2.3.4.
std::string addressprefix(const ClientAddress& c) { return std::string(c.reversed) + "."; }

// Asks the zones of `list` in file order for `prefix` (followed by the
// zone); the first that lists it decides (none without a tag). For the JSON
// line every zone is asked and every answer kept; the zones behind the
// decision give no warnings, as they are not asked without it.
int firstlisting(ConnectionRecord* r, const ListEntry* list, const char* prefix, const char* what,
                 const char* tag, ListKind kind) {
  const bool every = settings.JsonLines == 1;
  std::vector<Question> asked;
  questions(list, prefix, &asked);
  int decided = 0;
  size_t i = 0;
  for (const ListEntry* e = list; e && (every || !decided); e = e->next, i++) {
    char found[kTextCap + 1];
    if (!NSquery(found, sizeof found, asked[i].first.c_str(), dns::kTypeA, 0)) continue;
    textcut(found, "|");
    uint32_t n = plat::inetaddr(found);
    bool counts = tag && !decided ? listed(e->zone, found)
                                  : listanswer((const uint8_t*)&n, nullptr) == kListed;
    if (every) listhitadd(r, kind, e->zone, found, counts);
    if (!counts || !tag || decided) continue;
    logmsg(LOG_TRON, "[%s] %s => %s", what, e->zone, found);
    textcopy(r->list_tag, tag);
    textcopy(r->list_detail, e->zone);
    decided = (int)e->number;
  }
  return decided;
}

// The kind of list a check's tag stands for.
ListKind tagkind(const char* tag) {
  switch (tag[0]) {
    case 'W': return tag[1] == 'U' ? kListUriWhite : kListWhite;
    case 'B': return tag[1] == 'U' ? kListUriBlack : kListBlack;
    default: return kListGrey;
  }
}

}  // namespace

int checklist(ConnectionRecord* r, const ClientAddress& c, const ListEntry* list, const char* tag) {
  if (list == nullptr) return 0;
  logmsg(LOG_TRON, "checklist(%s, %s)", tag, r->client_ip);
  return firstlisting(r, list, addressprefix(c).c_str(), r->client_ip, tag, tagkind(tag));
}

void listhits(ConnectionRecord* r, const ClientAddress& c, const ListEntry* list, ListKind kind) {
  if (list != nullptr) firstlisting(r, list, addressprefix(c).c_str(), r->client_ip, nullptr, kind);
}

void listhits(ConnectionRecord* r, const char* domain, const ListEntry* list, ListKind kind) {
  char suffix[kTextCap + 2];
  if (list != nullptr && domainsuffix(domain, suffix, sizeof suffix))
    firstlisting(r, list, suffix, domain, nullptr, kind);
}

int checklist(ConnectionRecord* r, const char* domain, const ListEntry* list, const char* tag) {
  if (list == nullptr || domain == nullptr || domain[0] == '\0') return 0;
  logmsg(LOG_TRON, "checklist(%s, %s)", tag, domain);
  char suffix[kTextCap + 2];
  if (!domainsuffix(domain, suffix, sizeof suffix)) return 0;
  return firstlisting(r, list, suffix, domain, tag, tagkind(tag));
}

void listquestions(const ClientAddress& c, const ListEntry* list, std::vector<Question>* out) {
  questions(list, addressprefix(c).c_str(), out);
}

void listquestions(const char* domain, const ListEntry* list, std::vector<Question>* out) {
  if (list == nullptr) return;
  char suffix[kTextCap + 2];
  if (domainsuffix(domain, suffix, sizeof suffix)) questions(list, suffix, out);
}
