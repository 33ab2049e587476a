// List files (creation from the defaults; the line rules are checked by
// fuzz_listfile against an independent reading) and the two list checks.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/lists.h"
#include "fakes/fake_resolver.h"
#include "fakes/lists.h"
#include "base/textbuf.h"
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

// Only addresses in 127.0.0.0/8 outside the error range 127.255.255.0/24
// are listings.
TEST(ListAnswer, ListingsErrorCodesAndForeignAddresses) {
  struct Case { uint8_t a[4]; int kind; const char* note; } cases[] = {
      {{127, 0, 0, 2}, kListed, "listed"},
      {{127, 0, 0, 1}, kListed, "listed"},  // a listing; the health check flags such a zone
      {{127, 0, 0, 0}, kListed, "listed"},
      {{127, 0, 0, 255}, kListed, "listed"},
      {{127, 255, 254, 255}, kListed, "listed"},
      {{127, 254, 255, 255}, kListed, "listed"},
      {{127, 255, 255, 0}, kListError, "refused: error code"},
      {{127, 255, 255, 252}, kListError, "refused: typing error in the zone name?"},
      {{127, 255, 255, 253}, kListError, "refused: error code"},
      {{127, 255, 255, 254}, kListError, "refused: query via public resolver?"},
      {{127, 255, 255, 255}, kListError, "refused: excessive number of queries?"},
      {{126, 255, 255, 255}, kListForeign, "not in 127.0.0.0/8"},
      {{128, 0, 0, 0}, kListForeign, "not in 127.0.0.0/8"},
      {{10, 20, 30, 40}, kListForeign, "not in 127.0.0.0/8"},
      {{0, 0, 0, 0}, kListForeign, "not in 127.0.0.0/8"},
      {{255, 255, 255, 255}, kListForeign, "not in 127.0.0.0/8"},
  };
  for (const auto& c : cases) {
    const char* note = nullptr;
    EXPECT_EQ(listanswer(c.a, &note), c.kind) << (int)c.a[0] << "." << (int)c.a[3];
    EXPECT_STREQ(note, c.note) << (int)c.a[0] << "." << (int)c.a[3];
    EXPECT_EQ(listanswer(c.a, nullptr), c.kind);
  }
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
