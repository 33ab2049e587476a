// The SPF evaluator's local record cache: records by domain in one table
// sorted by key (spf_internal.h: the labels reversed, lower case), found by
// binary search. Locked only while SpfCacheSetLocking has turned locking on.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "spf/spf_internal.h"
#include "spf/wrenspf.h"

namespace {

struct CacheEntry {
  uint32_t keylen;
  uint32_t datalen;
  int64_t expiry;
  char bytes[1];  // key, then data
};

constexpr size_t kCacheGrowth = 256;

struct RecordCache {
  CacheEntry** table = nullptr;
  size_t count = 0;
  size_t capacity = 0;
};

RecordCache g_cache;
std::mutex g_cachemutex;
std::atomic<bool> g_cachelocking{false};

class CacheGuard {
 public:
  CacheGuard() : locked_(g_cachelocking) {
    if (locked_) g_cachemutex.lock();
  }
  ~CacheGuard() {
    if (locked_) g_cachemutex.unlock();
  }

 private:
  bool locked_;
};

int CompareKey(const CacheEntry* e, const char* key, size_t keylen) {
  size_t n = e->keylen < keylen ? e->keylen : keylen;
  int c = memcmp(e->bytes, key, n);
  if (c) return c;
  if (e->keylen == keylen) return 0;
  return e->keylen < keylen ? -1 : 1;
}

// Index of an equal key (found = true) or the insertion point.
size_t Find(const char* key, size_t keylen, bool* found) {
  size_t lo = 0, hi = g_cache.count;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    int c = CompareKey(g_cache.table[mid], key, keylen);
    if (c == 0) {
      *found = true;
      return mid;
    }
    if (c < 0) lo = mid + 1;
    else hi = mid;
  }
  *found = false;
  return lo;
}

void RemoveAt(size_t i) {
  free(g_cache.table[i]);
  memmove(g_cache.table + i, g_cache.table + i + 1, (g_cache.count - i - 1) * sizeof(CacheEntry*));
  g_cache.count--;
}

CacheEntry* NewEntry(const char* key, size_t keylen, size_t datalen) {
  CacheEntry* e = (CacheEntry*)malloc(sizeof(CacheEntry) + keylen + datalen);
  if (!e) return nullptr;
  e->keylen = (uint32_t)keylen;
  e->datalen = 0;
  e->expiry = 0;
  memcpy(e->bytes, key, keylen);
  return e;
}

}  // namespace

void SpfCacheSetLocking(bool on) { g_cachelocking = on; }

size_t SpfCacheKey(const char* domain, char out[256]) {
  if (!domain) return 0;
  size_t len = strlen(domain);
  if (len >= 255) return 0;
  size_t n = 0;
  size_t end = len;
  // Labels from the last to the first; letters lower-cased.
  for (;;) {
    size_t start = end;
    while (start > 0 && domain[start - 1] != '.') start--;
    for (size_t i = start; i < end; i++) out[n++] = SpfToLower(domain[i]);
    if (start == 0) break;
    out[n++] = '.';
    end = start - 1;
  }
  return n;
}

bool SpfCacheLookup(const char* key, size_t keylen, int64_t now, std::string* record) {
  if (!keylen) return false;
  CacheGuard guard;
  bool found;
  size_t i = Find(key, keylen, &found);
  if (!found) return false;
  CacheEntry* e = g_cache.table[i];
  if (e->expiry < now) {
    RemoveAt(i);
    return false;
  }
  const char* data = e->bytes + e->keylen;
  size_t n = e->datalen;
  if (n && data[n - 1] == 0) n--;
  record->assign(data, n);
  return true;
}

int SpfCacheInsert(const char* key, size_t keylen, const char* data, uint32_t ttl, int64_t now) {
  if (!keylen) return SPF_TEMPERROR;
  if (ttl < 2 && ttl != 0) return 0;  // 0 means "never expires"
  int64_t expiry;
  if (ttl == 0 || ttl == 0x7FFFFFFF || now > INT64_MAX - (int64_t)ttl) expiry = INT64_MAX;
  else expiry = now + (int64_t)ttl;
  size_t datalen = strlen(data) + 1;
  CacheGuard guard;
  bool found;
  size_t i = Find(key, keylen, &found);
  if (found) {
    CacheEntry* e = g_cache.table[i];
    if (datalen > e->datalen) {
      CacheEntry* bigger = (CacheEntry*)realloc(e, sizeof(CacheEntry) + keylen + datalen);
      if (!bigger) {
        RemoveAt(i);
        return SPF_TEMPERROR;
      }
      e = g_cache.table[i] = bigger;
    }
    e->datalen = (uint32_t)datalen;
    e->expiry = expiry;
    memcpy(e->bytes + keylen, data, datalen);
    return 0;
  }
  if (g_cache.count == g_cache.capacity) {
    size_t cap = g_cache.capacity + kCacheGrowth;
    CacheEntry** t = (CacheEntry**)realloc(g_cache.table, cap * sizeof(CacheEntry*));
    if (!t) return SPF_TEMPERROR;
    g_cache.table = t;
    g_cache.capacity = cap;
  }
  CacheEntry* e = NewEntry(key, keylen, datalen);
  if (!e) return SPF_TEMPERROR;
  e->datalen = (uint32_t)datalen;
  e->expiry = expiry;
  memcpy(e->bytes + keylen, data, datalen);
  memmove(g_cache.table + i + 1, g_cache.table + i, (g_cache.count - i) * sizeof(CacheEntry*));
  g_cache.table[i] = e;
  g_cache.count++;
  return 0;
}

void SpfCacheDelete(const char* key, size_t keylen) {
  if (!keylen) return;
  CacheGuard guard;
  bool found;
  size_t i = Find(key, keylen, &found);
  if (found) RemoveAt(i);
}

void SpfCacheClear() {
  CacheGuard guard;
  for (size_t i = 0; i < g_cache.count; i++) free(g_cache.table[i]);
  g_cache.count = 0;
}

void SpfCachePurge(int32_t seconds, int64_t now) {
  int64_t limit;
  if (seconds == 0x7FFFFFFF) limit = INT64_MAX;
  else if (seconds > 0 && now > INT64_MAX - seconds) limit = INT64_MAX;
  else if (seconds < 0 && now < INT64_MIN - seconds) limit = INT64_MIN;
  else limit = now + seconds;
  CacheGuard guard;
  for (size_t i = g_cache.count; i-- > 0;) {
    if (g_cache.table[i]->expiry <= limit) RemoveAt(i);
  }
}

size_t SpfCacheCount() {
  CacheGuard guard;
  return g_cache.count;
}
