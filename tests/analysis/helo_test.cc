// The eleven HELO classes and the URI list step, against the fake resolver.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/helo.h"
#include "analysis/lists.h"
#include "fakes/fake_resolver.h"
#include "base/textbuf.h"

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
  const char* ptr = "mail.example.test";
  struct Case {
    const char* helo;
    const char* ptr;
    int local;
    int code;
    const char* label;  // null: columns left as they were
  } cases[] = {
      {"", ptr, 0, 1, "no-helo"},
      {"", ptr, 1, 1, "no-helo"},
      {"[", ptr, 0, 2, "bad-helo"},
      {"[]", ptr, 0, 2, "bad-helo"},
      {"]mail.example.test", ptr, 0, 2, "bad-helo"},
      {"[]mail.example.test", ptr, 0, 2, "bad-helo"},
      {"[IPv6:2001:db8::1]", ptr, 0, 3, "bad-helo-chars"},
      {"[::1]", ptr, 0, 3, "bad-helo-chars"},
      {"mail example.test", ptr, 0, 3, "bad-helo-chars"},
      {"mail.example.test:25", ptr, 0, 3, "bad-helo-chars"},
      {"m\xC3\xA4il.example.test", ptr, 0, 3, "bad-helo-chars"},
      {"[[mail.example.test]", ptr, 0, 3, "bad-helo-chars"},  // only one "[" is skipped
      {"-mail.example.test", ptr, 0, 4, "bad-helo-format"},
      {".mail.example.test", ptr, 0, 4, "bad-helo-format"},
      {"[.mail.example.test]", ptr, 0, 4, "bad-helo-format"},
      {"mailhost", ptr, 0, 5, "not-fqdn-helo"},
      {"localhost", ptr, 0, 5, "not-fqdn-helo"},
      {"[mailhost]", ptr, 0, 5, "not-fqdn-helo"},
      {"mail..example.test", ptr, 0, 6, "bad-helo-format"},
      {"192.0.2.77", ptr, 0, 7, "ip-in-helo"},
      {"[192.0.2.77]", ptr, 0, 7, "ip-in-helo"},
      {"10.1", ptr, 0, 7, "ip-in-helo"},
      {"0x7f.1", ptr, 0, 7, "ip-in-helo"},
      {"255.255.255.255", ptr, 0, 9, "helo-ptr-mismatch"},  // not an address
      {"localhost.localdomain", ptr, 0, 8, "spoofed-helo"},
      {"LocalHostX.example.test", ptr, 0, 8, "spoofed-helo"},
      {"other.example.test", ptr, 0, 9, "helo-ptr-mismatch"},
      {"other.example.test", ptr, 1, 9, "helo-ptr-mismatch"},
      {"mail.example.test.", ptr, 0, 9, "helo-ptr-mismatch"},  // final dot beyond the PTR name
      {"mail.example.test", "77.2.0.192.in-addr.arpa.", 0, 9, "helo-ptr-mismatch"},
      // A leading part of the PTR name matches it; trailing "]" and its tail are cut.
      {"MAIL.Example.TEST", ptr, 0, 0, nullptr},
      {"[mail.example.test]junk", ptr, 0, 0, nullptr},
      {"mail.example.te", ptr, 1, 0, nullptr},
      {"mail.example.test", ptr, 1, 0, nullptr},
      {"77.2.0.192.in-addr", "77.2.0.192.in-addr.arpa.", 1, 0, nullptr},
      {"mail.nowhere", "mail.nowhere", 0, 10, "non-existing-domain"},
      {"mail.example.te", ptr, 0, 10, "non-existing-domain"},
      {"www.example.test", "www.example.test", 0, 11, "unresolvable-helo"},
      {"under_score.example.test", "under_score.example.test", 0, 0, nullptr},
      {"mail.example.test", ptr, 0, 0, nullptr},
  };
  for (const auto& c : cases) {
    fake.asked.clear();
    ConnectionRecord r = client(c.helo, c.ptr);
    std::string helo_before = r.helo;
    EXPECT_EQ(checkhelo(&r, c.local), c.code) << c.helo;
    EXPECT_STREQ(r.list_tag, c.label ? "HL" : "GL") << c.helo;
    EXPECT_STREQ(r.list_detail, c.label ? c.label : "bad-ptr") << c.helo;
    EXPECT_EQ(r.helo, helo_before);
    // Classes 1 to 9 and local clients need no DNS.
    if ((c.code >= 1 && c.code <= 9) || c.local) {
      EXPECT_TRUE(fake.asked.empty()) << c.helo;
    }
  }
}

TEST_F(Helo, OverlongHeloIsClassifiedOnItsFirst260Characters) {
  std::string helo = "mail.example.test" + std::string(300, 'x');
  ConnectionRecord r = client("", "mail.example.test");
  textcopy(r.helo, helo.c_str());
  EXPECT_EQ(checkhelo(&r, 0), 9);
}

// For a matching, resolvable HELO: the URI white list before the black list,
// for each the HELO before the reverse name; the first hit ends the step.
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

  struct Case { const char* listed; int code; const char* tag; const char* detail; size_t lookups; } cases[] = {
      {nullptr, 0, "GL", "bad-ptr", 6},
      {"example.test.wl.test", 1, "WU", "wl.test", 1},
      {"isp.test.wl.test", 1, "WU", "wl.test", 2},
      {"example.test.bl.test", 1, "BU", "bl.test", 3},
      {"isp.test.bl2.test", 2, "BU", "bl2.test", 6},
  };
  for (const auto& c : cases) {
    FakeResolver f;
    f.ns("test", "ns.test");
    f.ns("example.test", "ns.example.test");
    f.ns("isp.test", "ns.isp.test");
    f.a("mx.example.test", 192, 0, 2, 77);
    if (c.listed) f.a(c.listed, 127, 0, 1, 2);
    ConnectionRecord r = client(helo, ptr);
    EXPECT_EQ(checkhelo(&r, 0), c.code) << (c.listed ? c.listed : "none");
    EXPECT_STREQ(r.list_tag, c.tag);
    EXPECT_STREQ(r.list_detail, c.detail);
    std::vector<std::string> lookups;
    for (const auto& q : f.asked)
      if (q.second == dns::kTypeA && q.first != helo) lookups.push_back(q.first);
    std::vector<std::string> all = {"example.test.wl.test", "isp.test.wl.test", "example.test.bl.test",
                                    "example.test.bl2.test", "isp.test.bl.test", "isp.test.bl2.test"};
    all.resize(c.lookups);
    EXPECT_EQ(lookups, all) << (c.listed ? c.listed : "none");
  }
  uriwl = saved_wl;
  uribl = saved_bl;
}

}  // namespace
