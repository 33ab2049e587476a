// The SPF column of the connection analysis: which identity and client it
// checks (spf_column.txt; the verdicts themselves: tests/spf/cases.txt).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "analysis/getspf.h"
#include "base/textbuf.h"
#include "fakes/fake_resolver.h"
#include "spf/wrenspf.h"
#include "util/cases.h"

namespace {

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
