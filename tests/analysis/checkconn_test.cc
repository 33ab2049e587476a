// The parts of the analysis that need no SPF evaluation: address notations
// (addresses.txt), and what a private or unparsable client is asked about
// (the private ranges are tested with the SPF evaluator's special addresses,
// which share their list).
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/checkconn.h"
#include "platform/net.h"
#include "fakes/fake_resolver.h"
#include "common/settings.h"
#include "base/textbuf.h"
#include "util/cases.h"

namespace {

TEST(AddressHelpers, Table) {
  ForEachCase("addresses.txt", [](const std::string& line) {
    std::vector<std::string> w = Words(line);
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(plat::isipaddr(w[1].c_str()), w[2] == "yes");
  });
}

ConnectionRecord session(const char* ip, const char* helo) {
  ConnectionRecord r;
  memset(&r, 0, sizeof r);
  textcopy(r.client_ip, ip);
  textcopy(r.helo, helo);
  textcopy(r.thread_tag, "[0001-0001]");
  r.conn_time = {2024, 1, 1, 1, 12, 0, 0, 0};
  return r;
}

// Private clients get a PTR lookup and nothing else; the columns keep their
// defaults and the verdict follows the HELO rules without DNS.
TEST(CheckConn, PrivateClientAsksOnlyForItsPtr) {
  struct Case {
    const char* ip;
    const char* helo;
    bool has_ptr;
    const char* ptr;
    const char* tag;
    const char* detail;
  } cases[] = {
      {"10.1.2.3", "host.lan", true, "host.lan", "NL", "neutral"},
      {"10.1.2.3", "other.lan", true, "host.lan", "HL", "helo-ptr-mismatch"},
      {"172.31.255.255", "255.255.31.172.in-addr", false, "255.255.31.172.in-addr.arpa.", "GL", "bad-ptr"},
      {"127.0.0.1", "", true, "localhost", "HL", "no-helo"},
  };
  for (const auto& c : cases) {
    FakeResolver fake;
    ConnectionRecord r = session(c.ip, c.helo);
    std::string rev;
    {
      unsigned a, b, cc, d;
      sscanf(c.ip, "%u.%u.%u.%u", &a, &b, &cc, &d);
      rev = std::to_string(d) + "." + std::to_string(cc) + "." + std::to_string(b) + "." +
            std::to_string(a) + ".in-addr.arpa.";
    }
    if (c.has_ptr) fake.ptr(rev, c.ptr);
    checkconn(&r);
    ASSERT_EQ(fake.asked.size(), 1u) << c.ip;
    EXPECT_EQ(fake.asked[0].first, rev);
    EXPECT_EQ(fake.asked[0].second, dns::kTypePTR);
    EXPECT_STREQ(r.ptr_name, c.ptr);
    EXPECT_STREQ(r.list_tag, c.tag) << c.ip << " " << c.helo;
    EXPECT_STREQ(r.list_detail, c.detail) << c.ip << " " << c.helo;
    EXPECT_EQ(r.asn, 0);
    EXPECT_EQ(std::string(r.ip_network), std::string(c.ip) + "/32");
    EXPECT_STREQ(r.ip_network, r.bgp_prefix);
    EXPECT_STREQ(r.country, "--");
    EXPECT_STREQ(r.owner, "unknown");
    EXPECT_STREQ(r.spf_result, "None");
  }
}

TEST(CheckConn, UnparsableAddressMakesNoLookup) {
  FakeResolver fake;
  ConnectionRecord r = session("not-an-address", "mail.example.test");
  checkconn(&r);
  EXPECT_TRUE(fake.asked.empty());
  EXPECT_STREQ(r.ptr_name, "0.0.0.0.in-addr.arpa");
  EXPECT_STREQ(r.list_tag, "HL");  // the HELO is no prefix of the query name
  EXPECT_STREQ(r.list_detail, "helo-ptr-mismatch");
  EXPECT_STREQ(r.ip_hex, "00000000");
}

}  // namespace
