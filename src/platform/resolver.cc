#include "platform/resolver.h"

#include <atomic>
#include <chrono>

namespace dns {

Resolver* systemresolver();
int systemavailable();

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

}  // namespace dns
