// List files (creation from the defaults; the line rules are checked by
// fuzz_listfile against an independent reading), the answers of a list zone
// (list_answers.txt) and the two list checks.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/lists.h"
#include "fakes/fake_resolver.h"
#include "fakes/lists.h"
#include "base/textbuf.h"
#include "util/cases.h"
#include "util/temp_dir.h"

namespace {

std::string readfile(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::vector<std::string> zones(const ListEntry* e) {
  std::vector<std::string> out;
  uint32_t expected = 1;
  for (; e; e = e->next) {
    EXPECT_EQ(e->number, expected++);
    out.push_back(e->zone);
  }
  return out;
}

class ListFiles : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(tmp_.path().empty()); }
  std::string path(const char* name) { return (tmp_.path() / name).string(); }
  void write(const std::string& p, const std::string& text) { std::ofstream(p) << text; }
  TempDir tmp_{"nestrap-lists-"};
};

TEST_F(ListFiles, EmptyFileIsRewrittenCommentOnlyFileIsKept) {
  const char* const defaults[] = {"# ", "# test", "# ", "one.test", "two.test", nullptr};
  std::string p = path("empty.txt");
  write(p, "");
  ListEntry* list = loadlist(p.c_str(), defaults);
  EXPECT_EQ(zones(list), (std::vector<std::string>{"one.test", "two.test"}));
  freelist(list);

  write(p, "#");
  EXPECT_EQ(loadlist(p.c_str(), defaults), nullptr);
  EXPECT_EQ(readfile(p), "#");
}

TEST_F(ListFiles, UnwritableFileGivesEmptyList) {
  std::string p = (tmp_.path() / "missing-dir" / "list.txt").string();
  EXPECT_EQ(loadlist(p.c_str(), kDnsblDefaults), nullptr);
  freelist(nullptr);
}

ConnectionRecord client(const char* ip) {
  ConnectionRecord r;
  memset(&r, 0, sizeof r);
  textcopy(r.client_ip, ip);
  textcopy(r.list_tag, "NL");
  textcopy(r.list_detail, "neutral");
  return r;
}

TEST(ListAnswer, ListingsErrorCodesAndForeignAddresses) {
  const std::map<std::string, int> kinds = {{"listed", kListed}, {"error", kListError}, {"foreign", kListForeign}};
  ForEachCase("list_answers.txt", [&](const std::string& line) {
    std::vector<std::string> w = Words(line);
    ASSERT_EQ(w.size(), 3u);
    unsigned a[4];
    ASSERT_EQ(sscanf(w[0].c_str(), "%u.%u.%u.%u", &a[0], &a[1], &a[2], &a[3]), 4);
    const uint8_t addr[4] = {(uint8_t)a[0], (uint8_t)a[1], (uint8_t)a[2], (uint8_t)a[3]};
    const char* note = nullptr;
    EXPECT_EQ(listanswer(addr, &note), kinds.at(w[1]));
    EXPECT_STREQ(note, w[2].c_str());
    EXPECT_EQ(listanswer(addr, nullptr), kinds.at(w[1]));
  });
}

TEST(CheckListByAddress, FirstZoneThatAnswersWithAListing) {
  ListEntry* list = makelist({"one.test", "two.test", "three.test"});
  struct Case {
    const char* what;
    int one_status;      // 0: no entry (NXDOMAIN)
    bool two_listed;
    bool three_listed;
    int expected;
    const char* detail;
    size_t queries;
  } cases[] = {
      {"second zone", 0, true, true, 2, "two.test", 2},
      {"failure counts as not listed", dns::kStatusServFail, false, true, 3, "three.test", 3},
      {"time-out counts as not listed", dns::kStatusTimeout, true, false, 2, "two.test", 2},
      {"nobody", 0, false, false, 0, "neutral", 3},
  };
  for (const auto& c : cases) {
    FakeResolver fake;
    if (c.one_status) fake.status("77.2.0.192.one.test", dns::kTypeA, c.one_status);
    if (c.two_listed) fake.a("77.2.0.192.two.test", 127, 0, 0, 4);
    if (c.three_listed) fake.a("77.2.0.192.three.test", 127, 0, 0, 2);
    ConnectionRecord r = client("192.0.2.77");
    EXPECT_EQ(checklist(&r, list, "BL"), c.expected) << c.what;
    EXPECT_STREQ(r.list_tag, c.expected ? "BL" : "NL") << c.what;
    EXPECT_STREQ(r.list_detail, c.detail) << c.what;
    EXPECT_EQ(fake.asked.size(), c.queries) << c.what;
  }
  FakeResolver fake;
  ConnectionRecord r = client("192.0.2.77");
  EXPECT_EQ(checklist(&r, nullptr, "WL"), 0);
  EXPECT_TRUE(fake.asked.empty());
  // A CNAME in place of the A record is no listing.
  fake.add("77.2.0.192.one.test", dns::kTypeCNAME, dns::Section::Answer, dns::kTypeA).target = "x";
  EXPECT_EQ(checklist(&r, list, "WL"), 0);
  freelist(list);
}

TEST(CheckListByDomain, RegisteredPartIsAsked) {
  ListEntry* list = makelist({"uri-one.test", "uri-two.test"});
  FakeResolver fake;
  fake.ns("test", "ns.test");
  fake.ns("example.test", "ns.example.test");
  fake.a("example.test.uri-two.test", 127, 0, 0, 2);
  struct Case { const char* domain; int expected; std::vector<std::string> asked; } cases[] = {
      {"mail.example.test", 2,
       {"test.", "example.test.", "mail.example.test.", "example.test.uri-one.test",
        "example.test.uri-two.test"}},
      {"192.0.2.1", 0, {}},
      {"[192.0.2.1", 0, {}},  // not an address, not a name with name servers
      {"host.nowhere", 0, {"nowhere."}},
      {"", 0, {}},
  };
  for (const auto& c : cases) {
    fake.asked.clear();
    ConnectionRecord r = client("192.0.2.77");
    EXPECT_EQ(checklist(&r, c.domain, list, "BU"), c.expected) << c.domain;
    std::vector<std::string> asked;
    for (const auto& q : fake.asked) asked.push_back(q.first);
    if (std::string(c.domain) != "[192.0.2.1") {
      EXPECT_EQ(asked, c.asked) << c.domain;
    }
    EXPECT_STREQ(r.list_tag, c.expected ? "BU" : "NL");
    EXPECT_STREQ(r.list_detail, c.expected ? "uri-two.test" : "neutral");
  }
  ConnectionRecord r = client("192.0.2.77");
  EXPECT_EQ(checklist(&r, "example.test", nullptr, "WU"), 0);
  freelist(list);
}

}  // namespace
