// DNS access of the evaluator (status mapping, record fetch, MX order,
// validated names) and the record cache.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fakes/fake_resolver.h"
#include "spf/spf_internal.h"
#include "spf/wrenspf.h"

namespace {

// Answers "no records" first and then the status it was given.
class SecondChance : public dns::Resolver {
 public:
  SecondChance() { dns::setresolver(this); }
  ~SecondChance() override { dns::setresolver(nullptr); }
  int Query(const char*, uint16_t, unsigned options, dns::RecordList* out) override {
    optionsseen.push_back(options);
    if (optionsseen.size() == 1) return dns::kStatusNoRecords;
    if (second == dns::kStatusOk) {
      dns::Record r;
      r.type = dns::kTypeA;
      out->push_back(r);
    }
    return second;
  }
  int second = dns::kStatusOk;
  std::vector<unsigned> optionsseen;
};

TEST(SpfDnsQuery, RetryAndStatusMapping) {
  struct {
    int second;
    int want;
  } cases[] = {
      {dns::kStatusOk, -1},           {dns::kStatusNoRecords, SPF_NONE},  {dns::kStatusNameError, SPF_PERMERROR},
      {dns::kStatusServFail, SPF_TEMPERROR}, {dns::kStatusTimeout, SPF_TEMPERROR},
      {dns::kStatusFormErr, SPF_TEMPERROR},  {dns::kStatusBadPacket, SPF_TEMPERROR},
      {12345, SPF_PERMERROR},
  };
  for (const auto& c : cases) {
    SecondChance r;
    r.second = c.second;
    dns::RecordList list;
    EXPECT_EQ(SpfDnsQuery("example.org", dns::kTypeA, &list), c.want) << c.second;
    ASSERT_EQ(r.optionsseen.size(), 2u);
    EXPECT_EQ(r.optionsseen[0], (unsigned)dns::kOptTreatAsFqdn);
    EXPECT_EQ(r.optionsseen[1], (unsigned)(dns::kOptTreatAsFqdn | dns::kOptBypassCache));
    EXPECT_EQ(list.empty(), c.want != -1);
  }
}

TEST(SpfGetRecord, Cases) {
  FakeResolver fake;
  fake.txt("one.example", {"v=spf1 ip4:192.0.2.1", " -all"});
  fake.txt("one.example", {"other text"});
  fake.txt("two.example", {"v=spf1 -all"});
  fake.txt("two.example", {"V=SPF1 +all"});
  fake.txt("ten.example", {"v=spf10 -all"});
  fake.txt("bare.example", {"v=spf1"});
  fake.txt("empty.example", {});
  fake.txt("nul.example", {std::string("v=spf1 a\0b", 10)});
  fake.add("auth.example", dns::kTypeTXT, dns::Section::Authority).strings = {"v=spf1 -all"};
  fake.status("slow.example", dns::kTypeTXT, dns::kStatusTimeout);
  struct {
    const char* domain;
    int rc;
    const char* record;
  } cases[] = {
      {"one.example", -1, "v=spf1 ip4:192.0.2.1 -all"},
      {"two.example", SPF_PERMERROR, ""},
      {"ten.example", SPF_NONE, ""},
      {"bare.example", -1, "v=spf1"},
      {"empty.example", SPF_NONE, ""},
      {"auth.example", SPF_NONE, ""},
      {"slow.example", SPF_TEMPERROR, ""},
      {"missing.example", SPF_PERMERROR, ""},
  };
  for (const auto& c : cases) {
    std::string rec;
    EXPECT_EQ(SpfGetRecord(c.domain, &rec), c.rc) << c.domain;
    if (c.rc == -1) {
      EXPECT_EQ(rec, c.record) << c.domain;
    }
  }
  std::string rec;
  ASSERT_EQ(SpfGetRecord("nul.example", &rec), -1);
  EXPECT_EQ(rec.size(), 10u);
}

TEST(SpfGetMxNames, StableOrderAndEmptyNames) {
  FakeResolver fake;
  fake.mx("example.org", 20, "first.example.org");
  fake.mx("example.org", 10, "second.example.org.");
  fake.mx("example.org", 10, "third.example.org");
  fake.mx("example.org", 5, "");
  std::vector<std::string> names;
  dns::RecordList list;
  EXPECT_EQ(SpfGetMxNames("example.org", &names, &list), 3);
  EXPECT_EQ(names, (std::vector<std::string>{"second.example.org", "third.example.org", "first.example.org"}));
  EXPECT_EQ(SpfGetMxNames("nowhere.example", &names, &list), -SPF_PERMERROR);
  fake.mx("null.example", 0, "");
  EXPECT_EQ(SpfGetMxNames("null.example", &names, &list), -SPF_NONE);
}

TEST(SpfReverseName, Forms) {
  char buf[80];
  uint8_t v4[4] = {192, 0, 2, 1};
  SpfReverseName(false, v4, buf);
  EXPECT_STREQ(buf, "1.2.0.192.in-addr.arpa");
  uint8_t v6[16];
  ASSERT_NE(SpfParseIPv6("2001:db8::1", v6, 0), nullptr);
  SpfReverseName(true, v6, buf);
  EXPECT_STREQ(buf, "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.B.D.0.1.0.0.2.ip6.arpa");
}

class ValidatedName : public ::testing::Test {
 protected:
  void SetUp() override { SpfInit(0, 0, 0); }
  void TearDown() override { SpfCleanup(); }
  int Lookup(const char* domain, unsigned flags, std::string* name) {
    char out[256] = "untouched";
    int rc = SpfLookupValidatedName(false, addr, out, sizeof out, domain, flags);
    *name = out;
    return rc;
  }
  FakeResolver fake;
  uint8_t addr[4] = {192, 0, 2, 1};
  const char* rev = "1.2.0.192.in-addr.arpa";
};

TEST_F(ValidatedName, TiersAndFallback) {
  fake.ptr(rev, "any.example.net");
  fake.ptr(rev, "mail.example.org");
  fake.ptr(rev, "example.org");
  fake.a("any.example.net", 192, 0, 2, 1);
  fake.a("mail.example.org", 192, 0, 2, 1);
  fake.a("example.org", 192, 0, 2, 1);
  std::string name;
  EXPECT_EQ(Lookup("example.org", 1 | 2 | 4 | 8, &name), 0);
  EXPECT_EQ(name, "example.org");
  EXPECT_EQ(Lookup("example.org", 1 | 2 | 8, &name), 0);
  EXPECT_EQ(name, "mail.example.org");
  EXPECT_EQ(Lookup("example.org", 1 | 8, &name), 0);
  EXPECT_EQ(name, "any.example.net");
  EXPECT_EQ(Lookup("other.example", 2 | 8, &name), -1);
  EXPECT_EQ(name, "Unknown");
  // Nothing confirms: flag 16 answers the first candidate unconfirmed.
  fake.clear();
  fake.ptr(rev, "liar.example.net");
  fake.a("liar.example.net", 198, 51, 100, 1);
  EXPECT_EQ(Lookup(nullptr, 1 | 16, &name), 2);
  EXPECT_EQ(name, "liar.example.net");
  EXPECT_EQ(Lookup(nullptr, 1 | 8, &name), -1);
  // PTR failures.
  fake.clear();
  EXPECT_EQ(Lookup(nullptr, 1 | 16, &name), SPF_PERMERROR);
  EXPECT_EQ(name, "Unknown");
  EXPECT_EQ(Lookup(nullptr, 1 | 8, &name), -1);
  fake.status(rev, dns::kTypePTR, dns::kStatusTimeout);
  EXPECT_EQ(Lookup(nullptr, 1, &name), SPF_TEMPERROR);
  // Public operation.
  fake.clear();
  fake.ptr(rev, "host.example.org");
  fake.a("host.example.org", 192, 0, 2, 1);
  char out[64];
  EXPECT_EQ(SpfGetHostName(SPF_FAMILY_IPV4, addr, out, sizeof out, "example.org"), 0);
  EXPECT_STREQ(out, "host.example.org");
  char small[5];
  EXPECT_EQ(SpfGetHostName(SPF_FAMILY_IPV4, addr, small, sizeof small, nullptr), 0);
  EXPECT_STREQ(small, "host");
  EXPECT_EQ(SpfGetHostName(7, addr, out, sizeof out, nullptr), SPF_PERMERROR);
  EXPECT_EQ(SpfGetHostName(SPF_FAMILY_IPV4, nullptr, out, sizeof out, nullptr), SPF_PERMERROR);
}

TEST_F(ValidatedName, AtMostTwentyConfirmationsPerTier) {
  for (int i = 0; i < 25; i++) {
    std::string n = "h" + std::to_string(i) + ".example.net";
    fake.ptr(rev, n);
    fake.a(n, 198, 51, 100, (uint8_t)i);
  }
  std::string name;
  EXPECT_EQ(Lookup(nullptr, 1 | 8, &name), -1);
  int aqueries = 0;
  for (const auto& [n, type] : fake.asked) aqueries += type == dns::kTypeA;
  EXPECT_EQ(aqueries, 20);
  // The 21st name would have confirmed, but the tier ended before it.
  fake.a("h20.example.net", 192, 0, 2, 1);
  EXPECT_EQ(Lookup(nullptr, 1 | 8, &name), -1);
  EXPECT_EQ(Lookup(nullptr, 1, &name), 0);
  EXPECT_EQ(name, "h20.example.net");
}

TEST(SpfHostAddress, Outcomes) {
  SpfInit(0, 0, 0);
  FakeResolver fake;
  fake.a("host.example.org", 192, 0, 2, 1);
  fake.status("slow.example.org", dns::kTypeA, dns::kStatusTimeout);
  uint8_t want[4] = {192, 0, 2, 1};
  uint32_t v;
  memcpy(&v, want, 4);
  EXPECT_EQ(SpfGetHostAddress("host.example.org"), v);
  EXPECT_EQ(SpfGetHostAddress("gone.example.org"), 0u);
  EXPECT_EQ(SpfGetHostAddress("slow.example.org"), 0xFFFFFFFFu);
  EXPECT_EQ(SpfGetHostAddress(nullptr), 0xFFFFFFFFu);
  SpfCleanup();
}

class CacheTest : public ::testing::Test {
 protected:
  static int64_t Clock() { return now; }
  void SetUp() override {
    now = 1000000;
    g_spf_clock = Clock;
    SpfInit(0, 0, 0);
    SpfSetCachedRecord(nullptr, nullptr, 0);
  }
  void TearDown() override {
    SpfSetCachedRecord(nullptr, nullptr, 0);
    SpfCleanup();
    g_spf_clock = saved;
  }
  std::string Get(const char* domain) {
    char key[256];
    size_t n = SpfCacheKey(domain, key);
    std::string rec;
    return SpfCacheLookup(key, n, now, &rec) ? rec : "-";
  }
  static inline int64_t now = 0;
  int64_t (*saved)() = g_spf_clock;
};

TEST_F(CacheTest, Keys) {
  char key[256];
  size_t n = SpfCacheKey("mail.Example.COM", key);
  EXPECT_EQ(std::string(key, n), "com.example.mail");
  n = SpfCacheKey("single", key);
  EXPECT_EQ(std::string(key, n), "single");
  EXPECT_EQ(SpfCacheKey(std::string(255, 'a').c_str(), key), 0u);
  EXPECT_EQ(SpfCacheKey(std::string(254, 'a').c_str(), key), 254u);
}

TEST_F(CacheTest, StoreExpireDeletePurge) {
  EXPECT_EQ(SpfSetCachedRecord("a.example", "v=spf1 -all", 60), 0);
  EXPECT_EQ(SpfSetCachedRecord("b.example", "v=spf1 +all", 1), 0);  // too short: not stored
  EXPECT_EQ(SpfSetCachedRecord("c.example", "v=spf1 ?all", 0), 0);  // never expires
  EXPECT_EQ(SpfSetCachedRecord("d.example", "v=spf1 ~all", 0x7FFFFFFF), 0);
  EXPECT_EQ(SpfCacheCount(), 3u);
  EXPECT_EQ(Get("A.EXAMPLE"), "v=spf1 -all");
  EXPECT_EQ(Get("b.example"), "-");
  // Replacing with a longer and a shorter record.
  EXPECT_EQ(SpfSetCachedRecord("a.example", "v=spf1 ip4:192.0.2.0/24 -all", 60), 0);
  EXPECT_EQ(Get("a.example"), "v=spf1 ip4:192.0.2.0/24 -all");
  EXPECT_EQ(SpfSetCachedRecord("a.example", "v=spf1 -all", 60), 0);
  EXPECT_EQ(Get("a.example"), "v=spf1 -all");
  EXPECT_EQ(SpfCacheCount(), 3u);
  // Expiry: still there at the last second, removed after it.
  now += 60;
  EXPECT_EQ(Get("a.example"), "v=spf1 -all");
  now += 1;
  EXPECT_EQ(Get("a.example"), "-");
  EXPECT_EQ(SpfCacheCount(), 2u);
  EXPECT_EQ(SpfSetCachedRecord("e.example", "v=spf1 -all", 100), 0);
  SpfPurgeCache(99);
  EXPECT_EQ(SpfCacheCount(), 3u);
  SpfPurgeCache(100);
  EXPECT_EQ(SpfCacheCount(), 2u);
  SpfPurgeCache(-5);
  EXPECT_EQ(SpfCacheCount(), 2u);
  EXPECT_EQ(SpfSetCachedRecord("c.example", nullptr, 0), 0);
  EXPECT_EQ(Get("c.example"), "-");
  SpfPurgeCache(0x7FFFFFFF);
  EXPECT_EQ(SpfCacheCount(), 0u);
  EXPECT_EQ(SpfSetCachedRecord(std::string(300, 'x').c_str(), "v=spf1 -all", 60), SPF_TEMPERROR);
  EXPECT_EQ(SpfSetCachedRecord("x.example", "spf1", 60), SPF_PERMERROR);
}

TEST_F(CacheTest, ManyEntriesStaySorted) {
  for (int i = 999; i >= 0; i--) {
    std::string d = "h" + std::to_string(i) + ".example";
    std::string r = "v=spf1 ip4:10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256);
    ASSERT_EQ(SpfSetCachedRecord(d.c_str(), r.c_str(), 3600), 0);
  }
  EXPECT_EQ(SpfCacheCount(), 1000u);
  for (int i = 0; i < 1000; i += 37) {
    std::string d = "h" + std::to_string(i) + ".example";
    EXPECT_EQ(Get(d.c_str()), "v=spf1 ip4:10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256));
  }
  EXPECT_EQ(Get("h1000.example"), "-");
  // A key that is a prefix of another sorts first and both are found.
  ASSERT_EQ(SpfSetCachedRecord("example", "v=spf1 -all", 60), 0);
  ASSERT_EQ(SpfSetCachedRecord("ample", "v=spf1 +all", 60), 0);
  EXPECT_EQ(Get("example"), "v=spf1 -all");
  EXPECT_EQ(Get("ample"), "v=spf1 +all");
}

}  // namespace
