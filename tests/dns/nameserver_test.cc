// The NameServer list, parsed once for both resolver backends: separators
// and blanks, ports, bad items and lists longer than the servers kept
// (nameservers.txt).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dns/nameservers.h"
#include "dns/resolver.h"
#include "util/cases.h"

namespace {

// The parsed servers as "a.b.c.d:port ..." or "bad".
std::string parsed(const char* list) {
  dns::NameServer s[dns::kMaxNameServers];
  int n = dns::parsenameservers(list, s, dns::kMaxNameServers);
  if (n < 0) return "bad";
  std::string text;
  for (int i = 0; i < n; i++) {
    if (i) text += ' ';
    for (int b = 0; b < 4; b++) text += std::to_string(s[i].addr[b]) + (b < 3 ? "." : "");
    text += ":" + std::to_string(s[i].port);
  }
  return text;
}

TEST(NameServerList, Table) {
  EXPECT_EQ(parsed(nullptr), "");
  ForEachCase("nameservers.txt", [](const std::string& line) {
    std::vector<std::string> w = Words(line);
    std::string want;
    for (size_t i = 1; i < w.size(); i++) want += (i > 1 ? " " : "") + w[i];
    EXPECT_EQ(parsed(w[0].c_str()), want);
  });
  // A list that is not understood leaves the backend's servers alone.
  EXPECT_EQ(dns::setnameservers("bogus"), 0);
  EXPECT_EQ(dns::setnameservers("127.0.0.1"), 1);
  EXPECT_EQ(dns::setnameservers(""), 1);
}

}  // namespace
