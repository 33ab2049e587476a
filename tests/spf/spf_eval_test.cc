// Record evaluation and the front end of a check: mechanisms, modifiers,
// limits, local policies, identities, hostile records.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "fakes/fake_resolver.h"
#include "spf/spf_internal.h"
#include "spf/wrenspf.h"

namespace {

class EvalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(SpfInit(0, 0, 0), 0);
    SpfSetCachedRecord(nullptr, nullptr, 0);
  }
  void TearDown() override {
    SpfCleanup();
    SpfSetCachedRecord(nullptr, nullptr, 0);
  }

  int Check(const char* ip, const char* sender, const char* helo = "helo.example.net",
            const char* record = nullptr, char** explanation = nullptr) {
    uint8_t a[16];
    int family = SPF_FAMILY_IPV4;
    if (!SpfParseAddress(ip, family, a)) {
      family = SPF_FAMILY_IPV6;
      EXPECT_NE(SpfParseAddress(ip, family, a), nullptr) << ip;
    }
    return SpfCheckHost(family, a, sender, record, helo, nullptr, explanation);
  }
  // Verdict text of a check with `record` published at example.org.
  std::string Rec(const char* record, const char* ip = "192.0.2.7") {
    fake.clear();
    fake.txt("example.org", {record});
    fake.a("example.org", 192, 0, 2, 7);
    return SpfResultText(Check(ip, "user@example.org"));
  }

  // The name exists but publishes no TXT record.
  void Exists(const char* name) {
    fake.status(name, dns::kTypeTXT, dns::kStatusNoRecords);
    fake.status(name, dns::kTypeMX, dns::kStatusNoRecords);
  }

  FakeResolver fake;
};

TEST_F(EvalTest, RecordsAndMechanisms) {
  struct {
    const char* record;
    const char* ip;
    const char* want;
  } cases[] = {
      {"v=spf1 +all", "198.51.100.1", "Pass"},
      {"v=spf1 all", "198.51.100.1", "Pass"},
      {"v=spf1 -all", "198.51.100.1", "Fail"},
      {"v=spf1 ~all", "198.51.100.1", "SoftFail"},
      {"v=spf1 ?all", "198.51.100.1", "Neutral"},
      {"v=spf1", "198.51.100.1", "Neutral"},
      {"V=SPF1 -ALL", "198.51.100.1", "Fail"},
      {"v=spf1 ip4:192.0.2.0/24 foo:bar -all", "192.0.2.7", "Pass"},
      {"v=spf1 ip4:192.0.2.0/24 foo:bar -all", "198.51.100.1", "PermError"},
      {"v=spf1 +all all/24", "192.0.2.7", "PermError"},
      {"v=spf1 +all allx", "192.0.2.7", "Pass"},
      {"v=spf1 +all x=1", "192.0.2.7", "Pass"},
      {"v=spf1 -redirect=example.net", "192.0.2.7", "PermError"},
      {"v=spf1 ip6:::ffff:192.0.2.0/120 -all", "192.0.2.9", "Pass"},
      {"v=spf1 ip6:::ffff:192.0.2.0/120 -all", "198.51.100.9", "Fail"},
      {"v=spf1 ip6:2001:db8::/32 -all", "2001:db8::5", "Pass"},
      {"v=spf1 ip6:2001:db8::/32 -all", "192.0.2.7", "Fail"},
      {"v=spf1 ip4:192.0.2.0/24 -all", "2001:db8::5", "Fail"},
      {"v=spf1 ip4:192.0.2.0/33 -all", "192.0.2.7", "PermError"},
      {"v=spf1 ip4:192.0.2.0/ -all", "192.0.2.7", "PermError"},
      {"v=spf1 ip4:192.0.2.0/24//64 -all", "192.0.2.7", "Pass"},
      {"v=spf1 ip4 -all", "192.0.2.7", "PermError"},
      {"v=spf1 ip6:2001:db8::/129 -all", "192.0.2.7", "PermError"},
      {"v=spf1 a -all", "192.0.2.7", "Pass"},
      {"v=spf1 a -all", "192.0.2.8", "Fail"},
      {"v=spf1 a/24 -all", "192.0.2.8", "Pass"},
      {"v=spf1 a//64 -all", "192.0.2.8", "Fail"},
      {"v=spf1 a/33 -all", "192.0.2.8", "PermError"},
      {"v=spf1 a:example.org/24 -all", "192.0.2.99", "Pass"},
      {"v=spf1 a:example.org/24//48 -all", "192.0.2.99", "Pass"},
      {"v=spf1 a: -all", "192.0.2.7", "PermError"},
      {"v=spf1 a:nowhere.example -all", "192.0.2.7", "Fail"},
      {"v=spf1 include -all", "192.0.2.7", "PermError"},
      {"v=spf1 include:example.org -all", "192.0.2.7", "PermError"},
      {"v=spf1 redirect=example.org", "192.0.2.7", "PermError"},
      {"v=spf1 redirect=nowhere.example", "192.0.2.7", "PermError"},
      {"v=spf1 exists:example.org -all", "198.51.100.1", "Pass"},
      {"v=spf1 exists -all", "198.51.100.1", "Pass"},
      {"v=spf1 exists:nowhere.example -all", "198.51.100.1", "Fail"},
      {"v=spf1 ptr:example.org/24 -all", "192.0.2.7", "PermError"},
      {"v=spf1 +a=b -all", "192.0.2.7", "PermError"},
      {"v=spf1 redirect=a.example redirect=b.example", "192.0.2.7", "PermError"},
      {"v=spf1 ip4:192.0.2.7 %{x}", "192.0.2.7", "PermError"},
      {"v=spf1 a:%{x} -all", "192.0.2.7", "PermError"},
      {"v=spf1 +all a:%{x}", "192.0.2.7", "Pass"},
      {"v=spf1 a:%{c}.example -all", "192.0.2.7", "PermError"},
      {"v=spf1spf", "192.0.2.7", "None"},
  };
  for (const auto& c : cases) EXPECT_EQ(Rec(c.record, c.ip), c.want) << c.record << " for " << c.ip;
}

TEST_F(EvalTest, DualCidrForIPv6Clients) {
  fake.txt("example.org", {"v=spf1 a//64 -all"});
  dns::Record& r = fake.add("example.org", dns::kTypeAAAA);
  ASSERT_NE(SpfParseIPv6("2001:db8:1:2::1", r.addr, 0), nullptr);
  EXPECT_STREQ(SpfResultText(Check("2001:db8:1:2::99", "u@example.org")), "Pass");
  EXPECT_STREQ(SpfResultText(Check("2001:db8:1:3::1", "u@example.org")), "Fail");
}

TEST_F(EvalTest, MxInPreferenceOrder) {
  fake.txt("example.org", {"v=spf1 mx -all"});
  fake.mx("example.org", 20, "c.example.org");
  fake.mx("example.org", 10, "a.example.org");
  fake.mx("example.org", 10, "b.example.org");
  fake.a("a.example.org", 198, 51, 100, 1);
  fake.a("b.example.org", 198, 51, 100, 2);
  fake.a("c.example.org", 192, 0, 2, 7);
  EXPECT_STREQ(SpfResultText(Check("192.0.2.7", "u@example.org")), "Pass");
  std::vector<std::string> order;
  for (const auto& [name, type] : fake.asked) {
    if (type == dns::kTypeA) order.push_back(name);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"a.example.org", "b.example.org", "c.example.org"}));
  // Addresses from the additional section save the queries.
  fake.clear();
  fake.txt("example.org", {"v=spf1 mx -all"});
  dns::Record& mx = fake.add("example.org", dns::kTypeMX);
  mx.preference = 10;
  mx.target = "a.example.org";
  dns::Record& glue = fake.add("example.org", dns::kTypeA, dns::Section::Additional, dns::kTypeMX);
  glue.owner = "A.example.org";
  glue.addr[0] = 192, glue.addr[1] = 0, glue.addr[2] = 2, glue.addr[3] = 7;
  EXPECT_STREQ(SpfResultText(Check("192.0.2.7", "u@example.org")), "Pass");
  for (const auto& [name, type] : fake.asked) EXPECT_NE(type, dns::kTypeA) << name;
}

TEST_F(EvalTest, MxHostLimitAndStops) {
  fake.txt("example.org", {"v=spf1 mx -all"});
  for (int i = 0; i < 21; i++) {
    std::string host = "mx" + std::to_string(i) + ".example.org";
    fake.mx("example.org", (uint16_t)i, host);
    fake.a(host, 198, 51, 100, (uint8_t)i);
  }
  fake.a("mx20.example.org", 192, 0, 2, 7);
  EXPECT_STREQ(SpfResultText(Check("192.0.2.7", "u@example.org")), "PermError");
  // A host without addresses ends the mechanism: later hosts are not tried.
  fake.clear();
  fake.txt("example.org", {"v=spf1 mx ?all"});
  fake.mx("example.org", 1, "gone.example.org");
  fake.mx("example.org", 2, "ok.example.org");
  fake.a("ok.example.org", 192, 0, 2, 7);
  EXPECT_STREQ(SpfResultText(Check("192.0.2.7", "u@example.org")), "Neutral");
  fake.status("gone.example.org", dns::kTypeA, dns::kStatusTimeout);
  EXPECT_STREQ(SpfResultText(Check("192.0.2.7", "u@example.org")), "TempError");
}

TEST_F(EvalTest, DnsTermLimitCountsAfterTheVerdict) {
  std::string rec = "v=spf1 +all";
  for (int i = 0; i < 20; i++) rec += " a";
  EXPECT_EQ(Rec(rec.c_str()), "Pass");
  EXPECT_EQ(Rec((rec + " a").c_str()), "PermError");
  EXPECT_EQ(Rec((rec + " ip4:1.2.3.4 ip6:::1").c_str()), "Pass");
  // Terms after the verdict perform no lookups.
  Rec(rec.c_str());
  EXPECT_EQ(fake.queries, 1);
}

TEST_F(EvalTest, RecursionLimit) {
  // A chain of includes, each one step deeper, never ends by itself.
  for (int i = 0; i < 30; i++) {
    fake.txt("d" + std::to_string(i) + ".example.org",
             {"v=spf1 include:d" + std::to_string(i + 1) + ".example.org -all"});
  }
  EXPECT_STREQ(SpfResultText(Check("192.0.2.7", "u@d0.example.org")), "PermError");
  EXPECT_LT(fake.queries, 15);
  // Redirects too.
  fake.clear();
  for (int i = 0; i < 30; i++) {
    fake.txt("r" + std::to_string(i) + ".example.org", {"v=spf1 redirect=r" + std::to_string(i + 1) + ".example.org"});
  }
  EXPECT_STREQ(SpfResultText(Check("192.0.2.7", "u@r0.example.org")), "PermError");
  EXPECT_LT(fake.queries, 15);
  // A loop of two includes.
  fake.clear();
  fake.txt("x.example.org", {"v=spf1 include:y.example.org -all"});
  fake.txt("y.example.org", {"v=spf1 include:x.example.org -all"});
  EXPECT_STREQ(SpfResultText(Check("192.0.2.7", "u@x.example.org")), "PermError");
}

TEST_F(EvalTest, IncludeResults) {
  struct {
    const char* inner;  // record of inc.example.org, or null for none
    const char* want;
  } cases[] = {
      {"v=spf1 +all", "Pass"},      {"v=spf1 -all", "Fail"},      {"v=spf1 ~all", "Fail"},
      {"v=spf1", "Fail"},           {nullptr, "PermError"},       {"v=spf1 foo", "PermError"},
      {"v=spf1 redirect=ok.example.org", "Pass"},
  };
  for (const auto& c : cases) {
    fake.clear();
    fake.txt("example.org", {"v=spf1 include:inc.example.org -all"});
    fake.txt("ok.example.org", {"v=spf1 ip4:192.0.2.0/24"});
    if (c.inner) fake.txt("inc.example.org", {c.inner});
    EXPECT_STREQ(SpfResultText(Check("192.0.2.7", "u@example.org")), c.want) << (c.inner ? c.inner : "none");
  }
  fake.clear();
  fake.txt("example.org", {"v=spf1 include:inc.example.org -all"});
  fake.status("inc.example.org", dns::kTypeTXT, dns::kStatusServFail);
  EXPECT_STREQ(SpfResultText(Check("192.0.2.7", "u@example.org")), "TempError");
}

TEST_F(EvalTest, TopLevelLookupOutcomes) {
  EXPECT_EQ(Check("192.0.2.7", "u@nowhere.example.org"), SPF_NONE_LOOKUPFAILED);
  fake.txt("two.example.org", {"v=spf1 -all"});
  fake.txt("two.example.org", {"v=spf1 +all"});
  EXPECT_EQ(Check("192.0.2.7", "u@two.example.org"), SPF_NONE_LOOKUPFAILED);
  fake.status("slow.example.org", dns::kTypeTXT, dns::kStatusTimeout);
  EXPECT_EQ(Check("192.0.2.7", "u@slow.example.org"), SPF_TEMPERROR);
  fake.txt("plain.example.org", {"some text"});
  fake.txt("plain.example.org", {"v=spf10 -all"});
  EXPECT_EQ(Check("192.0.2.7", "u@plain.example.org"), SPF_NONE);
  fake.txt("split.example.org", {"v=spf1 ip4:192.0.2.1", " -all"});
  EXPECT_STREQ(SpfResultText(Check("192.0.2.1", "u@split.example.org")), "Pass");
  EXPECT_STREQ(SpfResultText(Check("192.0.2.2", "u@split.example.org")), "Fail");
  for (const char* bad : {"u@192.0.2.1", "u@localhost", "u@example.org.", "u@-x.example.org", "u@a..example.org"}) {
    EXPECT_EQ(Check("192.0.2.7", bad), SPF_NONE_BADDOMAIN) << bad;
  }
}

TEST_F(EvalTest, FrontEnd) {
  // Loopback clients pass whatever the sender.
  EXPECT_EQ(Check("127.0.0.5", ""), SPF_PASS);
  EXPECT_EQ(Check("::1", "u@nowhere.example"), SPF_PASS);
  EXPECT_EQ(Check("::ffff:127.0.0.1", "u@nowhere.example"), SPF_PASS);
  EXPECT_EQ(fake.queries, 0);
  // An empty identity.
  EXPECT_EQ(Check("192.0.2.7", "", ""), SPF_PERMERROR);
  EXPECT_EQ(Check("192.0.2.7", nullptr, nullptr), SPF_PERMERROR);
  uint8_t a[4] = {192, 0, 2, 7};
  EXPECT_EQ(SpfCheckHost(10, a, "u@example.org", nullptr, nullptr, nullptr, nullptr), SPF_PERMERROR);
  EXPECT_EQ(SpfCheckHost(SPF_FAMILY_IPV4, nullptr, "u@example.org", nullptr, nullptr, nullptr, nullptr),
            SPF_PERMERROR);
  // The HELO name stands in for an empty sender.
  fake.txt("mail.example.org", {"v=spf1 ip4:192.0.2.7 -all"});
  EXPECT_EQ(Check("192.0.2.7", "", "mail.example.org"), SPF_PASS);
  EXPECT_EQ(Check("192.0.2.8", "", "mail.example.org"), SPF_FAIL);
  // An IPv4-mapped client is an IPv4 client.
  EXPECT_EQ(Check("::ffff:192.0.2.7", "", "mail.example.org"), SPF_PASS);
  // A supplied record replaces DNS at the top level.
  EXPECT_EQ(Check("192.0.2.7", "u@example.org", nullptr, "v=spf1 -all"), SPF_FAIL);
  EXPECT_EQ(Check("192.0.2.7", "u@example.org", nullptr, "spf1 -all"), SPF_PERMERROR);
}

TEST_F(EvalTest, SourceRoutes) {
  fake.txt("hop.example.net", {"v=spf1 ?all"});
  fake.txt("final.example.org", {"v=spf1 ip4:192.0.2.7 -all"});
  EXPECT_EQ(Check("192.0.2.7", "@hop.example.net:user@final.example.org"), SPF_PASS);
  EXPECT_EQ(Check("192.0.2.8", "@hop.example.net,@other.example:user@final.example.org"), SPF_FAIL);
  fake.txt("strict.example.net", {"v=spf1 -all"});
  EXPECT_EQ(Check("192.0.2.7", "@strict.example.net:user@final.example.org"), SPF_FAIL);
  // A fresh DNS term budget for the final domain.
  std::string hop = "v=spf1";
  fake.a("other.example.net", 198, 51, 100, 1);
  for (int i = 0; i < 20; i++) hop += " a:other.example.net";
  fake.txt("busy.example.net", {hop + " ?all"});
  fake.txt("final2.example.org", {"v=spf1 a:none.example.net ip4:192.0.2.7 -all"});
  EXPECT_EQ(Check("192.0.2.7", "@busy.example.net:user@final2.example.org"), SPF_PASS);
}

TEST_F(EvalTest, AddressLiterals) {
  fake.ptr("1.2.0.192.in-addr.arpa", "host.example.org");
  fake.a("host.example.org", 192, 0, 2, 1);
  fake.txt("host.example.org", {"v=spf1 ip4:192.0.2.7 -all"});
  EXPECT_EQ(Check("192.0.2.7", "u@[192.0.2.1]"), SPF_PASS);
  EXPECT_EQ(Check("192.0.2.7", "u@[192.0.2.2]"), SPF_NONE_NOHOSTNAME);
  EXPECT_EQ(Check("192.0.2.7", "u@[2001:db8::1]"), SPF_NONE_BADDOMAIN);
  EXPECT_EQ(Check("192.0.2.7", "u@[192.0.2.1]x"), SPF_NONE_BADDOMAIN);
  dns::Record& p = fake.add(
      "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.B.D.0.1.0.0.2.ip6.arpa", dns::kTypePTR);
  p.target = "host6.example.org";
  dns::Record& aaaa = fake.add("host6.example.org", dns::kTypeAAAA);
  SpfParseIPv6("2001:db8::1", aaaa.addr, 0);
  fake.txt("host6.example.org", {"v=spf1 -all"});
  EXPECT_EQ(Check("192.0.2.7", "u@[IPv6:2001:db8::1]"), SPF_FAIL);
  EXPECT_EQ(Check("192.0.2.7", "u@[ipv6:2001:db8::2]"), SPF_NONE_NOHOSTNAME);
  EXPECT_STREQ(SpfResultText(SPF_NONE_NOHOSTNAME), "None");
}

TEST_F(EvalTest, Explanation) {
  fake.txt("example.org", {"v=spf1 -all exp=why.%{d}"});
  fake.txt("why.example.org", {"%{i} is not ", "one of %{d}'s"});
  char* exp = reinterpret_cast<char*>(1);
  EXPECT_EQ(Check("192.0.2.7", "u@example.org", nullptr, nullptr, &exp), SPF_FAIL);
  ASSERT_NE(exp, nullptr);
  EXPECT_STREQ(exp, "192.0.2.7 is not one of example.org's");
  free(exp);
  // No explanation for other verdicts, two TXT records, or an empty text.
  fake.clear();
  fake.txt("example.org", {"v=spf1 ~all exp=why.example.org"});
  fake.txt("why.example.org", {"text"});
  EXPECT_EQ(Check("192.0.2.7", "u@example.org", nullptr, nullptr, &exp), SPF_SOFTFAIL);
  EXPECT_EQ(exp, nullptr);
  fake.clear();
  fake.txt("example.org", {"v=spf1 -all exp=why.example.org"});
  fake.txt("why.example.org", {"one"});
  fake.txt("why.example.org", {"two"});
  EXPECT_EQ(Check("192.0.2.7", "u@example.org", nullptr, nullptr, &exp), SPF_FAIL);
  EXPECT_EQ(exp, nullptr);
  // Without an explanation pointer the exp modifier is not even expanded.
  fake.clear();
  fake.txt("example.org", {"v=spf1 -all exp=%{x}"});
  EXPECT_EQ(Check("192.0.2.7", "u@example.org"), SPF_FAIL);
  EXPECT_EQ(Check("192.0.2.7", "u@example.org", nullptr, nullptr, &exp), SPF_PERMERROR);
  EXPECT_EQ(exp, nullptr);
}

class PolicyTest : public EvalTest {
 protected:
  void SetUp() override {
    EvalTest::SetUp();
    ASSERT_EQ(SpfSetBestGuess("v=spf1 a/24 mx/24 ptr ~all", "v=spf1 a -all"), 0);
  }
};

TEST_F(PolicyTest, FallbackOnlyForSenderDomainsWithoutMx) {
  fake.a("plain.example.org", 192, 0, 2, 7);
  Exists("plain.example.org");
  // No record, no MX, a public A record: the fallback ("a -all").
  EXPECT_EQ(Check("192.0.2.8", "u@plain.example.org"), SPF_FAIL);
  EXPECT_EQ(Check("192.0.2.7", "u@plain.example.org"), SPF_PASS);
  // The same name as a HELO identity gets the best guess ("a/24 ... ~all").
  EXPECT_EQ(Check("192.0.2.8", "", "plain.example.org"), SPF_PASS);
  EXPECT_EQ(Check("198.51.100.1", "", "plain.example.org"), SPF_SOFTFAIL);
  // With an MX record: the best guess.
  fake.status("plain.example.org", dns::kTypeMX, dns::kStatusOk);
  fake.mx("plain.example.org", 10, "mx.example.org");
  EXPECT_EQ(Check("192.0.2.8", "u@plain.example.org"), SPF_PASS);
  EXPECT_EQ(Check("198.51.100.1", "u@plain.example.org"), SPF_SOFTFAIL);
  // Only a private address: the best guess.
  fake.clear();
  fake.a("private.example.org", 10, 0, 0, 1);
  Exists("private.example.org");
  EXPECT_EQ(Check("198.51.100.1", "u@private.example.org"), SPF_SOFTFAIL);
  // A permanent DNS error at the MX query: the best guess.
  fake.clear();
  fake.a("flaky.example.org", 192, 0, 2, 7);
  Exists("flaky.example.org");
  fake.status("flaky.example.org", dns::kTypeMX, dns::kStatusNameError);
  EXPECT_EQ(Check("198.51.100.1", "u@flaky.example.org"), SPF_SOFTFAIL);
  // A published record always wins.
  fake.status("flaky.example.org", dns::kTypeTXT, dns::kStatusOk);
  fake.txt("flaky.example.org", {"v=spf1 -all"});
  EXPECT_EQ(Check("192.0.2.7", "u@flaky.example.org"), SPF_FAIL);
}

TEST_F(PolicyTest, Setters) {
  EXPECT_EQ(SpfSetBestGuess("v=spf1a", "v=spf1 -all"), SPF_PERMERROR);
  // The best guess is unset, the fallback unchanged ("a -all").
  fake.a("plain.example.org", 192, 0, 2, 7);
  Exists("plain.example.org");
  EXPECT_EQ(Check("192.0.2.8", "u@plain.example.org"), SPF_FAIL);
  EXPECT_EQ(Check("192.0.2.8", "", "plain.example.org"), SPF_NONE);
  EXPECT_EQ(SpfSetBestGuess("V=SPF1 a", nullptr), 0);
  EXPECT_EQ(Check("192.0.2.8", "u@plain.example.org"), SPF_NEUTRAL);
  EXPECT_EQ(SpfSetWhitelist("include:x"), SPF_PERMERROR);
  EXPECT_EQ(SpfSetWhitelist(""), 0);
  EXPECT_EQ(SpfSetLocalHost(""), 0);
  EXPECT_EQ(SpfSetCachedRecord("a.example", "bad", 60), SPF_PERMERROR);
}

TEST_F(EvalTest, WhitelistRescuesOnlyAfterAPassMechanism) {
  ASSERT_EQ(SpfSetWhitelist("v=spf1 include:trusted.example.net"), 0);
  fake.txt("trusted.example.net", {"v=spf1 ip4:198.51.100.0/24 -all"});
  fake.a("example.org", 192, 0, 2, 7);
  fake.txt("example.org", {"v=spf1 a -all"});
  EXPECT_EQ(Check("198.51.100.1", "u@example.org"), SPF_PASS);
  EXPECT_EQ(Check("203.0.113.1", "u@example.org"), SPF_FAIL);
  fake.txt("strict.example.org", {"v=spf1 -all"});
  EXPECT_EQ(Check("198.51.100.1", "u@strict.example.org"), SPF_FAIL);
  fake.txt("soft.example.org", {"v=spf1 -a ~all"});
  EXPECT_EQ(Check("198.51.100.1", "u@soft.example.org"), SPF_SOFTFAIL);
  // The end of a record without "all" is Neutral unless the whitelist passes.
  fake.txt("open.example.org", {"v=spf1 a"});
  fake.a("open.example.org", 192, 0, 2, 7);
  EXPECT_EQ(Check("198.51.100.1", "u@open.example.org"), SPF_PASS);
  EXPECT_EQ(Check("203.0.113.1", "u@open.example.org"), SPF_NEUTRAL);
  // Without a record or policy: the whitelist alone (Pass or None).
  EXPECT_EQ(Check("198.51.100.1", "u@bare.example.org"), SPF_NONE_LOOKUPFAILED);
  Exists("bare.example.org");
  EXPECT_EQ(Check("198.51.100.1", "u@bare.example.org"), SPF_PASS);
  EXPECT_EQ(Check("203.0.113.1", "u@bare.example.org"), SPF_NONE);
}

TEST_F(EvalTest, CachedRecordsServeDomainsWithoutOne) {
  Exists("cached.example.org");
  EXPECT_EQ(SpfSetCachedRecord("Cached.Example.org", "v=spf1 ip4:192.0.2.7 -all", 60), 0);
  EXPECT_EQ(Check("192.0.2.7", "u@cached.example.org"), SPF_PASS);
  EXPECT_EQ(Check("192.0.2.8", "u@cached.example.org"), SPF_FAIL);
  // A published record wins over the cache.
  fake.status("cached.example.org", dns::kTypeTXT, dns::kStatusOk);
  fake.txt("cached.example.org", {"v=spf1 ?all"});
  EXPECT_EQ(Check("192.0.2.8", "u@cached.example.org"), SPF_NEUTRAL);
}

TEST_F(EvalTest, HostileRecordsNeverRunAway) {
  auto timed = [&](const std::string& record, const char* sender = "u@example.org") {
    fake.clear();
    fake.txt("example.org", {record});
    fake.a("example.org", 192, 0, 2, 7);
    auto t0 = std::chrono::steady_clock::now();
    int r = Check("192.0.2.7", sender);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(s, 2.0) << record.substr(0, 60);
    EXPECT_LT(fake.queries, 200) << record.substr(0, 60);
    return r;
  };
  std::string many = "v=spf1";
  for (int i = 0; i < 5000; i++) many += " ip4:10.0.0." + std::to_string(i % 256);
  EXPECT_EQ(timed(many + " -all"), SPF_FAIL);
  std::string huge = "v=spf1 " + std::string(200000, 'a');
  EXPECT_EQ(timed(huge), SPF_PERMERROR);
  std::string bomb = "v=spf1 exists:";
  for (int i = 0; i < 20000; i++) bomb += "%{S}";
  EXPECT_LE(timed(bomb + " -all"), SPF_PERMERROR);
  std::string exps = "v=spf1";
  for (int i = 0; i < 5000; i++) exps += " exp=%{p}%{p}%{s}.example";
  exps += " -all";
  fake.clear();
  fake.txt("example.org", {exps});
  char* exp = nullptr;
  EXPECT_EQ(Check("192.0.2.7", "u@example.org", nullptr, nullptr, &exp), SPF_FAIL);
  free(exp);
  EXPECT_LT(fake.queries, 100);
  std::string binary = "v=spf1 ";
  for (int i = 0; i < 4096; i++) binary.push_back((char)(i * 7 + 1));
  timed(binary);
  std::string ptrs = "v=spf1";
  for (int i = 0; i < 25; i++) ptrs += " ptr mx a:%{p}.x";
  EXPECT_EQ(timed(ptrs), SPF_PERMERROR);
  timed("v=spf1 " + std::string(10000, ' ') + "-all");
  timed("v=spf1 ip6:" + std::string(5000, ':') + " ip4:" + std::string(5000, '9'));
  timed("v=spf1 a:" + std::string(3000, '.') + "/24//64");
  timed("v=spf1 mx/" + std::string(3000, '9'));
}

TEST(SpfValidDomain, Cases) {
  struct {
    const char* name;
    int32_t recursion;
    bool want;
  } cases[] = {
      {"example.org", 0, true},       {"a-b.example.org", 0, true},    {"1.2.3.example", 0, true},
      {"", 0, false},                 {"localhost", 0, false},         {".example.org", 0, false},
      {"example.org.", 0, false},     {"a..example.org", 0, false},    {"-a.example.org", 0, false},
      {"a-.example.org", 0, false},   {"a_b.example.org", 0, false},   {"192.0.2.1", 0, false},
      {"192.0.2.256", 0, true},       {"1.2.3.4.5", 0, true},          {"a_b.example.org", 256, true},
      {"-a.example.org", 257, true},  {"%{x}.example.org", 256, true}, {"a b.example.org", 256, false},
      {"a..b", 256, false},           {"192.0.2.1", 256, false},       {"nodot", 256, false},
      {"a.b\x80", 256, false},
  };
  for (const auto& c : cases) EXPECT_EQ(SpfValidDomain(c.name, c.recursion), c.want) << c.name << " @" << c.recursion;
}

TEST(SpfParseDualCidr, Forms) {
  struct {
    const char* text;
    int v4, v6;  // -1: error
  } cases[] = {
      {"", 32, 128},        {" -all", 32, 128},   {"/24", 24, 128},    {"//64", 32, 64},
      {"/24//64", 24, 64},  {"/0//0", 0, 0},      {"/32//128", 32, 128}, {"/33", -1, -1},
      {"//129", -1, -1},    {"/", -1, -1},        {"//", -1, -1},      {"/24/", -1, -1},
      {"/24x", -1, -1},     {"/24//64//1", -1, -1}, {"///64", -1, -1}, {"/024", 24, 128},
      {"/99999999999999999999", -1, -1},
  };
  for (const auto& c : cases) {
    for (bool v6 : {false, true}) {
      const char* p = c.text;
      int got = SpfParseDualCidr(&p, v6);
      EXPECT_EQ(got, v6 ? c.v6 : c.v4) << "'" << c.text << "' v6=" << v6;
      if (got >= 0) {
        EXPECT_TRUE(*p == 0 || *p == ' ') << c.text;
      }
    }
  }
}

}  // namespace

namespace {

// Answers after kDelayMs, like a resolver far away.
class DistantFake : public FakeResolver {
 public:
  static constexpr int kDelayMs = 50;
  int Query(const char* name, uint16_t type, unsigned o, dns::RecordList* out) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(kDelayMs));
    return FakeResolver::Query(name, type, o, out);
  }
};

// Nineteen "mx" terms of twenty hosts each would cost some 400 queries: the
// check's time limit ends it as a TempError after about a hundred.
TEST(SpfTimeLimit, SlowHostileRecordEndsAsTempError) {
  ASSERT_EQ(SpfInit(0, 0, 0), 0);
  DistantFake fake;
  std::string record = "v=spf1";
  for (int m = 0; m < 19; m++) {
    std::string name = "m" + std::to_string(m) + ".example.org";
    record += " mx:m" + std::to_string(m) + ".%{d}";
    for (int h = 0; h < 20; h++) {
      std::string host = "h" + std::to_string(h) + "." + name;
      fake.mx(name, (uint16_t)h, host);
      fake.a(host, 198, 51, 100, (uint8_t)h);
    }
  }
  fake.txt("example.org", {record + " -all"});
  uint8_t a[4] = {192, 0, 2, 7};
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(SpfCheckHost(SPF_FAMILY_IPV4, a, "u@example.org", nullptr, "h", nullptr, nullptr), SPF_TEMPERROR);
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(s, kSpfTimeLimitMs / 1000.0 + 1.0);
  EXPECT_LE(fake.queries, (int)(kSpfTimeLimitMs / DistantFake::kDelayMs) + 10);
  SpfCleanup();
}

}  // namespace
