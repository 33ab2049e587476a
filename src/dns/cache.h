// The process-wide DNS answer cache: a Resolver that keeps the answers of
// the resolver it wraps. Positive answers are kept for their smallest TTL,
// negative ones (NXDOMAIN, no records) for their SOA-derived time (RFC
// 2308), both at most kMaxTtlSeconds; failures (time-outs, SERVFAIL, ...)
// are never kept. Bounded in entries and bytes, least recently used out
// first. Safe for use from several threads.
#pragma once
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

#include "dns/resolver.h"
#include "platform/sys.h"

namespace dns {

class CachingResolver : public Resolver {
 public:
  static constexpr uint32_t kMaxTtlSeconds = 3600;
  static constexpr size_t kMaxBytes = 24u << 20;

  // `entries`: most answers kept. `now`: milliseconds of a monotonic clock.
  CachingResolver(Resolver& inner, size_t entries, int64_t (*now)() = plat::nowms);

  int Query(const char* name, uint16_t type, unsigned options, RecordList* out) override;
  void QueryBatch(Lookup* items, size_t count) override;
  // Not cached: handed to the wrapped resolver.
  int HostAddress(const char* name, uint32_t* addr_net) override {
    return inner_.HostAddress(name, addr_net);
  }
  int HostName(uint32_t addr_net, char* buf, size_t size) override {
    return inner_.HostName(addr_net, buf, size);
  }

  struct Stats {
    uint64_t hits = 0;
    uint64_t misses = 0;
    size_t entries = 0;
    size_t bytes = 0;
  };
  Stats stats();

 private:
  friend class CacheOnlyResolver;
  struct Entry {
    std::string key;
    int status;
    RecordList records;
    int64_t expires;
    size_t bytes;
  };
  // `count`: the lookup counts as a hit or a miss.
  bool lookup(const std::string& key, Lookup* l, bool count = true);
  void counthits(uint64_t n);
  void store(const std::string& key, const Lookup& l);
  void evict();

  Resolver& inner_;
  size_t maxentries_;
  int64_t (*now_)();
  std::mutex lock_;
  std::list<Entry> lru_;  // most recently used first
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
  Stats stats_;
};

// The answers a CachingResolver keeps, and nothing else: no question is
// sent. One it cannot answer so (not kept, expired, or asked past the cache)
// fails as a time-out and marks the resolver missed; the answers given then
// are worth nothing. Hits count for the cache only once kept (keep()), so
// that a pass given up and asked again does not count twice.
class CacheOnlyResolver : public Resolver {
 public:
  explicit CacheOnlyResolver(CachingResolver& cache) : cache_(cache) {}
  int Query(const char* name, uint16_t type, unsigned options, RecordList* out) override {
    return QueryAsBatch(name, type, options, out);
  }
  void QueryBatch(Lookup* items, size_t count) override;
  // The system's host lookups are never kept.
  int HostAddress(const char*, uint32_t*) override {
    missed_ = true;
    return 0;
  }
  int HostName(uint32_t, char*, size_t) override {
    missed_ = true;
    return 0;
  }
  bool abandoned() override { return missed_; }
  void keep() { cache_.counthits(hits_); }

 private:
  CachingResolver& cache_;
  bool missed_ = false;
  uint64_t hits_ = 0;
};

}  // namespace dns
