// The answers of one record's analysis. Installed as the analysing thread's
// resolver, it asks each question once per record (the HELO walk, the URI
// checks and the SPF check meet the same names), lets the analysis put its
// independent questions in flight together, and makes every question fail
// as a time-out once the record's deadline has passed (answers it has
// already keep counting).
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "dns/resolver.h"

using Question = std::pair<std::string, uint16_t>;

class RecordMemo : public dns::Resolver {
 public:
  // Asks `inner`; installs itself as the calling thread's resolver until
  // destroyed.
  explicit RecordMemo(dns::Resolver& inner);
  ~RecordMemo() override;
  RecordMemo(const RecordMemo&) = delete;
  RecordMemo& operator=(const RecordMemo&) = delete;

  int Query(const char* name, uint16_t type, unsigned options, dns::RecordList* out) override;
  void QueryBatch(dns::Lookup* items, size_t count) override;
  bool abandoned() override { return inner_.abandoned(); }

  // Asks the questions not answered yet, all at once.
  void prefetch(const std::vector<Question>& questions);

 private:
  struct Answer {
    int status;
    dns::RecordList records;
  };
  dns::Resolver& inner_;
  std::map<Question, Answer> answers_;
};

// prefetch() of the calling thread's RecordMemo; nothing without one.
void prefetch(const std::vector<Question>& questions);

// The process-wide switch for prefetch(): off, the analysis asks one
// question after the other as it needs them (the reference for tests).
void setprefetch(int on);
int prefetching();
