// The process-wide answer cache over a scripted resolver and a test clock
// (the steps of cache_steps.txt), and the NameServer list, parsed once for
// both resolver backends (nameservers.txt).
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fakes/fake_resolver.h"
#include "dns/cache.h"
#include "dns/nameservers.h"
#include "dns/resolver.h"
#include "util/cases.h"

namespace {

std::atomic<int64_t> g_now{1000000};
int64_t testclock() { return g_now.load(); }

// The fake, with the SOA-derived time of negative answers set per name.
class NegFake : public FakeResolver {
 public:
  void QueryBatch(dns::Lookup* items, size_t count) override {
    FakeResolver::QueryBatch(items, count);
    for (size_t i = 0; i < count; i++)
      if (items[i].name.rfind("soa", 0) == 0) items[i].negttl = 60;
  }
};

TEST(DnsCache, KeepsAnswersForTheirTimeAndFailuresNever) {
  NegFake inner;
  dns::setresolver(nullptr);  // the cache asks `inner` itself
  inner.a("short.test", 192, 0, 2, 1);
  inner.a("long.test", 192, 0, 2, 2);
  inner.add("short.test", dns::kTypeA).ttl = 30;  // the smallest TTL counts
  inner.add("huge.test", dns::kTypeA).ttl = 86400 * 7;  // kept an hour at most
  inner.status("fail.test", dns::kTypeA, dns::kStatusServFail);
  inner.status("slow.test", dns::kTypeA, dns::kStatusTimeout);
  dns::CachingResolver cache(inner, 100, testclock);

  const std::map<std::string, int> statuses = {{"0", 0}, {"nxdomain", dns::kStatusNameError},
      {"servfail", dns::kStatusServFail}, {"timeout", dns::kStatusTimeout}};
  ForEachCase("cache_steps.txt", [&](const std::string& line) {
    std::vector<std::string> w = Words(line);
    ASSERT_EQ(w.size(), 4u);
    g_now += std::stoll(w[0]) * 1000;
    int before = inner.queries;
    dns::RecordList out;
    EXPECT_EQ(cache.Query(w[1].c_str(), dns::kTypeA, 0, &out), statuses.at(w[2]));
    EXPECT_EQ(inner.queries != before, w[3] == "asked");
    EXPECT_EQ(out.empty(), w[2] != "0");
  });
  // A query that bypasses the cache is always asked.
  int before = inner.queries;
  dns::RecordList out;
  cache.Query("long.test", dns::kTypeA, dns::kOptBypassCache, &out);
  EXPECT_EQ(inner.queries, before + 1);
}

TEST(DnsCache, EvictsTheLeastRecentlyUsed) {
  NegFake inner;
  dns::setresolver(nullptr);
  for (int i = 0; i < 50; i++) inner.a("n" + std::to_string(i) + ".test", 192, 0, 2, (uint8_t)i);
  dns::CachingResolver cache(inner, 10, testclock);
  dns::RecordList out;
  for (int i = 0; i < 50; i++) {
    cache.Query(("n" + std::to_string(i) + ".test").c_str(), dns::kTypeA, 0, &out);
    cache.Query("n0.test", dns::kTypeA, 0, &out);  // kept in use
  }
  EXPECT_EQ(cache.stats().entries, 10u);
  int before = inner.queries;
  cache.Query("n0.test", dns::kTypeA, 0, &out);
  cache.Query("n49.test", dns::kTypeA, 0, &out);
  EXPECT_EQ(inner.queries, before);
  cache.Query("n1.test", dns::kTypeA, 0, &out);
  EXPECT_EQ(inner.queries, before + 1);
}

// Many threads through one cache (run under ThreadSanitizer too).
TEST(DnsCache, SharedByThreads) {
  NegFake inner;
  dns::setresolver(nullptr);
  for (int i = 0; i < 20; i++) inner.a("t" + std::to_string(i) + ".test", 192, 0, 2, (uint8_t)i);
  dns::CachingResolver cache(inner, 8, testclock);
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; i++) {
        dns::Lookup l[2];
        l[0].name = "t" + std::to_string((i + t) % 20) + ".test";
        l[1].name = "t" + std::to_string(i % 20) + ".test";
        l[0].type = l[1].type = dns::kTypeA;
        cache.QueryBatch(l, 2);
        if (l[0].status == 0 && l[1].status == 0 && l[0].records.size() == 1) good++;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), 800);
  dns::CachingResolver::Stats st = cache.stats();
  EXPECT_EQ(st.hits + st.misses, 1600u);
  EXPECT_LE(st.entries, 8u);
}

// The parsed servers as "a.b.c.d:port ..." or "bad".
std::string parsed(const char* list) {
  dns::NameServer s[dns::kMaxNameServers];
  int n = dns::parsenameservers(list, s, dns::kMaxNameServers);
  if (n < 0) return "bad";
  std::string text;
  for (int i = 0; i < n; i++) {
    if (i) text += ' ';
    for (int b = 0; b < 4; b++) text += std::to_string(s[i].addr[b]) + (b < 3 ? "." : "");
    text += ":" + std::to_string(s[i].port);
  }
  return text;
}

TEST(NameServerList, Table) {
  EXPECT_EQ(parsed(nullptr), "");
  ForEachCase("nameservers.txt", [](const std::string& line) {
    std::vector<std::string> w = Words(line);
    std::string want;
    for (size_t i = 1; i < w.size(); i++) want += (i > 1 ? " " : "") + w[i];
    EXPECT_EQ(parsed(w[0].c_str()), want);
  });
  // A list that is not understood leaves the backend's servers alone.
  EXPECT_EQ(dns::setnameservers("bogus"), 0);
  EXPECT_EQ(dns::setnameservers("127.0.0.1"), 1);
  EXPECT_EQ(dns::setnameservers(""), 1);
}

}  // namespace
