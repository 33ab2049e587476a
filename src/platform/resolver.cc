#include "platform/resolver.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>

#include "base/ipv4.h"
#include "base/text.h"
#include "base/textbuf.h"
#include "platform/net.h"

namespace dns {

Resolver* systemresolver();
int systemavailable();
// Hands the parsed NameServer list to the system backend. Returns 1 when it
// can use them; 0 leaves its servers as they were.
int usenameservers(const NameServer* servers, size_t count);

static Resolver* g_resolver = nullptr;
static thread_local Resolver* t_resolver = nullptr;
static thread_local int64_t t_deadline = 0;
static std::atomic<int64_t> g_cutoff{0};

void Resolver::QueryBatch(Lookup* items, size_t count) {
  for (size_t i = 0; i < count; i++) {
    Lookup& l = items[i];
    l.negttl = 0;
    if (pastdeadline()) {
      l.records.clear();
      l.status = kStatusTimeout;
      continue;
    }
    l.status = Query(l.name.c_str(), l.type, l.options, &l.records);
  }
}

int Resolver::QueryAsBatch(const char* name, uint16_t type, unsigned options, RecordList* out) {
  out->clear();
  if (name == nullptr) return kStatusInvalidName;
  Lookup l;
  l.name = name;
  l.type = type;
  l.options = options;
  QueryBatch(&l, 1);
  out->swap(l.records);
  return l.status;
}

int Resolver::HostAddress(const char* name, uint32_t* addr_net) {
  RecordList records;
  if (Query(name, kTypeA, kOptTreatAsFqdn, &records) != kStatusOk) return 0;
  for (const Record& r : records) {
    if (r.section != Section::Answer || r.type != kTypeA) continue;
    memcpy(addr_net, r.addr, 4);
    return 1;
  }
  return 0;
}

int Resolver::HostName(uint32_t addr_net, char* buf, size_t size) {
  char qname[sizeof "255.255.255.255.in-addr.arpa"];
  reversedotted(hostorder(addr_net), ".in-addr.arpa", qname, sizeof qname);
  RecordList records;
  if (Query(qname, kTypePTR, kOptTreatAsFqdn, &records) != kStatusOk) return 0;
  for (const Record& r : records) {
    if (r.section != Section::Answer || r.type != kTypePTR || r.target.empty()) continue;
    textcopy(buf, size, r.target.c_str());
    return 1;
  }
  return 0;
}

int SystemHostLookups::HostAddress(const char* name, uint32_t* addr_net) {
  return plat::forwardlookup(name, addr_net);
}

int SystemHostLookups::HostName(uint32_t addr_net, char* buf, size_t size) {
  return plat::reverselookup(addr_net, buf, size);
}

Resolver& resolver() {
  if (t_resolver) return *t_resolver;
  return g_resolver ? *g_resolver : *systemresolver();
}

void setresolver(Resolver* r) { g_resolver = r; }

void setthreadresolver(Resolver* r) { t_resolver = r; }

int available() { return g_resolver ? 1 : systemavailable(); }

int64_t nowms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void setthreaddeadline(int64_t ms) { t_deadline = ms; }

int64_t threaddeadline() { return t_deadline; }

void setcutoff(int64_t ms) { g_cutoff.store(ms); }

int64_t deadline() {
  int64_t c = g_cutoff.load();
  if (c == 0) return t_deadline;
  if (t_deadline == 0) return c;
  return c < t_deadline ? c : t_deadline;
}

int pastdeadline() {
  int64_t d = deadline();
  return d != 0 && nowms() >= d ? 1 : 0;
}

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
  return usenameservers(servers, (size_t)count);
}

}  // namespace dns
