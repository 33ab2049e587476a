// The text work of the evaluator: address parsers, the address formatter,
// public ranges and nested names (addresses.txt); the macro expander's
// letters, transformations, escapes and context (macro_cases.txt), limits
// and the output-size rules (bounds and agreement of the heap and buffer
// results for any macro text: fuzz_spfmacro).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fakes/fake_resolver.h"
#include "spf/spf_internal.h"
#include "spf/wrenspf.h"
#include "util/cases.h"

namespace {

// "formatted address|rest" or "none".
std::string Parse(bool ipv6, const char* text, char term) {
  uint8_t a[16];
  const char* e = ipv6 ? SpfParseIPv6(text, a, term) : SpfParseIPv4(text, a, term);
  if (!e) return "none";
  char buf[kSpfAddrTextSize];
  SpfFormatAddress(ipv6, a, buf, false);
  return std::string(buf) + "|" + e;
}

TEST(SpfAddresses, Table) {
  ForEachCase("addresses.txt", [](const std::string& line) {
    std::vector<std::string> w = Words(line);
    ASSERT_GE(w.size(), 3u);
    const bool v6 = w[1].find(':') != std::string::npos;
    uint8_t a[16], b[16];
    char buf[kSpfAddrTextSize];
    if (w[0] == "v4" || w[0] == "v6") {
      ASSERT_EQ(w.size(), 4u);
      EXPECT_EQ(Parse(w[0] == "v6", w[1].c_str(), w[2] == "-" ? 0 : w[2][0]), w[3]);
    } else if (w[0] == "format") {
      ASSERT_NE(SpfParseIPv6(w[1].c_str(), a, 0), nullptr);
      EXPECT_EQ(SpfFormatAddress(true, a, buf, false), (int)w[2].size());
      EXPECT_EQ(buf, w[2]);
      ASSERT_NE(SpfParseIPv6(buf, b, 0), nullptr);
      EXPECT_EQ(memcmp(a, b, 16), 0);
    } else if (w[0] == "public") {
      ASSERT_NE(v6 ? SpfParseIPv6(w[1].c_str(), a, 0) : SpfParseIPv4(w[1].c_str(), a, 0), nullptr);
      EXPECT_EQ(v6 ? SpfIsPublicIPv6(a) : SpfIsPublicIPv4(a), w[2] == "yes");
    } else {
      ASSERT_EQ(w[0], "nested");
      EXPECT_EQ(SpfValidDomain(w[1].c_str(), 256), w[2] == "valid");
    }
  });
  uint8_t a[16];
  EXPECT_EQ(SpfParseIPv4(nullptr, a, 0), nullptr);
  EXPECT_EQ(SpfParseAddress("192.0.2.1", 10, a), nullptr);
  EXPECT_EQ(SpfParseAddress(nullptr, SPF_FAMILY_IPV4, a), nullptr);
  EXPECT_EQ(SpfParseAddress("192.0.2.1", SPF_FAMILY_IPV4, nullptr), nullptr);
}


struct Expansion {
  int rc;
  std::string text;
};

class MacroTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SpfInit(0, 0, 0);
    SpfSetLocalHost("mx.receiver.example");
    // Two names for the client; the one under the sender domain confirms.
    fake.ptr("3.2.0.192.in-addr.arpa", "other.example.net");
    fake.ptr("3.2.0.192.in-addr.arpa", "mx.email.example.com");
    fake.a("other.example.net", 192, 0, 2, 3);
    fake.a("mx.email.example.com", 192, 0, 2, 3);
    Reset("192.0.2.3");
  }
  void TearDown() override { SpfCleanup(); }

  // A fresh context (the "p" name is looked up once per context).
  void Reset(const std::string& client) {
    ctx = SpfContext();
    ctx.checktime = 1700000000;
    ctx.localpart = "strong-bad";
    ctx.domain = "email.example.com";
    ctx.helo = "mail.example.org";
    client_ = client;
    ctx.ipv6 = SpfParseIPv4(client_.c_str(), ctx.addr, 0) ? 0 : 1;
    if (ctx.ipv6) {
      ASSERT_NE(SpfParseIPv6(client_.c_str(), ctx.addr, 0), nullptr);
    }
  }

  // Expands into a new heap text.
  Expansion Heap(const std::string& macro, bool domainmode = true, const char* cur = "a.b.example.org") {
    char* out = nullptr;
    int rc = SpfExpandMacros(&ctx, macro.data(), macro.data() + macro.size(), cur, &out, domainmode);
    Expansion e{rc, out ? out : "<none>"};
    if (rc != -1) {
      EXPECT_EQ(out, nullptr) << macro;
    }
    free(out);
    return e;
  }
  // Expands into a caller's 256-byte buffer.
  Expansion Buffer(const std::string& macro, const char* cur = "a.b.example.org") {
    char buf[256];
    char* out = buf;
    int rc = SpfExpandMacros(&ctx, macro.data(), macro.data() + macro.size(), cur, &out, 1);
    EXPECT_EQ(out, buf);
    return {rc, rc == -1 ? std::string(buf) : "<none>"};
  }

  FakeResolver fake;
  SpfContext ctx;
  std::string client_, settings_[3];  // what the context points to
};

TEST_F(MacroTest, Letters) {
  ForEachCase("macro_cases.txt", [&](const std::string& line) {
    std::vector<std::string> w = Words(line);
    size_t k = 0;
    Reset(w.back() == "explain" ? "2001:db8::1" : "192.0.2.3");
    // Leading l=, h= and p= set the local part, HELO and client name ("-": none).
    for (; w[k].size() > 1 && w[k][1] == '=' && strchr("lhp", w[k][0]); k++) {
      const char** field = w[k][0] == 'l' ? &ctx.localpart : w[k][0] == 'h' ? &ctx.helo : &ctx.clientname;
      settings_[k] = w[k].substr(2);
      *field = settings_[k] == "-" ? nullptr : settings_[k].c_str();
    }
    if (w[k] == "ip") Reset(w[++k]), k++;
    ASSERT_GE(w.size(), k + 2);
    const bool explain = w.back() == "explain";
    Expansion e = Heap(w[k], !explain);
    if (w[k + 1] == "PermError") {
      EXPECT_EQ(e.rc, SPF_PERMERROR) << e.text;
    } else {
      EXPECT_EQ(e.rc, -1);
      EXPECT_EQ(e.text, w[k + 1]);
      if (!explain) {
        EXPECT_EQ(Buffer(w[k]).text, w[k + 1]) << "(caller's buffer)";
      }
    }
  });
  // The client's name is looked up once per check; no local host name is "unknown".
  Reset("192.0.2.3");
  Heap("%{p}");
  const int queries = fake.queries;
  EXPECT_EQ(Heap("%{p}").text, "mx.email.example.com");
  EXPECT_EQ(fake.queries, queries);
  SpfSetLocalHost(nullptr);
  EXPECT_EQ(Heap("%{r}", false).text, "unknown");
}

TEST_F(MacroTest, LongResultsAreCutFromTheLeft) {
  // 300 characters: labels of 9 letters and a dot.
  std::string label = "abcdefghi.";
  std::string longname;
  while (longname.size() < 300) longname += label;
  longname.resize(300);
  ASSERT_EQ(longname.size(), 300u);
  std::string last256 = longname.substr(300 - 256);
  std::string want = last256.substr(last256.find('.') + 1);
  for (bool heap : {true, false}) {
    Expansion e = heap ? Heap("%{d}", true, longname.c_str()) : Buffer("%{d}", longname.c_str());
    EXPECT_EQ(e.rc, -1);
    EXPECT_EQ(e.text, want);
    EXPECT_LE(e.text.size(), 255u);
  }
  // Without any dot only the first character goes.
  std::string nodots(400, 'x');
  EXPECT_EQ(Heap("%{d}", true, nodots.c_str()).text, std::string(255, 'x'));
  // Starting with a dot: that one character goes.
  std::string dotted = std::string(44, 'y') + "." + std::string(255, 'z');
  EXPECT_EQ(Heap("%{d}", true, dotted.c_str()).text, std::string(255, 'z'));
  // Explanation mode keeps everything.
  EXPECT_EQ(Heap("%{d}", false, longname.c_str()).text, longname);
}

}  // namespace
