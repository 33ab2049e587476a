#include "analysis/recordmemo.h"

#include <atomic>

namespace {
std::atomic<int> g_prefetch{1};
thread_local RecordMemo* t_memo = nullptr;
}  // namespace

void prefetch(const std::vector<Question>& questions) {
  if (t_memo != nullptr) t_memo->prefetch(questions);
}

void setprefetch(int on) { g_prefetch.store(on ? 1 : 0); }
int prefetching() { return g_prefetch.load(); }

RecordMemo::RecordMemo(dns::Resolver& inner) : inner_(inner) {
  dns::setthreadresolver(this);
  t_memo = this;
}

RecordMemo::~RecordMemo() {
  dns::setthreadresolver(nullptr);
  t_memo = nullptr;
}

int RecordMemo::Query(const char* name, uint16_t type, unsigned options, dns::RecordList* out) {
  out->clear();
  if (name == nullptr) return dns::kStatusInvalidName;
  Question q(name, type);
  auto it = answers_.find(q);
  if (it != answers_.end() && !(options & dns::kOptBypassCache)) {
    *out = it->second.records;
    return it->second.status;
  }
  // Past the deadline only what is known already counts.
  if (dns::pastdeadline()) return dns::kStatusTimeout;
  int status = inner_.Query(name, type, options, out);
  answers_[q] = Answer{status, *out};
  return status;
}

void RecordMemo::QueryBatch(dns::Lookup* items, size_t count) {
  for (size_t i = 0; i < count; i++)
    items[i].status = Query(items[i].name.c_str(), items[i].type, items[i].options, &items[i].records);
}

void RecordMemo::prefetch(const std::vector<Question>& questions) {
  if (!prefetching() || dns::pastdeadline()) return;
  std::vector<dns::Lookup> batch;
  for (const Question& q : questions) {
    if (answers_.count(q)) continue;
    bool repeated = false;
    for (const dns::Lookup& l : batch) repeated = repeated || (l.name == q.first && l.type == q.second);
    if (repeated) continue;
    dns::Lookup l;
    l.name = q.first;
    l.type = q.second;
    l.options = dns::kOptTreatAsFqdn;
    batch.push_back(std::move(l));
  }
  if (batch.empty()) return;
  inner_.QueryBatch(batch.data(), batch.size());
  for (dns::Lookup& l : batch) answers_[Question(l.name, l.type)] = Answer{l.status, std::move(l.records)};
}
