// Runs SPF checks written as data through SpfCheckHost, each scenario's zone
// served by the fake resolver: our own cases (cases.txt, whose header gives
// the format) and the public conformance suites, converted into the same
// format at build time by spf_suite_convert.py. Suite tests whose expected
// result this evaluator deliberately does not give are listed in
// conformance-departures.txt; the run fails for an unlisted failure and for
// a listed test that passes. Then the library's entry points beyond the
// checks: argument checks, the DNS status mapping, validated host names, the
// record cache (cache_steps.txt) and hostile records that must stay cheap.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_resolver.h"
#include "spf/spf_internal.h"
#include "spf/wrenspf.h"
#include "util/cases.h"

namespace {

struct Check {
  std::string where, id, client, mailfrom, helo, explanation;
  std::vector<std::string> settings;  // "set" lines in force, in order
  std::vector<std::string> results;
  bool hasexplanation = false;
  int maxqueries = -1;
  size_t scenario = 0;
};

using Zone = std::map<std::string, std::vector<std::vector<std::string>>>;  // name -> [TYPE, data...]

struct Cases {
  std::vector<Zone> zones;
  std::vector<Check> checks;
};

std::vector<std::string> Split(const std::string& s) {
  std::vector<std::string> v;
  for (size_t start = 0, comma;; start = comma + 1) {
    comma = s.find(',', start);
    v.push_back(s.substr(start, comma - start));
    if (comma == std::string::npos) return v;
  }
}

Cases Load(const char* path) {
  Cases c;
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << path;
  std::string line, suite;
  std::vector<std::string> settings;
  for (int n = 1; std::getline(in, line); n++) {
    std::vector<std::string> w = Words(line);
    if (w.empty() || w[0][0] == '#') continue;
    if (w[0] == "suite") {
      suite = w[1] + ":";
    } else if (w[0] == "==") {
      c.zones.emplace_back();
      settings.clear();
    } else if (w[0] == "set") {
      settings.push_back(line);
    } else if (w[0] == "queries") {
      c.checks.back().maxqueries = atoi(w[1].c_str());
    } else if (w[0] == "check") {
      Check t;
      t.where = std::string(path) + ":" + std::to_string(n);
      t.id = suite.empty() ? t.where : suite + w[1];
      t.client = w[2];
      t.mailfrom = w[3];
      t.helo = w[4];
      t.results = Split(w[5]);
      t.hasexplanation = w.size() > 6;
      if (t.hasexplanation) t.explanation = w[6] == "DEFAULT" ? "" : w[6];
      t.settings = settings;
      t.scenario = c.zones.size() - 1;
      c.checks.push_back(t);
    } else {
      c.zones.back()[FakeResolver::key(w[0])].emplace_back(w.begin() + 1, w.end());
    }
  }
  return c;
}

std::string StripDot(std::string s) {
  if (!s.empty() && s.back() == '.') s.pop_back();
  return s;
}

uint16_t TypeCode(const std::string& t) {
  static const std::map<std::string, uint16_t> codes = {
      {"A", dns::kTypeA}, {"AAAA", dns::kTypeAAAA}, {"MX", dns::kTypeMX}, {"PTR", dns::kTypePTR},
      {"TXT", dns::kTypeTXT}};
  auto it = codes.find(t);
  return it == codes.end() ? 0 : it->second;
}

// Appends the answer records of (name, type), following CNAMEs. Returns the
// status the name answers with.
int Resolve(const Zone& zone, const std::string& name, uint16_t type, dns::RecordList* out, int depth) {
  auto it = zone.find(FakeResolver::key(name));
  if (it == zone.end()) return dns::kStatusNameError;
  if (depth > 8) return dns::kStatusServFail;  // CNAME loop
  static const std::map<std::string, int> statuses = {{"SERVFAIL", dns::kStatusServFail},
      {"NXDOMAIN", dns::kStatusNameError}, {"NODATA", dns::kStatusNoRecords}, {"TIMEOUT", dns::kStatusTimeout}};
  bool spfhidden = false, timeout = false;
  for (const auto& r : it->second) {
    spfhidden |= r[0] == "TXT" || r[0] == "TXTNONE";
    timeout |= r[0] == "TIMEOUT" && r.size() == 1;
    if (r.size() == 2 && statuses.count(r[0]) && TypeCode(r[1]) == type) return statuses.at(r[0]);
  }
  size_t before = out->size();
  for (const auto& r : it->second) {
    dns::Record rec;
    rec.owner = FakeResolver::key(name);
    rec.ttl = 300;
    rec.type = r[0] == "SPF" ? (uint16_t)dns::kTypeTXT : TypeCode(r[0]);
    if (r[0] == "CNAME") {
      rec.type = dns::kTypeCNAME;
      rec.target = StripDot(r[1]);
      out->push_back(rec);
      return Resolve(zone, rec.target, type, out, depth + 1);
    }
    if (r[0] == "ADD" && type == dns::kTypeMX) {  // an address in the additional section
      rec.section = dns::Section::Additional;
      rec.owner = r[1];
      rec.type = SpfParseAddress(r[2].c_str(), SPF_FAMILY_IPV4, rec.addr) ? dns::kTypeA : dns::kTypeAAAA;
      SpfParseAddress(r[2].c_str(), SPF_FAMILY_IPV6, rec.addr);
      out->push_back(rec);
      continue;
    }
    if (rec.type != type || (r[0] == "SPF" && spfhidden)) continue;
    if (type == dns::kTypeA || type == dns::kTypeAAAA) {
      const char* end = SpfParseAddress(r[1].c_str(), type == dns::kTypeA ? SPF_FAMILY_IPV4 : SPF_FAMILY_IPV6,
                                        rec.addr);
      if (end == nullptr || *end) continue;
    } else if (type == dns::kTypeMX) {
      rec.preference = (uint16_t)atoi(r[1].c_str());
      rec.target = StripDot(r[2]);
    } else if (type == dns::kTypePTR) {
      rec.target = StripDot(r[1]);
    } else {
      rec.strings.assign(r.begin() + 1, r.end());
    }
    out->push_back(rec);
  }
  if (out->size() > before) return dns::kStatusOk;
  return timeout ? dns::kStatusTimeout : dns::kStatusNoRecords;
}

// Loads a zone into the fake: every name answers every type the evaluator asks.
void LoadZone(FakeResolver* fake, const Zone& zone) {
  fake->clear();
  for (const auto& entry : zone) {
    for (uint16_t type : {dns::kTypeA, dns::kTypeAAAA, dns::kTypeMX, dns::kTypePTR, dns::kTypeTXT}) {
      dns::RecordList list;
      int st = Resolve(zone, entry.first, type, &list, 0);
      if (st != dns::kStatusOk) fake->status(entry.first, type, st);
      for (const dns::Record& r : list) fake->add(entry.first, r.type, r.section, type) = r;
    }
  }
}

// The evaluator's state for a check: no local policies unless set.
void Configure(const std::vector<std::string>& settings) {
  SpfCleanup();
  SpfInit(0, 0, 0);
  SpfSetLocalHost("receiver.example.net");
  SpfSetCachedRecord(nullptr, nullptr, 0);
  for (const std::string& line : settings) {
    std::vector<std::string> w = Words(line);
    if (w[1] == "bestguess") SpfSetBestGuess(w[2].c_str(), w.size() > 3 ? w[3].c_str() : nullptr);
    if (w[1] == "whitelist") SpfSetWhitelist(w[2].c_str());
    if (w[1] == "cached") SpfSetCachedRecord(w[2].c_str(), w[3].c_str(), 3600);
  }
}

std::map<std::string, std::string> LoadDepartures() {
  std::map<std::string, std::string> m;
  ForEachCase("conformance-departures.txt", [&](const std::string& line) {
    size_t sp = line.find(' ');
    m[line.substr(0, sp)] = sp == std::string::npos ? "" : line.substr(sp + 1);
  });
  return m;
}

class SpfCases : public ::testing::TestWithParam<const char*> {};

TEST_P(SpfCases, GiveTheirResults) {
  Cases cases = Load(GetParam());
  ASSERT_FALSE(cases.checks.empty());
  std::map<std::string, std::string> departures = LoadDepartures();
  FakeResolver fake;
  std::set<std::string> seen, suites;
  for (const Check& t : cases.checks) {
    Configure(t.settings);
    LoadZone(&fake, cases.zones[t.scenario]);
    uint8_t addr[16];
    int family = SPF_FAMILY_IPV4;
    if (!SpfParseAddress(t.client.c_str(), family, addr)) family = SPF_FAMILY_IPV6;
    ASSERT_TRUE(SpfParseAddress(t.client.c_str(), family, addr)) << t.where;
    char* explanation = nullptr;
    int r = SpfCheckHost(family, addr, t.mailfrom.c_str(), nullptr, t.helo.c_str(), nullptr, &explanation);
    std::string verdict = SpfResultText(r), got = explanation ? explanation : "";
    free(explanation);
    for (char& ch : verdict) ch = (char)tolower((unsigned char)ch);
    bool ok = false;
    for (const std::string& e : t.results) ok = ok || e == verdict || e == std::to_string(r);
    ok = ok && (!t.hasexplanation || got == t.explanation);
    seen.insert(t.id);
    suites.insert(t.id.substr(0, t.id.find(':') + 1));
    const bool departure = departures.count(t.id) != 0;
    EXPECT_TRUE(ok || departure) << t.where << " " << t.id << ": got " << verdict << " (code " << r
                                 << ", explanation \"" << got << "\")";
    EXPECT_FALSE(ok && departure) << t.id << " is listed as a departure but now passes";
    if (t.maxqueries >= 0) {
      EXPECT_LE(fake.queries, t.maxqueries) << t.where;
    }
  }
  for (const auto& d : departures) {
    const std::string suite = d.first.substr(0, d.first.find(':') + 1);
    if (suites.count(suite) && !seen.count(d.first)) ADD_FAILURE() << d.first << " is listed but not in its suite";
  }
  SpfCleanup();
}

INSTANTIATE_TEST_SUITE_P(Data, SpfCases, ::testing::Values(SPF_CASES_FILE, SPF_SUITE_FILE));

class SpfApi : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(SpfInit(0, 0, 0), 0); }
  void TearDown() override {
    SpfSetCachedRecord(nullptr, nullptr, 0);
    SpfCleanup();
  }
  int Check(const char* sender, const char* record = nullptr, char** explanation = nullptr) {
    return SpfCheckHost(SPF_FAMILY_IPV4, v4, sender, record, "h.example", nullptr, explanation);
  }
  FakeResolver fake;
  uint8_t v4[4] = {192, 0, 2, 7};
};

TEST_F(SpfApi, ArgumentsAndSetters) {
  EXPECT_EQ(SpfCheckHost(10, v4, "u@example.org", nullptr, nullptr, nullptr, nullptr), SPF_PERMERROR);
  EXPECT_EQ(SpfCheckHost(SPF_FAMILY_IPV4, nullptr, "u@example.org", nullptr, nullptr, nullptr, nullptr),
            SPF_PERMERROR);
  EXPECT_EQ(SpfCheckHost(SPF_FAMILY_IPV4, v4, nullptr, nullptr, nullptr, nullptr, nullptr), SPF_PERMERROR);
  EXPECT_EQ(SpfCheckHost(SPF_FAMILY_IPV4, v4, "", nullptr, "", nullptr, nullptr), SPF_PERMERROR);
  // A supplied record replaces DNS at the top level.
  EXPECT_EQ(Check("u@example.org", "v=spf1 -all"), SPF_FAIL);
  EXPECT_EQ(Check("u@example.org", "spf1 -all"), SPF_PERMERROR);
  // Without an explanation pointer the exp modifier is not even expanded.
  EXPECT_EQ(Check("u@example.org", "v=spf1 -all exp=%{x}"), SPF_FAIL);
  EXPECT_EQ(SpfSetBestGuess("v=spf1a", "v=spf1 -all"), SPF_PERMERROR);
  EXPECT_EQ(SpfSetWhitelist("include:x"), SPF_PERMERROR);
  EXPECT_EQ(SpfSetWhitelist(""), 0);
  EXPECT_EQ(SpfSetLocalHost(""), 0);
  EXPECT_EQ(SpfSetCachedRecord("a.example", "bad", 60), SPF_PERMERROR);
  EXPECT_EQ(SpfSetCachedRecord(std::string(300, 'x').c_str(), "v=spf1 -all", 60), SPF_TEMPERROR);
  for (int code : {7, -1}) EXPECT_STREQ(SpfResultText(code), "unknown");
}

// What the analysis prefetches is the domain whose record the check asks first.
TEST_F(SpfApi, FirstDomainIsWhatTheCheckAsksFirst) {
  const char* cases[][3] = {{"u@example.org", "h.example", "example.org"},
                            {"", "h.example", "h.example"},
                            {"example.net", "", "example.net"},
                            {"@hop.example,@b.example:u@example.org", "h.example", "hop.example"},
                            {"u@[192.0.2.1]", "h.example", ""},
                            {"", "", ""}};
  for (auto& c : cases) {
    char domain[256];
    EXPECT_STREQ(SpfFirstDomain(c[0], c[1], domain, sizeof domain), c[2]) << c[0];
    fake.clear();
    SpfCheckHost(SPF_FAMILY_IPV4, v4, c[0], nullptr, c[1], nullptr, nullptr);
    std::string first;
    for (auto& q : fake.asked) {
      if (q.second == dns::kTypeTXT && first.empty()) first = q.first;
    }
    if (c[2][0] != '\0') {
      EXPECT_EQ(first, c[2]) << c[0];
    }
  }
}

// Answers "no records" first, then the status it was given.
class SecondChance : public dns::Resolver {
 public:
  int Query(const char*, uint16_t, unsigned options, dns::RecordList* out) override {
    options_.push_back(options);
    if (options_.size() == 1) return dns::kStatusNoRecords;
    if (second == dns::kStatusOk) out->emplace_back();
    return second;
  }
  int second = dns::kStatusOk;
  std::vector<unsigned> options_;
};

TEST(SpfDnsQuery, RetriesPastTheCacheAndMapsStatuses) {
  const int cases[][2] = {{dns::kStatusOk, -1},          {dns::kStatusNoRecords, SPF_NONE},
                          {dns::kStatusNameError, SPF_PERMERROR}, {dns::kStatusServFail, SPF_TEMPERROR},
                          {dns::kStatusTimeout, SPF_TEMPERROR},   {dns::kStatusBadPacket, SPF_TEMPERROR},
                          {12345, SPF_PERMERROR}};
  for (const auto& c : cases) {
    SecondChance r;
    dns::setresolver(&r);
    r.second = c[0];
    dns::RecordList list;
    EXPECT_EQ(SpfDnsQuery("example.org", dns::kTypeA, &list), c[1]) << c[0];
    EXPECT_EQ(r.options_, (std::vector<unsigned>{dns::kOptTreatAsFqdn, dns::kOptTreatAsFqdn | dns::kOptBypassCache}));
    dns::setresolver(nullptr);
  }
}

TEST_F(SpfApi, HostNamesAndAddresses) {
  const char* rev = "7.2.0.192.in-addr.arpa";
  fake.ptr(rev, "liar.example.net");
  fake.ptr(rev, "host.example.org");
  fake.a("liar.example.net", 198, 51, 100, 1);
  fake.a("host.example.org", 192, 0, 2, 7);
  char out[64], small[5];
  EXPECT_EQ(SpfGetHostName(SPF_FAMILY_IPV4, v4, out, sizeof out, "example.org"), 0);
  EXPECT_STREQ(out, "host.example.org");
  EXPECT_EQ(SpfGetHostName(SPF_FAMILY_IPV4, v4, small, sizeof small, nullptr), 0);
  EXPECT_STREQ(small, "host");
  EXPECT_EQ(SpfGetHostName(7, v4, out, sizeof out, nullptr), SPF_PERMERROR);
  EXPECT_EQ(SpfGetHostName(SPF_FAMILY_IPV4, nullptr, out, sizeof out, nullptr), SPF_PERMERROR);
  // Nothing confirms: the first candidate, unconfirmed.
  char name[256];
  fake.clear();
  fake.ptr(rev, "liar.example.net");
  EXPECT_EQ(SpfLookupValidatedName(false, v4, name, sizeof name, nullptr, kSpfTierAny | kSpfUnvalidated), 2);
  EXPECT_STREQ(name, "liar.example.net");
  fake.status(rev, dns::kTypePTR, dns::kStatusTimeout);
  EXPECT_EQ(SpfLookupValidatedName(false, v4, name, sizeof name, nullptr, kSpfTierAny), SPF_TEMPERROR);
  // At most twenty confirmations per tier.
  fake.clear();
  for (int i = 0; i < 21; i++) {
    fake.ptr(rev, "h" + std::to_string(i) + ".example.net");
    fake.a("h" + std::to_string(i) + ".example.net", 198, 51, 100, (uint8_t)i);
  }
  fake.a("h20.example.net", 192, 0, 2, 7);
  EXPECT_EQ(SpfLookupValidatedName(false, v4, name, sizeof name, nullptr, kSpfTierAny | kSpfLimitConfirm), -1);
  EXPECT_EQ(SpfLookupValidatedName(false, v4, name, sizeof name, nullptr, kSpfTierAny), 0);
  const uint8_t h1[4] = {198, 51, 100, 1};
  uint32_t want;
  memcpy(&want, h1, 4);
  EXPECT_EQ(SpfGetHostAddress("h1.example.net"), want);
  EXPECT_EQ(SpfGetHostAddress("gone.example.org"), 0u);
  fake.status("slow.example.org", dns::kTypeA, dns::kStatusTimeout);
  EXPECT_EQ(SpfGetHostAddress("slow.example.org"), 0xFFFFFFFFu);
  EXPECT_EQ(SpfGetHostAddress(nullptr), 0xFFFFFFFFu);
}

int64_t g_now = 1000000;
int64_t TestClock() { return g_now; }

TEST_F(SpfApi, CacheStoresExpiresAndPurges) {
  int64_t (*saved)() = g_spf_clock;
  g_spf_clock = TestClock;
  auto get = [](const char* domain) {
    char key[256];
    size_t n = SpfCacheKey(domain, key);
    std::string rec;
    return SpfCacheLookup(key, n, g_now, &rec) ? rec : "-";
  };
  const std::map<std::string, int> results = {{"0", 0}, {"permerror", SPF_PERMERROR}, {"temperror", SPF_TEMPERROR}};
  ForEachCase("cache_steps.txt", [&](const std::string& line) {
    std::vector<std::string> w = Words(line);
    if (w[0] == "set") {
      ASSERT_EQ(w.size(), 5u);
      EXPECT_EQ(SpfSetCachedRecord(w[1].c_str(), w[2].c_str(), std::stoi(w[3])), results.at(w[4]));
    } else if (w[0] == "get") {
      EXPECT_EQ(get(w[1].c_str()), w[2]);
    } else if (w[0] == "count") {
      EXPECT_EQ(SpfCacheCount(), std::stoul(w[1]));
    } else if (w[0] == "advance") {
      g_now += std::stoll(w[1]);
    } else if (w[0] == "purge") {
      SpfPurgeCache(std::stoi(w[1]));
    } else {
      ASSERT_EQ(w[0], "remove");
      EXPECT_EQ(SpfSetCachedRecord(w[1].c_str(), nullptr, 0), 0);
    }
  });
  // Many keys, stored in reverse order, are all found; purges far out of range.
  for (int i = 99; i >= 0; i--)
    SpfSetCachedRecord(("h" + std::to_string(i) + ".example").c_str(), ("v=spf1 a:" + std::to_string(i)).c_str(), 0);
  for (int i = 0; i < 100; i += 7) EXPECT_EQ(get(("h" + std::to_string(i) + ".example").c_str()), "v=spf1 a:" + std::to_string(i));
  SpfPurgeCache(-0x7FFFFFFF);
  EXPECT_EQ(SpfCacheCount(), 100u);
  SpfPurgeCache(0x7FFFFFFF);
  EXPECT_EQ(SpfCacheCount(), 0u);
  g_spf_clock = saved;
}

TEST_F(SpfApi, HostileRecordsStayCheap) {
  std::string many = "v=spf1", bomb = "v=spf1 exists:", exps = "v=spf1", ptrs = "v=spf1", binary = "v=spf1 ";
  for (int i = 0; i < 5000; i++) many += " ip4:10.0.0." + std::to_string(i % 256);
  for (int i = 0; i < 20000; i++) bomb += "%{S}";
  for (int i = 0; i < 5000; i++) exps += " exp=%{p}%{p}%{s}.example";
  for (int i = 0; i < 25; i++) ptrs += " ptr mx a:%{p}.x";
  for (int i = 0; i < 4096; i++) binary.push_back((char)(i * 7 + 1));
  const std::string records[] = {many + " -all", "v=spf1 " + std::string(200000, 'a'), bomb + " -all",
                                 exps + " -all", ptrs, binary, "v=spf1 a:" + std::string(3000, '.') + "/24//64",
                                 "v=spf1 ip6:" + std::string(5000, ':') + " mx/" + std::string(3000, '9')};
  for (const std::string& record : records) {
    fake.clear();
    fake.txt("example.org", {record});
    fake.a("example.org", 192, 0, 2, 7);
    char* exp = nullptr;
    auto t0 = std::chrono::steady_clock::now();
    int r = Check("u@example.org", nullptr, &exp);
    free(exp);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 2.0);
    EXPECT_LT(fake.queries, 200) << record.substr(0, 40);
    EXPECT_LE(r, SPF_PERMERROR);
  }
}

// Answers after a delay, like a resolver far away: nineteen "mx" terms of
// twenty hosts each would cost some 400 queries; the check's time limit
// ends it as a TempError after about a hundred.
class DistantFake : public FakeResolver {
 public:
  static constexpr int kDelayMs = 50;
  int Query(const char* name, uint16_t type, unsigned o, dns::RecordList* out) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(kDelayMs));
    return FakeResolver::Query(name, type, o, out);
  }
};

TEST(SpfTimeLimit, SlowHostileRecordEndsAsTempError) {
  ASSERT_EQ(SpfInit(0, 0, 0), 0);
  DistantFake fake;
  std::string record = "v=spf1";
  for (int m = 0; m < 19; m++) {
    record += " mx:m" + std::to_string(m) + ".%{d}";
    for (int h = 0; h < 20; h++) {
      std::string host = "h" + std::to_string(h) + ".m" + std::to_string(m) + ".example.org";
      fake.mx("m" + std::to_string(m) + ".example.org", (uint16_t)h, host);
      fake.a(host, 198, 51, 100, (uint8_t)h);
    }
  }
  fake.txt("example.org", {record + " -all"});
  uint8_t a[4] = {192, 0, 2, 7};
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(SpfCheckHost(SPF_FAMILY_IPV4, a, "u@example.org", nullptr, "h", nullptr, nullptr), SPF_TEMPERROR);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(),
            kSpfTimeLimitMs / 1000.0 + 1.0);
  EXPECT_LE(fake.queries, (int)(kSpfTimeLimitMs / DistantFake::kDelayMs) + 10);
  SpfCleanup();
}

}  // namespace
