// The SPF column of the connection analysis: which identity and client it
// checks (the verdicts themselves: tests/spf/cases.txt).
#include <gtest/gtest.h>

#include <cstring>

#include "analysis/getspf.h"
#include "fakes/fake_resolver.h"
#include "base/textbuf.h"
#include "spf/wrenspf.h"

namespace {

struct Case {
  const char* client;
  const char* mail_from;
  const char* helo;
  const char* want;
};

TEST(GetSpf, VerdictWords) {
  ASSERT_EQ(SpfInit(0, 0, 0), 0);
  FakeResolver fake;
  fake.txt("strict.example.org", {"v=spf1 ip4:192.0.2.7 -all"});
  // The identities and verdicts of whole sessions are checked end to end
  // (test_spf.py); these are the inputs a session cannot produce.
  const Case cases[] = {
      {"192.0.2.8", "<user@strict.example.org> SIZE=100", "", "Fail"},
      {"198.51.100.1", "<user@nowhere.example.org>", "", "None"},
      {"198.51.100.1", "<>", "", "PermError"},
      {"not-an-address", "<user@example.org>", "", "None"},
      {"127.0.0.1", "<user@strict.example.org>", "", "Pass"},
  };
  for (const Case& c : cases) {
    ConnectionRecord r;
    memset(&r, 0, sizeof r);
    textcopy(r.client_ip, c.client);
    textcopy(r.mail_from, c.mail_from);
    textcopy(r.helo, c.helo);
    textcopy(r.ptr_name, "1.100.51.198.in-addr.arpa.");
    textcopy(r.spf_result, "None");
    getspf(&r);
    EXPECT_STREQ(r.spf_result, c.want) << c.client << " " << c.mail_from << " " << c.helo;
  }
  SpfCleanup();
}

TEST(GetSpf, OnlyAForwardConfirmedPtrNameIsTrusted) {
  ASSERT_EQ(SpfInit(0, 0, 0), 0);
  FakeResolver fake;
  fake.txt("example.org", {"v=spf1 ptr -all"});
  fake.ptr("1.100.51.198.in-addr.arpa", "mx.example.org");
  fake.ptr("2.100.51.198.in-addr.arpa", "mx.example.org");
  fake.a("mx.example.org", 198, 51, 100, 1);
  struct {
    const char* client;
    const char* want;
  } cases[] = {
      {"198.51.100.1", "Pass"},  // the name's A record is the client
      {"198.51.100.2", "Fail"},  // a reverse name anyone can publish
  };
  for (const auto& c : cases) {
    fake.asked.clear();
    ConnectionRecord r;
    memset(&r, 0, sizeof r);
    textcopy(r.client_ip, c.client);
    textcopy(r.mail_from, "<a@example.org>");
    textcopy(r.ptr_name, "mx.example.org");
    getspf(&r);
    EXPECT_STREQ(r.spf_result, c.want) << c.client;
    // A confirmed name is taken as given: no PTR query was needed.
    int ptrs = 0;
    for (const auto& [name, type] : fake.asked) ptrs += type == dns::kTypePTR;
    EXPECT_EQ(ptrs, strcmp(c.want, "Pass") == 0 ? 0 : 1) << c.client;
  }
  SpfCleanup();
}

}  // namespace
