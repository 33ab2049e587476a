#include "dns/resolver.h"

#include <atomic>
#include <cstring>
#include <string>

#include "base/ipv4.h"
#include "base/textbuf.h"
#include "platform/net.h"
#include "platform/sys.h"
#ifndef _WIN32
#include "dns/reply.h"
#endif

namespace dns {

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

namespace {

// The earlier of `own` (a thread's deadline) and the cut-off; 0: neither.
int64_t earlier(int64_t own) {
  int64_t c = g_cutoff.load();
  if (c == 0) return own;
  if (own == 0) return c;
  return c < own ? c : own;
}

// The system's transport. The local host's name and address come from the
// system's host lookup (hosts file, then DNS), as for any program.
class SystemResolver : public Resolver {
 public:
  int Query(const char* name, uint16_t type, unsigned options, RecordList* out) override {
    return QueryAsBatch(name, type, options, out);
  }
  void QueryBatch(Lookup* items, size_t count) override {
    // The transport's threads do not share this thread's deadline: it goes
    // with the batch; the cut-off is read afresh, since a stop may move it.
    int64_t own = t_deadline;
    auto left = [own]() -> int64_t {
      int64_t d = earlier(own);
      if (d == 0) return -1;
      int64_t now = plat::nowms();
      return now >= d ? 0 : d - now;
    };
#ifdef _WIN32
    plat::dnsbatch(items, count, left, nullptr);
#else
    plat::dnsbatch(items, count, left, parseresponse);
#endif
  }
  int HostAddress(const char* name, uint32_t* addr_net) override {
    return plat::forwardlookup(name, addr_net);
  }
  int HostName(uint32_t addr_net, char* buf, size_t size) override {
    return plat::reverselookup(addr_net, buf, size);
  }
};

}  // namespace

Resolver& resolver() {
  // Never destroyed: a transport thread may still be inside a query while
  // the process exits.
  static Resolver* system = new SystemResolver;
  if (t_resolver) return *t_resolver;
  return g_resolver ? *g_resolver : *system;
}

void setresolver(Resolver* r) { g_resolver = r; }

void setthreadresolver(Resolver* r) { t_resolver = r; }

int available() { return g_resolver ? 1 : plat::dnsavailable(); }

void setthreaddeadline(int64_t ms) { t_deadline = ms; }

int64_t threaddeadline() { return t_deadline; }

void setcutoff(int64_t ms) { g_cutoff.store(ms); }

int64_t deadline() { return earlier(t_deadline); }

int pastdeadline() {
  int64_t d = deadline();
  return d != 0 && plat::nowms() >= d ? 1 : 0;
}

}  // namespace dns
