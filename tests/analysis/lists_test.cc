// List files (creation from the defaults; the line rules are checked by
// fuzz_listfile against an independent reading), the answers of a list zone
// (list_answers.txt) and the two list checks (list_checks.txt).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <iterator>
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
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
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

TEST(CheckList, ByAddressAndByDomain) {
  ListEntry* addresses = makelist({"one.test", "two.test", "three.test"});
  ListEntry* domains = makelist({"uri-one.test", "uri-two.test"});
  ForEachCase("list_checks.txt", [&](const std::string& line) {
    std::vector<std::string> w = Words(line);
    FakeResolver fake;
    ConnectionRecord r = client("192.0.2.77");
    int result;
    std::string asked, detail, tag = w[0] == "address" ? "BL" : "BU";
    if (w[0] == "address") {
      ASSERT_EQ(w.size(), 7u);
      const char* zones[] = {"one.test", "two.test", "three.test"};
      for (int i = 0; i < 3; i++) {
        std::string name = std::string("77.2.0.192.") + zones[i];
        if (w[1 + i] == "listed") fake.a(name, 127, 0, 0, 2);
        if (w[1 + i] == "servfail") fake.status(name, dns::kTypeA, dns::kStatusServFail);
        if (w[1 + i] == "timeout") fake.status(name, dns::kTypeA, dns::kStatusTimeout);
      }
      result = checklist(&r, ClientAddress(r.client_ip), addresses, "BL");
      EXPECT_EQ(result, std::stoi(w[4]));
      detail = w[5];
      EXPECT_EQ(fake.asked.size(), std::stoul(w[6]));
    } else {
      ASSERT_EQ(w.size(), 4u);
      fake.ns("test", "ns.test");
      fake.ns("example.test", "ns.example.test");
      fake.a("example.test.uri-two.test", 127, 0, 0, 2);
      result = checklist(&r, w[1].c_str(), domains, "BU");
      EXPECT_EQ(result, std::stoi(w[2]));
      detail = result ? "uri-two.test" : "neutral";
      for (const auto& q : fake.asked) asked += (asked.empty() ? "" : ",") + q.first;
      if (w[3] != "*") {
        EXPECT_EQ(asked.empty() ? "-" : asked, w[3]);
      }
    }
    EXPECT_STREQ(r.list_tag, result ? tag.c_str() : "NL");
    EXPECT_STREQ(r.list_detail, detail.c_str());
  });
  FakeResolver fake;
  ConnectionRecord r = client("192.0.2.77");
  EXPECT_EQ(checklist(&r, ClientAddress(r.client_ip), nullptr, "WL"), 0);
  EXPECT_EQ(checklist(&r, "example.test", nullptr, "WU"), 0);
  EXPECT_TRUE(fake.asked.empty());
  // A CNAME in place of the A record is no listing.
  fake.add("77.2.0.192.one.test", dns::kTypeCNAME, dns::Section::Answer, dns::kTypeA).target = "x";
  EXPECT_EQ(checklist(&r, ClientAddress(r.client_ip), addresses, "WL"), 0);
  freelist(addresses);
  freelist(domains);
}

}  // namespace
