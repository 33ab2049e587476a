// The analysis of a client: address notations and what a private client is
// asked about (addresses.txt; the private ranges are tested with the SPF
// evaluator's special addresses, which share their list), an unparsable
// client, and which identity and client the SPF column checks
// (spf_column.txt; the verdicts themselves: tests/spf/cases.txt).
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/checkconn.h"
#include "analysis/getspf.h"
#include "platform/net.h"
#include "fakes/fake_resolver.h"
#include "common/settings.h"
#include "base/textbuf.h"
#include "spf/wrenspf.h"
#include "util/cases.h"

namespace {

ConnectionRecord session(const char* ip, const char* helo) {
  ConnectionRecord r;
  memset(&r, 0, sizeof r);
  textcopy(r.client_ip, ip);
  textcopy(r.helo, helo);
  textcopy(r.thread_tag, "[0001-0001]");
  r.conn_time = {2024, 1, 1, 1, 12, 0, 0, 0};
  return r;
}

TEST(AddressHelpers, Table) {
  ForEachCase("addresses.txt", [](const std::string& line) {
    std::vector<std::string> w = Words(line);
    if (w[0] == "classic") {
      EXPECT_EQ(plat::isipaddr(w[1].c_str()), w[2] == "yes");
      return;
    }
    ASSERT_EQ(w.size(), 7u);
    unsigned a, b, c, d;
    ASSERT_EQ(sscanf(w[1].c_str(), "%u.%u.%u.%u", &a, &b, &c, &d), 4);
    const std::string rev = std::to_string(d) + "." + std::to_string(c) + "." + std::to_string(b) + "." +
                            std::to_string(a) + ".in-addr.arpa.";
    FakeResolver fake;
    if (w[3] != "-") fake.ptr(rev, w[3]);
    ConnectionRecord r = session(w[1].c_str(), w[2].c_str());
    checkconn(&r);
    EXPECT_EQ(fake.asked, (decltype(fake.asked){{rev, dns::kTypePTR}}));
    EXPECT_EQ(std::vector<std::string>({r.ptr_name, r.list_tag, r.list_detail}),
              std::vector<std::string>(w.begin() + 4, w.end()));
    EXPECT_EQ(r.asn, 0);
    EXPECT_EQ(std::vector<std::string>({r.ip_network, r.bgp_prefix, r.country, r.owner, r.spf_result}),
              std::vector<std::string>({w[1] + "/32", w[1] + "/32", "--", "unknown", "None"}));
  });
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

TEST(GetSpf, IdentityAndClient) {
  ASSERT_EQ(SpfInit(0, 0, 0), 0);
  FakeResolver fake;
  fake.txt("strict.example.org", {"v=spf1 ip4:192.0.2.7 -all"});
  fake.txt("example.org", {"v=spf1 ptr -all"});
  fake.ptr("1.100.51.198.in-addr.arpa", "mx.example.org");
  fake.ptr("2.100.51.198.in-addr.arpa", "mx.example.org");
  fake.a("mx.example.org", 198, 51, 100, 1);
  ForEachCase("spf_column.txt", [&](const std::string& line) {
    std::vector<std::string> w = Words(line);
    ASSERT_EQ(w.size(), 6u);
    fake.asked.clear();
    ConnectionRecord r;
    memset(&r, 0, sizeof r);
    textcopy(r.client_ip, w[0].c_str());
    textcopy(r.mail_from, w[1].c_str());
    textcopy(r.helo, w[2].c_str());
    textcopy(r.ptr_name, w[3].c_str());
    textcopy(r.spf_result, "None");
    getspf(&r, ClientAddress(r.client_ip));
    EXPECT_EQ(r.spf_result, w[4]);
    int ptrs = 0;
    for (const auto& [name, type] : fake.asked) ptrs += type == dns::kTypePTR;
    EXPECT_EQ(ptrs, std::stoi(w[5]));
  });
  SpfCleanup();
}

}  // namespace
