// Address parsers, the address formatter, public ranges and nested names,
// as the cases of addresses.txt.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

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

}  // namespace
