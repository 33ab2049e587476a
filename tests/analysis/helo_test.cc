// The eleven HELO classes (helo_cases.txt) and the URI list step
// (uri_lists.txt), against the fake resolver.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/helo.h"
#include "analysis/lists.h"
#include "fakes/fake_resolver.h"
#include "base/textbuf.h"
#include "util/cases.h"

namespace {

ConnectionRecord client(const char* helo, const char* ptr) {
  ConnectionRecord r;
  memset(&r, 0, sizeof r);
  textcopy(r.client_ip, "192.0.2.77");
  textcopy(r.helo, helo);
  textcopy(r.ptr_name, ptr);
  textcopy(r.list_tag, "GL");
  textcopy(r.list_detail, "bad-ptr");
  return r;
}

class Helo : public ::testing::Test {
 protected:
  void SetUp() override {
    fake.ns("test", "ns.test");
    fake.ns("example.test", "ns.example.test");
    fake.a("mail.example.test", 192, 0, 2, 77);
    fake.a("under_score.example.test", 192, 0, 2, 77);
  }
  FakeResolver fake;
};

TEST_F(Helo, Classes) {
  ForEachCase("helo_cases.txt", [&](const std::string& line) {
    std::vector<std::string> w = Words(line);
    ASSERT_EQ(w.size(), 5u);
    int local = std::stoi(w[2]), code = std::stoi(w[3]);
    bool labelled = w[4] != "-";
    fake.asked.clear();
    ConnectionRecord r = client(w[0].c_str(), w[1].c_str());
    EXPECT_EQ(checkhelo(&r, local), code);
    EXPECT_STREQ(r.list_tag, labelled ? "HL" : "GL");
    EXPECT_STREQ(r.list_detail, labelled ? w[4].c_str() : "bad-ptr");
    EXPECT_EQ(r.helo, w[0]);
    if ((code >= 1 && code <= 9) || local) {
      EXPECT_TRUE(fake.asked.empty());
    }
  });
}

TEST_F(Helo, OverlongHeloIsClassifiedOnItsFirst260Characters) {
  std::string helo = "mail.example.test" + std::string(300, 'x');
  ConnectionRecord r = client("", "mail.example.test");
  textcopy(r.helo, helo.c_str());
  EXPECT_EQ(checkhelo(&r, 0), 9);
}

// The URI list step (uri_lists.txt).
TEST_F(Helo, UriListsInOrder) {
  ListEntry wl{1, "wl.test", nullptr};
  ListEntry bl2{2, "bl2.test", nullptr};
  ListEntry bl{1, "bl.test", &bl2};
  ListEntry* saved_wl = uriwl;
  ListEntry* saved_bl = uribl;
  uriwl = &wl;
  uribl = &bl;
  const char* helo = "mx.example.test";
  const char* ptr = "mx.example.test.isp.test";

  const std::vector<std::string> all = {"example.test.wl.test", "isp.test.wl.test", "example.test.bl.test",
                                        "example.test.bl2.test", "isp.test.bl.test", "isp.test.bl2.test"};
  ForEachCase("uri_lists.txt", [&](const std::string& line) {
    std::vector<std::string> w = Words(line);
    ASSERT_EQ(w.size(), 5u);
    FakeResolver f;
    f.ns("test", "ns.test");
    f.ns("example.test", "ns.example.test");
    f.ns("isp.test", "ns.isp.test");
    f.a("mx.example.test", 192, 0, 2, 77);
    if (w[0] != "-") f.a(w[0], 127, 0, 1, 2);
    ConnectionRecord r = client(helo, ptr);
    EXPECT_EQ(checkhelo(&r, 0), std::stoi(w[1]));
    EXPECT_EQ(r.list_tag, w[2]);
    EXPECT_EQ(r.list_detail, w[3]);
    std::vector<std::string> lookups;
    for (const auto& q : f.asked)
      if (q.second == dns::kTypeA && q.first != helo) lookups.push_back(q.first);
    EXPECT_EQ(lookups, std::vector<std::string>(all.begin(), all.begin() + std::stoi(w[4])));
  });
  uriwl = saved_wl;
  uribl = saved_bl;
}

}  // namespace
