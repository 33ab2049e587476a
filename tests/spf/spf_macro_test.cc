// The macro expander: letters, transformations and escapes (macro_cases.txt),
// limits and the output-size rules (bounds and agreement of the heap and
// buffer results for any macro text: fuzz_spfmacro).
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

struct Expansion {
  int rc;
  std::string text;
};

class MacroTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SpfInit(0, 0, 0);
    SpfSetLocalHost("mx.receiver.example");
    ctx.checktime = 1700000000;
    ctx.localpart = "strong-bad";
    ctx.domain = "email.example.com";
    ctx.helo = "mail.example.org";
    SetClient("192.0.2.3");
  }
  void TearDown() override { SpfCleanup(); }

  void SetClient(const char* text) {
    ctx.ipv6 = SpfParseIPv4(text, ctx.addr, 0) ? 0 : 1;
    if (ctx.ipv6) {
      ASSERT_NE(SpfParseIPv6(text, ctx.addr, 0), nullptr);
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
};

TEST_F(MacroTest, Letters) {
  ForEachCase("macro_cases.txt", [&](const std::string& line) {
    std::vector<std::string> w = Words(line);
    ASSERT_GE(w.size(), 2u);
    const bool explain = w.size() > 2;
    SetClient(explain ? "2001:db8::1" : "192.0.2.3");
    Expansion e = Heap(w[0], !explain);
    if (w[1] == "PermError") {
      EXPECT_EQ(e.rc, SPF_PERMERROR) << e.text;
    } else {
      EXPECT_EQ(e.rc, -1);
      EXPECT_EQ(e.text, w[1]);
      if (!explain) {
        EXPECT_EQ(Buffer(w[0]).text, w[1]) << "(caller's buffer)";
      }
    }
  });
  SpfSetLocalHost(nullptr);
  EXPECT_EQ(Heap("%{r}", false).text, "unknown");
}

TEST_F(MacroTest, UrlEscapingAndDefaults) {
  ctx.localpart = "a b";
  EXPECT_EQ(Heap("%{L}").text, "a%20b");
  ctx.localpart = "x!~*'()-_.y/z";
  EXPECT_EQ(Heap("%{L}").text, "x!~*'()-_.y%2Fz");
  ctx.localpart = nullptr;
  EXPECT_EQ(Heap("%{s}").text, "postmaster@email.example.com");
  EXPECT_EQ(Heap("%{l}").text, "postmaster");
  ctx.helo = nullptr;
  EXPECT_EQ(Heap("%{h}").text, "unknown");
  // Delimiters other than '.' are joined back with '.'.
  ctx.localpart = "a+b=c,d/e_f";
  EXPECT_EQ(Heap("%{l+=,/_}").text, "a.b.c.d.e.f");
}

TEST_F(MacroTest, ClientNameMacro) {
  ctx.clientname = "host.given.example";
  EXPECT_EQ(Heap("%{p}").text, "host.given.example");
  ctx.clientname = nullptr;
  fake.ptr("3.2.0.192.in-addr.arpa", "other.example.net");
  fake.ptr("3.2.0.192.in-addr.arpa", "mx.email.example.com");
  fake.a("other.example.net", 192, 0, 2, 3);
  fake.a("mx.email.example.com", 192, 0, 2, 3);
  // A name under the sender domain is preferred to any other name.
  EXPECT_EQ(Heap("%{p}").text, "mx.email.example.com");
  // Looked up once per check.
  int q = fake.queries;
  EXPECT_EQ(Heap("%{p}.%{p}").text, "mx.email.example.com.mx.email.example.com");
  EXPECT_EQ(fake.queries, q);
  SpfContext fresh;
  fresh.domain = "email.example.com";
  SpfParseIPv4("192.0.2.99", fresh.addr, 0);
  char* out = nullptr;
  const char m[] = "%{p}";
  ASSERT_EQ(SpfExpandMacros(&fresh, m, m + 4, "x.example", &out, 1), -1);
  EXPECT_STREQ(out, "Unknown");
  free(out);
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
