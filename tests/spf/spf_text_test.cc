// Address parsers and the address formatter.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "spf/spf_internal.h"
#include "spf/wrenspf.h"

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

TEST(SpfAddresses, ParseAcceptsAndRejects) {
  struct {
    bool v6;
    const char* text;
    char term;
    const char* want;
  } cases[] = {
      {0, "192.0.2.001", 0, "192.0.2.1|"},         {0, "0000192.0.2.1", 0, "192.0.2.1|"},
      {0, "192.0.2.1 rest", 0, "192.0.2.1| rest"}, {0, "192.0.2.0/24", '/', "192.0.2.0|/24"},
      {0, "255.255.255.255", 0, "255.255.255.255|"}, {0, "192.0.2.0/24", 0, "none"},
      {0, "192.0.2", 0, "none"},                   {0, "192.0.2.256", 0, "none"},
      {0, "192.0.2.1.5", 0, "none"},               {0, "192.0.2.1x", 0, "none"},
      {0, "+192.0.2.1", 0, "none"},                {0, "192..2.1", 0, "none"},
      {0, "", 0, "none"},                          {0, "99999999999999999999.1.1.1", 0, "none"},
      {1, "::", 0, "::|"},                         {1, "2001:db8::", 0, "2001:DB8::|"},
      {1, "::ffff:192.0.2.1", 0, "::FFFF:192.0.2.1|"}, {1, "1:2:3:4:5:6:192.0.2.1", 0, "1:2:3:4:5:6:C000:201|"},
      {1, "00001:2:3:4:5:6:7:8", 0, "1:2:3:4:5:6:7:8|"}, {1, "2001:db8::/32", '/', "2001:DB8::|/32"},
      {1, "2001:db8::1]", ']', "2001:DB8::1|]"},   {1, "::1.2.3.4", 0, "::1.2.3.4|"},
      {1, ":1::", 0, "none"},                      {1, "1:::2", 0, "none"},
      {1, "1::2::3", 0, "none"},                   {1, "1:2:3:4:5:6:7:8::", 0, "none"},
      {1, "1:2:3:4:5:6:7", 0, "none"},             {1, "1:2:3:4:5:6::192.0.2.1", 0, "none"},
      {1, "1:2:3:4:5:6:7:8:9", 0, "none"},         {1, "1:2:3:4:5:6:7:192.0.2.1", 0, "none"},
      {1, "10000::1", 0, "none"},                  {1, "1:", 0, "none"},
      {1, "g::1", 0, "none"},                      {1, "::1x", 0, "none"},
  };
  for (const auto& c : cases) EXPECT_EQ(Parse(c.v6, c.text, c.term), c.want) << c.text;
  uint8_t a[16];
  EXPECT_EQ(SpfParseIPv4(nullptr, a, 0), nullptr);
  EXPECT_EQ(SpfParseAddress("192.0.2.1", 10, a), nullptr);
  EXPECT_EQ(SpfParseAddress(nullptr, SPF_FAMILY_IPV4, a), nullptr);
  EXPECT_EQ(SpfParseAddress("192.0.2.1", SPF_FAMILY_IPV4, nullptr), nullptr);
}

TEST(SpfAddresses, FormatCompressesAndRoundTrips) {
  const char* cases[][2] = {
      {"0:0:0:0:0:0:0:1", "::1"},           {"0:0:0:0:0:0:c000:0201", "::192.0.2.1"},
      {"0:0:0:0:1:ffff:c000:0201", "::1:FFFF:C000:201"}, {"0:0:0:0:0:fffe:c000:0201", "::FFFE:C000:201"},
      {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},    {"1:0:0:2:0:0:3:4", "1::2:0:0:3:4"},
      {"1:0:2:3:4:5:6:7", "1::2:3:4:5:6:7"}, {"fe80:0:0:0:0:0:0:0", "FE80::"},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF"},
  };
  for (const auto& c : cases) {
    uint8_t a[16], b[16];
    char buf[kSpfAddrTextSize];
    ASSERT_NE(SpfParseIPv6(c[0], a, 0), nullptr) << c[0];
    EXPECT_EQ(SpfFormatAddress(true, a, buf, false), (int)strlen(c[1]));
    EXPECT_STREQ(buf, c[1]);
    ASSERT_NE(SpfParseIPv6(buf, b, 0), nullptr) << buf;
    EXPECT_EQ(memcmp(a, b, 16), 0) << buf;
  }
}

TEST(SpfAddresses, PublicRanges) {
  const char* v4[] = {"0.1.2.3", "10.9.9.9", "127.0.0.1", "169.254.1.1", "172.16.0.0", "172.31.255.255",
                      "192.168.4.4", "255.255.255.255", "172.32.0.0", "255.255.255.254", "11.0.0.1"};
  const char* v6[] = {"::", "::1", "fe80::1", "fec0::1", "feff::1", "::2", "ff00::1", "2001:db8::1"};
  for (size_t i = 0; i < std::size(v4); i++) {
    uint8_t a[4];
    ASSERT_NE(SpfParseIPv4(v4[i], a, 0), nullptr);
    EXPECT_EQ(SpfIsPublicIPv4(a), i >= 8) << v4[i];
  }
  for (size_t i = 0; i < std::size(v6); i++) {
    uint8_t a[16];
    ASSERT_NE(SpfParseIPv6(v6[i], a, 0), nullptr);
    EXPECT_EQ(SpfIsPublicIPv6(a), i >= 5) << v6[i];
  }
}

// Names inside a nested evaluation (recursion > 0) are only checked for
// what a query could not carry.
TEST(SpfValidDomain, NestedNames) {
  for (const char* good : {"a_b.example.org", "-a.example.org", "%{x}.example.org", "192.0.2.256"})
    EXPECT_TRUE(SpfValidDomain(good, 256)) << good;
  for (const char* bad : {"a b.example.org", "a..b", "192.0.2.1", "nodot", "a.b\x80"})
    EXPECT_FALSE(SpfValidDomain(bad, 256)) << bad;
}

}  // namespace
