// The origin answers' parsers (origin_cases.txt), NSquery and findzone
// (queries.txt) and the origin lookups, against the fake resolver
// (hostile answers: fuzz_origin).
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/dnsquery.h"
#include "analysis/origin.h"
#include "fakes/fake_resolver.h"
#include "common/settings.h"
#include "base/textbuf.h"
#include "util/cases.h"

namespace {

ConnectionRecord client(const char* ip) {
  ConnectionRecord r;
  memset(&r, 0, sizeof r);
  textcopy(r.client_ip, ip);
  textformat(r.ip_network, sizeof r.ip_network, "%s/32", ip);
  textcopy(r.bgp_prefix, r.ip_network);
  textcopy(r.country, "--");
  textcopy(r.owner, "unknown");
  textcopy(r.sb_item50, "--");
  textcopy(r.sb_item54, "00.0000");
  textcopy(r.sb_item55, "00.0000");
  return r;
}

// Every column of the record by the names origin_cases.txt uses.
std::map<std::string, std::string> columns(const ConnectionRecord& r) {
  return {{"asn", std::to_string(r.asn)}, {"network", r.ip_network}, {"prefix", r.bgp_prefix},
          {"country", r.country},         {"owner", r.owner},         {"item50", r.sb_item50},
          {"item54", r.sb_item54},        {"item55", r.sb_item55}};
}

TEST(OriginRecord, ParsedColumns) {
  ForEachCase("origin_cases.txt", [](const std::string& line) {
    std::vector<std::string> w = Words(line);
    ASSERT_GE(w.size(), 2u);
    ConnectionRecord r = client("192.0.2.77");
    std::map<std::string, std::string> want = columns(r);
    if (w[0] == "cidr") {
      textcopy(r.ip_network, "unchanged");
      setcidr(r.ip_network, sizeof r.ip_network, 0xC000024Du, std::stoi(w[1]));  // 192.0.2.77
    } else if (w[0] == "origin") {
      parseorigin(&r, ClientAddress(r.client_ip), w[1].c_str());
    } else if (w[0] == "owner") {
      parseasowner(&r, w[1].c_str());
    } else {
      ASSERT_EQ(w[0], "senderbase");
      parsesenderbase(&r, ClientAddress(r.client_ip), w[1].c_str());
    }
    for (size_t i = 2; i < w.size(); i++) {
      size_t eq = w[i].find('=');
      ASSERT_TRUE(eq != std::string::npos && want.count(w[i].substr(0, eq))) << w[i];
      want[w[i].substr(0, eq)] = w[i].substr(eq + 1);
    }
    EXPECT_EQ(columns(r), want);
  });
  ConnectionRecord r = client("192.0.2.77");
  parseasowner(&r, ("1|2|3|4|" + std::string(400, 'o')).c_str());
  EXPECT_EQ(strlen(r.owner), (size_t)kTextCap);
}

TEST(QueryHelpers, NSqueryAndFindZone) {
  FakeResolver fake;
  fake.add("t.test", dns::kTypeCNAME, dns::Section::Answer, dns::kTypeTXT).target = "x.test";
  fake.txt("t.test", {"first", "second"});
  fake.txt("t.test", {"third"});
  fake.add("t.test", dns::kTypeTXT, dns::Section::Authority).strings = {"not-this"};
  fake.a("h.test", 192, 0, 2, 1);
  fake.a("h.test", 192, 0, 2, 2);
  fake.add("c.test", dns::kTypeCNAME, dns::Section::Answer, dns::kTypeA).target = "h.test";
  fake.ptr("1.2.0.192.in-addr.arpa", "host.example.test");
  fake.status("fail.test", dns::kTypeA, dns::kStatusServFail);
  fake.add("mx.test", dns::kTypeMX).target = "mail.test";
  fake.ns("test", "a.nic.test");
  fake.ns("example.test", "ns1.example.test");
  fake.ns("deep.example.test", "ns1.example.test");
  fake.ns("arpa", "a.root");
  fake.ns("in-addr.arpa", "a.root");
  const std::map<std::string, int> types = {{"A", dns::kTypeA}, {"TXT", dns::kTypeTXT}, {"PTR", dns::kTypePTR},
                                            {"NS", dns::kTypeNS}, {"MX", dns::kTypeMX}};
  ForEachCase("queries.txt", [&](const std::string& line) {
    std::vector<std::string> w = Words(line);
    char dst[300] = "old";
    fake.asked.clear();
    if (w[0] == "nsquery") {
      ASSERT_EQ(w.size(), 6u);
      EXPECT_EQ(NSquery(dst, 64, w[1].c_str(), types.at(w[2]), std::stoi(w[3])), std::stoi(w[4]));
      EXPECT_EQ(dst, w[5]);
    } else {
      ASSERT_EQ(w.size(), 5u);
      EXPECT_EQ(findzone(w[1].c_str(), dst, sizeof dst), std::stoi(w[2]));
      EXPECT_EQ(dst, w[3]);
      EXPECT_EQ((int)fake.asked.size(), std::stoi(w[4]));
      for (const auto& q : fake.asked) EXPECT_EQ(q.second, dns::kTypeNS);
    }
  });
  // TXT text is cleaned of control bytes and bounded by the buffer.
  fake.txt("bytes.test", {std::string("a\0b\tc\x7F" "d\x1F|e\xC3\xA9", 12)});
  char dst[100];
  ASSERT_EQ(NSquery(dst, 64, "bytes.test", dns::kTypeTXT, 0), 1);
  EXPECT_STREQ(dst, "a b c d |e\xC3\xA9");
  for (int i = 0; i < 300; i++) fake.txt("many.test", {std::string(255, 'x')});
  ASSERT_EQ(NSquery(dst, sizeof dst, "many.test", dns::kTypeTXT, 1), 1);
  EXPECT_EQ(strlen(dst), sizeof dst - 1);
  EXPECT_EQ(dst[0], '|');
  // At most 100 labels are walked (the name is first cut at 260 characters).
  std::string chain = "a";
  for (int i = 0; i < 130; i++) {
    fake.ns(chain, "ns.test");
    chain = "a." + chain;
  }
  fake.asked.clear();
  char zone[300];
  EXPECT_EQ(findzone(chain.c_str(), zone, sizeof zone), 1);
  EXPECT_EQ(fake.asked.size(), 100u);
  EXPECT_EQ(strlen(zone), 200u);
}

class GetOrigin : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = settings;
    textcopy(settings.CYMRU_ORG, "origin.test");
    textcopy(settings.CYMRU_ASN, "asn.test");
    textcopy(settings.SB_SUFFIX, "sb.test");
    settings.QuerySenderBase = 1;
  }
  void TearDown() override { settings = saved_; }
  ServerSettings saved_;
  FakeResolver fake;
};

TEST_F(GetOrigin, FillsColumnsAndSenderBaseComesLast) {
  fake.txt("77.2.0.192.origin.test", {"64500 | 192.0.2.0/23 | NL | ripencc | 2001-01-01"});
  fake.txt("as64500.asn.test", {"64500 | NL | ripencc | 2001-01-01 | EXAMPLE-AS Example, NL"});
  fake.txt("77.2.0.192.sb.test", {"0-1=SB Owner", "1-50=example.net|53=DE"});
  fake.txt("77.2.0.192.sb.test", {"2-46=16|54=4.5|55=-1.25"});
  ConnectionRecord r = client("192.0.2.77");
  getorigin(&r, ClientAddress(r.client_ip));
  EXPECT_EQ(columns(r), (std::map<std::string, std::string>{{"asn", "64500"}, {"network", "192.0.0.0/16"},
      {"prefix", "192.0.2.0/23"}, {"country", "DE"}, {"owner", "SB Owner"}, {"item50", "example.net"},
      {"item54", "4.5"}, {"item55", "-1.25"}}));
  std::vector<std::string> asked;
  for (const auto& q : fake.asked) asked.push_back(q.first);
  EXPECT_EQ(asked, (std::vector<std::string>{"77.2.0.192.origin.test", "as64500.asn.test", "77.2.0.192.sb.test"}));
}

TEST_F(GetOrigin, NoAsQueryWithoutAsNumberAndNoSenderBaseWhenOff) {
  fake.txt("77.2.0.192.origin.test", {"0 | 192.0.2.0/24 | US"});
  settings.QuerySenderBase = 0;
  ConnectionRecord r = client("192.0.2.77");
  getorigin(&r, ClientAddress(r.client_ip));
  EXPECT_EQ(r.asn, 0);
  EXPECT_STREQ(r.country, "US");
  EXPECT_STREQ(r.owner, "unknown");
  ASSERT_EQ(fake.asked.size(), 1u);
}

}  // namespace
