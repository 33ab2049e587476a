// In-process fake behind the resolver interface: answers from a table of
// (name, type) entries and counts the queries it was asked. Queries may
// come from several threads once the table is filled.
#pragma once
#include <strings.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "dns/resolver.h"

class FakeResolver : public dns::Resolver {
 public:
  struct Entry {
    int status = dns::kStatusOk;
    dns::RecordList records;
  };

  FakeResolver() { dns::setresolver(this); }
  ~FakeResolver() override { dns::setresolver(nullptr); }

  static std::string key(const std::string& name) {
    std::string k = name;
    while (!k.empty() && k.back() == '.') k.pop_back();
    for (auto& c : k) c = (char)tolower((unsigned char)c);
    return k;
  }

  // Sets the status of a (name, type) question (NXDOMAIN, SERVFAIL, ...).
  void status(const std::string& name, uint16_t type, int st) { table_[{key(name), type}].status = st; }

  dns::Record& add(const std::string& name, uint16_t type, dns::Section sec = dns::Section::Answer,
                   uint16_t qtype = 0) {
    Entry& e = table_[{key(name), qtype ? qtype : type}];
    dns::Record r;
    r.owner = key(name);
    r.type = type;
    r.section = sec;
    r.ttl = 300;
    e.records.push_back(r);
    return e.records.back();
  }
  void a(const std::string& name, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
    dns::Record& r = add(name, dns::kTypeA);
    r.addr[0] = b0; r.addr[1] = b1; r.addr[2] = b2; r.addr[3] = b3;
  }
  void txt(const std::string& name, std::vector<std::string> strings) {
    add(name, dns::kTypeTXT).strings = std::move(strings);
  }
  void ns(const std::string& name, const std::string& target) { add(name, dns::kTypeNS).target = target; }
  void ptr(const std::string& name, const std::string& target) { add(name, dns::kTypePTR).target = target; }
  void mx(const std::string& name, uint16_t pref, const std::string& target) {
    dns::Record& r = add(name, dns::kTypeMX);
    r.preference = pref;
    r.target = target;
  }

  int Query(const char* name, uint16_t type, unsigned, dns::RecordList* out) override {
    std::lock_guard<std::mutex> lock(lock_);
    queries++;
    asked.emplace_back(name ? name : "", type);
    out->clear();
    auto it = table_.find({key(name ? name : ""), type});
    if (it == table_.end()) return defaultstatus;
    if (it->second.status != dns::kStatusOk) return it->second.status;
    if (it->second.records.empty()) return dns::kStatusNoRecords;
    *out = it->second.records;
    return dns::kStatusOk;
  }

  void clear() {
    table_.clear();
    asked.clear();
    queries = 0;
  }

  int defaultstatus = dns::kStatusNameError;
  int queries = 0;
  std::vector<std::pair<std::string, uint16_t>> asked;

 private:
  std::map<std::pair<std::string, uint16_t>, Entry> table_;
  std::mutex lock_;
};
