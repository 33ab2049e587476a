#include "dns/cache.h"

#include <algorithm>
#include <vector>

#include "base/metrics.h"

namespace dns {

namespace {

// Names compare without case and without a final dot.
std::string cachekey(const std::string& name, uint16_t type) {
  std::string k = name;
  while (!k.empty() && k.back() == '.') k.pop_back();
  for (char& c : k) c = (char)((c >= 'A' && c <= 'Z') ? c + 32 : c);
  k += '\0';
  k += (char)(type >> 8);
  k += (char)(type & 0xFF);
  return k;
}

// Seconds an answer may be kept; 0: not at all.
uint32_t keepseconds(const Lookup& l) {
  uint32_t ttl = 0;
  if (l.status == kStatusOk) {
    bool any = false;
    for (const Record& r : l.records) {
      if (r.section != Section::Answer) continue;
      ttl = any ? std::min(ttl, r.ttl) : r.ttl;
      any = true;
    }
  } else if (l.status == kStatusNameError || l.status == kStatusNoRecords) {
    ttl = l.negttl;
  }
  return std::min(ttl, CachingResolver::kMaxTtlSeconds);
}

size_t sizeof_records(const RecordList& records) {
  size_t n = 0;
  for (const Record& r : records) {
    n += sizeof r + r.owner.capacity() + r.target.capacity();
    for (const std::string& s : r.strings) n += sizeof s + s.capacity();
  }
  return n;
}

}  // namespace

CachingResolver::CachingResolver(Resolver& inner, size_t entries, int64_t (*now)())
    : inner_(inner), maxentries_(entries), now_(now) {}

int CachingResolver::Query(const char* name, uint16_t type, unsigned options, RecordList* out) {
  return QueryAsBatch(name, type, options, out);
}

void CachingResolver::QueryBatch(Lookup* items, size_t count) {
  std::vector<std::string> keys(count);
  std::vector<Lookup> misses;
  std::vector<size_t> where;
  for (size_t i = 0; i < count; i++) {
    keys[i] = cachekey(items[i].name, items[i].type);
    if (!(items[i].options & kOptBypassCache) && lookup(keys[i], &items[i])) continue;
    misses.push_back(items[i]);
    where.push_back(i);
  }
  if (misses.empty()) return;
  inner_.QueryBatch(misses.data(), misses.size());
  for (size_t m = 0; m < misses.size(); m++) {
    store(keys[where[m]], misses[m]);
    items[where[m]] = std::move(misses[m]);
  }
}

bool CachingResolver::lookup(const std::string& key, Lookup* l, bool count) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = index_.find(key);
  if (it == index_.end()) {
    stats_.misses += count;
    return false;
  }
  Entry& e = *it->second;
  if (now_() >= e.expires) {
    stats_.bytes -= e.bytes;
    lru_.erase(it->second);
    index_.erase(it);
    stats_.misses += count;
    return false;
  }
  lru_.splice(lru_.begin(), lru_, it->second);
  l->status = e.status;
  l->records = e.records;
  l->negttl = 0;
  if (count) {
    stats_.hits++;
    metrics::add(metrics::counters.dns_cache_hits);
  }
  return true;
}

void CachingResolver::counthits(uint64_t n) {
  if (n == 0) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stats_.hits += n;
  }
  metrics::add(metrics::counters.dns_cache_hits, n);
}

void CacheOnlyResolver::QueryBatch(Lookup* items, size_t count) {
  for (size_t i = 0; i < count; i++) {
    Lookup& l = items[i];
    if (!missed_ && !(l.options & kOptBypassCache) && cache_.lookup(cachekey(l.name, l.type), &l, false)) {
      hits_++;
      continue;
    }
    // The first miss decides: nothing after it is looked up.
    missed_ = true;
    l.records.clear();
    l.negttl = 0;
    l.status = kStatusTimeout;
  }
}

void CachingResolver::store(const std::string& key, const Lookup& l) {
  uint32_t keep = keepseconds(l);
  if (keep == 0 || maxentries_ == 0) return;
  Entry e{key, l.status, l.records, now_() + (int64_t)keep * 1000, 0};
  e.bytes = sizeof e + key.capacity() + sizeof_records(e.records);
  if (e.bytes > kMaxBytes / 16) return;
  std::lock_guard<std::mutex> guard(lock_);
  auto it = index_.find(key);
  if (it != index_.end()) {
    stats_.bytes -= it->second->bytes;
    lru_.erase(it->second);
    index_.erase(it);
  }
  stats_.bytes += e.bytes;
  lru_.push_front(std::move(e));
  index_[key] = lru_.begin();
  evict();
}

// REQUIRES: lock_ held.
void CachingResolver::evict() {
  while (!lru_.empty() && (lru_.size() > maxentries_ || stats_.bytes > kMaxBytes)) {
    stats_.bytes -= lru_.back().bytes;
    index_.erase(lru_.back().key);
    lru_.pop_back();
  }
}

CachingResolver::Stats CachingResolver::stats() {
  std::lock_guard<std::mutex> guard(lock_);
  Stats s = stats_;
  s.entries = lru_.size();
  return s;
}

}  // namespace dns
