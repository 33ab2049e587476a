// Address parsers, the address formatter and the small text helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "spf/spf_internal.h"
#include "spf/wrenspf.h"

namespace {

std::string V4(const char* text, char term = 0) {
  uint8_t a[4];
  const char* e = SpfParseIPv4(text, a, term);
  if (!e) return "none";
  char buf[kSpfAddrTextSize];
  SpfFormatAddress(false, a, buf, false);
  return std::string(buf) + "|" + e;
}

std::string V6(const char* text, char term = 0) {
  uint8_t a[16];
  const char* e = SpfParseIPv6(text, a, term);
  if (!e) return "none";
  char buf[kSpfAddrTextSize];
  SpfFormatAddress(true, a, buf, false);
  return std::string(buf) + "|" + e;
}

TEST(SpfParseIPv4, AcceptsAndRejects) {
  struct {
    const char* text;
    char term;
    const char* want;  // formatted address | rest, or "none"
  } cases[] = {
      {"192.0.2.1", 0, "192.0.2.1|"},
      {"192.0.2.001", 0, "192.0.2.1|"},
      {"0000192.0.2.1", 0, "192.0.2.1|"},
      {"192.0.2.1 rest", 0, "192.0.2.1| rest"},
      {"192.0.2.0/24", '/', "192.0.2.0|/24"},
      {"192.0.2.1]", ']', "192.0.2.1|]"},
      {"255.255.255.255", 0, "255.255.255.255|"},
      {"192.0.2.0/24", 0, "none"},
      {"192.0.2", 0, "none"},
      {"192.0.2.256", 0, "none"},
      {"192.0.2.1.5", 0, "none"},
      {"192.0.2.1x", 0, "none"},
      {"+192.0.2.1", 0, "none"},
      {"192..2.1", 0, "none"},
      {"", 0, "none"},
      {"99999999999999999999.1.1.1", 0, "none"},
  };
  for (const auto& c : cases) EXPECT_EQ(V4(c.text, c.term), c.want) << c.text;
  EXPECT_EQ(SpfParseIPv4(nullptr, nullptr, 0), nullptr);
}

TEST(SpfParseIPv6, AcceptsAndRejects) {
  struct {
    const char* text;
    char term;
    const char* want;
  } cases[] = {
      {"::", 0, "::|"},
      {"::1", 0, "::1|"},
      {"2001:db8::", 0, "2001:DB8::|"},
      {"2001:DB8::1", 0, "2001:DB8::1|"},
      {"::ffff:192.0.2.1", 0, "::FFFF:192.0.2.1|"},
      {"1:2:3:4:5:6:192.0.2.1", 0, "1:2:3:4:5:6:C000:201|"},
      {"1:2:3:4:5:6:7:8", 0, "1:2:3:4:5:6:7:8|"},
      {"00001:2:3:4:5:6:7:8", 0, "1:2:3:4:5:6:7:8|"},
      {"2001:db8::/32", '/', "2001:DB8::|/32"},
      {"2001:db8::1]", ']', "2001:DB8::1|]"},
      {"1::", 0, "1::|"},
      {"::1.2.3.4", 0, "::1.2.3.4|"},
      {":1::", 0, "none"},
      {"1:::2", 0, "none"},
      {"1::2::3", 0, "none"},
      {"1:2:3:4:5:6:7:8::", 0, "none"},
      {"1:2:3:4:5:6:7", 0, "none"},
      {"1:2:3:4:5:6::192.0.2.1", 0, "none"},
      {"1:2:3:4:5:6:7:8:9", 0, "none"},
      {"1:2:3:4:5:6:7:192.0.2.1", 0, "none"},
      {"10000::1", 0, "none"},
      {"1:", 0, "none"},
      {"", 0, "none"},
      {"g::1", 0, "none"},
      {"::1x", 0, "none"},
  };
  for (const auto& c : cases) EXPECT_EQ(V6(c.text, c.term), c.want) << c.text;
}

TEST(SpfFormatAddress, CompressedFormsRoundTrip) {
  const char* cases[][2] = {
      {"0:0:0:0:0:0:0:0", "::"},
      {"0:0:0:0:0:0:0:1", "::1"},
      {"0:0:0:0:0:0:c000:0201", "::192.0.2.1"},
      {"0:0:0:0:0:ffff:c000:0201", "::FFFF:192.0.2.1"},
      {"0:0:0:0:1:ffff:c000:0201", "::1:FFFF:C000:201"},
      {"0:0:0:0:0:fffe:c000:0201", "::FFFE:C000:201"},
      {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},
      {"1:0:0:2:0:0:3:4", "1::2:0:0:3:4"},
      {"1:0:2:3:4:5:6:7", "1::2:3:4:5:6:7"},
      {"2001:db8:0:0:0:0:0:0", "2001:DB8::"},
      {"fe80:0:0:0:0:0:0:0", "FE80::"},
      {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF:FFFF"},
  };
  for (const auto& c : cases) {
    uint8_t a[16], b[16];
    ASSERT_NE(SpfParseIPv6(c[0], a, 0), nullptr) << c[0];
    char buf[kSpfAddrTextSize];
    int n = SpfFormatAddress(true, a, buf, false);
    EXPECT_STREQ(buf, c[1]) << c[0];
    EXPECT_EQ(n, (int)strlen(buf));
    ASSERT_NE(SpfParseIPv6(buf, b, 0), nullptr) << buf;
    EXPECT_EQ(memcmp(a, b, 16), 0) << buf;
  }
}

TEST(SpfFormatAddress, NibblesAndDotted) {
  uint8_t a[16];
  ASSERT_NE(SpfParseIPv6("2001:db8::1", a, 0), nullptr);
  char buf[kSpfAddrTextSize];
  EXPECT_EQ(SpfFormatAddress(true, a, buf, true), 63);
  EXPECT_STREQ(buf, "2.0.0.1.0.D.B.8.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.1");
  uint8_t v4[4] = {192, 0, 2, 1};
  EXPECT_EQ(SpfFormatAddress(false, v4, buf, true), 9);
  EXPECT_STREQ(buf, "192.0.2.1");
}

TEST(SpfParseAddress, FamiliesAndBuffers) {
  uint8_t a[16];
  EXPECT_NE(SpfParseAddress("192.0.2.1", SPF_FAMILY_IPV4, a), nullptr);
  EXPECT_NE(SpfParseAddress("2001:db8::1", SPF_FAMILY_IPV6, a), nullptr);
  EXPECT_EQ(SpfParseAddress("2001:db8::1", SPF_FAMILY_IPV4, a), nullptr);
  EXPECT_EQ(SpfParseAddress("192.0.2.1", 10, a), nullptr);
  EXPECT_EQ(SpfParseAddress(nullptr, SPF_FAMILY_IPV4, a), nullptr);
  EXPECT_EQ(SpfParseAddress("192.0.2.1", SPF_FAMILY_IPV4, nullptr), nullptr);
  EXPECT_EQ(SpfParseAddress("192.0.2.1/24", SPF_FAMILY_IPV4, a), nullptr);
}

TEST(SpfPrefixMatch, Bits) {
  uint8_t a[4] = {192, 0, 2, 7}, b[4] = {192, 0, 2, 0};
  struct {
    int bits, want;
  } cases[] = {{0, 1}, {8, 1}, {24, 1}, {29, 1}, {30, 0}, {32, 0}};
  for (const auto& c : cases) EXPECT_EQ(SpfPrefixMatch(a, b, c.bits), c.want) << c.bits;
}

TEST(SpfSpecialAddresses, Tables) {
  struct {
    const char* text;
    int want;
  } v4[] = {{"0.1.2.3", 0},       {"10.9.9.9", 0},      {"127.0.0.1", 0},     {"169.254.1.1", 0},
            {"172.16.0.0", 0},    {"172.31.255.255", 0}, {"172.32.0.0", 1},   {"192.168.4.4", 0},
            {"255.255.255.255", 0}, {"255.255.255.254", 1}, {"192.0.2.1", 1}, {"11.0.0.1", 1}};
  for (const auto& c : v4) {
    uint8_t a[4];
    ASSERT_NE(SpfParseIPv4(c.text, a, 0), nullptr);
    EXPECT_EQ(SpfIsPublicIPv4(a), c.want) << c.text;
  }
  struct {
    const char* text;
    int want;
  } v6[] = {{"::", 0}, {"::1", 0}, {"::2", 1}, {"fe80::1", 0}, {"fec0::1", 0}, {"feff::1", 0},
            {"ff00::1", 1}, {"2001:db8::1", 1}};
  for (const auto& c : v6) {
    uint8_t a[16];
    ASSERT_NE(SpfParseIPv6(c.text, a, 0), nullptr);
    EXPECT_EQ(SpfIsPublicIPv6(a), c.want) << c.text;
  }
}

TEST(SpfDomainSuffixMatch, Cases) {
  struct {
    const char* name;
    const char* domain;
    int want;
  } cases[] = {
      {"mail.EXAMPLE.org", "example.org", 1}, {"example.org", "Example.ORG", 1},
      {"badexample.org", "example.org", 0},   {"org", "example.org", 0},
      {"a.b.example.org", "b.example.org", 1}, {"example.org.x", "example.org", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(SpfDomainSuffixMatch(c.name, c.domain), c.want) << c.name;
}

TEST(SpfNumbers, Printing) {
  char buf[24];
  EXPECT_EQ(SpfFormatU32(0, buf), 1);
  EXPECT_STREQ(buf, "0");
  SpfFormatU32(4294967295u, buf);
  EXPECT_STREQ(buf, "4294967295");
  SpfFormatI64(-9223372036854775807LL - 1, buf);
  EXPECT_STREQ(buf, "-9223372036854775808");
  SpfFormatI64(1700000000, buf);
  EXPECT_STREQ(buf, "1700000000");
  SpfFormatHex32(0, buf);
  EXPECT_STREQ(buf, "0");
  SpfFormatHex32(0xDB8, buf);
  EXPECT_STREQ(buf, "DB8");
  EXPECT_EQ(SpfToLower('Q'), 'q');
  EXPECT_EQ(SpfToLower('['), '[');
}

TEST(SpfResultText, Codes) {
  struct {
    int code;
    const char* text;
  } cases[] = {{0, "Pass"}, {1, "SoftFail"}, {2, "Fail"}, {3, "Neutral"}, {4, "None"},
               {5, "TempError"}, {6, "PermError"}, {7, "unknown"}, {15, "unknown"}, {-1, "unknown"},
               {20, "None"}, {36, "None"}, {52, "None"}};
  for (const auto& c : cases) EXPECT_STREQ(SpfResultText(c.code), c.text) << c.code;
}

}  // namespace
