// Counting in bounded memory. A month of daily files holds tens of millions
// of lines and, from bots, nearly as many distinct HELO names or addresses:
// no table here grows beyond its capacity. When one is full, the weakest
// quarter of its keys goes (batched Misra-Gries): every count is lowered by
// the count at that quarter, and keys at zero leave. Counts of the keys that
// stay are then lower bounds, short by at most (all additions) / (capacity
// / 4); the table says so through lowered(). Heavy keys survive; only keys
// that came rarely can be missed.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// Keys of a string tally (countries, HELO names, zones ...).
constexpr size_t kTallyKeys = 4096;
// Addresses of the client table.
constexpr size_t kClientKeys = 1u << 19;

template <typename Key, typename Value, typename Hash = std::hash<Key>, typename Eq = std::equal_to<>>
class BoundedTable {
 public:
  explicit BoundedTable(size_t capacity) : cap_(capacity < 4 ? 4 : capacity) {}

  // The value of `key`, made when missing; null when the table is full of
  // keys that must stay (Value::keep()).
  template <typename K>
  Value* get(const K& key) {
    auto it = map_.find(key);
    if (it != map_.end()) return &it->second;
    if (map_.size() >= cap_ && !makeroom()) {
      untracked_++;
      return nullptr;
    }
    return &map_.emplace(Key(key), Value{}).first->second;
  }

  // The `k` keys with the highest counts, highest first (ties by key).
  std::vector<std::pair<Key, Value>> top(size_t k) const {
    std::vector<std::pair<Key, Value>> all(map_.begin(), map_.end());
    auto higher = [](const auto& a, const auto& b) {
      return a.second.count != b.second.count ? a.second.count > b.second.count : a.first < b.first;
    };
    k = std::min(k, all.size());
    std::partial_sort(all.begin(), all.begin() + (long)k, all.end(), higher);
    all.resize(k);
    return all;
  }

  template <typename Fn>
  void each(Fn fn) const {
    for (const auto& kv : map_) fn(kv.first, kv.second);
  }

  size_t size() const { return map_.size(); }
  bool lowered() const { return lowered_; }
  // Keys that found no room at all (the table held only keys to keep).
  uint64_t untracked() const { return untracked_; }

 private:
  bool makeroom() {
    std::vector<uint64_t> counts;
    counts.reserve(map_.size());
    for (const auto& kv : map_)
      if (!kv.second.keep()) counts.push_back(kv.second.count);
    if (counts.empty()) return false;
    size_t q = std::min(counts.size() - 1, cap_ / 4);
    std::nth_element(counts.begin(), counts.begin() + (long)q, counts.end());
    uint64_t cut = counts[q];
    for (auto it = map_.begin(); it != map_.end();) {
      Value& v = it->second;
      if (v.keep()) {
        ++it;
      } else if (v.count <= cut) {
        it = map_.erase(it);
      } else {
        v.count -= cut;
        ++it;
      }
    }
    lowered_ = true;
    return map_.size() < cap_;
  }

  size_t cap_;
  std::unordered_map<Key, Value, Hash, Eq> map_;
  bool lowered_ = false;
  uint64_t untracked_ = 0;
};

struct TallyCount {
  uint64_t count = 0;
  bool keep() const { return false; }
};

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// Occurrences of text keys, with the total of everything counted.
class Tally {
 public:
  explicit Tally(size_t capacity = kTallyKeys) : table_(capacity) {}
  void add(std::string_view key, uint64_t n = 1) {
    total_ += n;
    if (TallyCount* c = table_.get(key)) c->count += n;
  }
  std::vector<std::pair<std::string, uint64_t>> top(size_t k) const {
    std::vector<std::pair<std::string, uint64_t>> out;
    for (auto& kv : table_.top(k)) out.emplace_back(kv.first, kv.second.count);
    return out;
  }
  uint64_t count(std::string_view key) const {
    uint64_t n = 0;
    table_.each([&](const std::string& k, const TallyCount& c) {
      if (k == key) n = c.count;
    });
    return n;
  }
  uint64_t total() const { return total_; }
  size_t size() const { return table_.size(); }
  bool lowered() const { return table_.lowered(); }

 private:
  BoundedTable<std::string, TallyCount, StringHash> table_;
  uint64_t total_ = 0;
};
