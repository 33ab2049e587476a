// The NameServer list, parsed once for both resolver backends: separators
// and blanks, ports, bad items and lists longer than the servers kept.
#include <string>

#include <gtest/gtest.h>

#include "platform/resolver.h"

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
  struct Case { const char* list; const char* want; } cases[] = {
      {nullptr, ""},
      {"", ""},
      {" , ,", ""},
      {"127.0.0.1", "127.0.0.1:53"},
      {"127.0.0.1:5353", "127.0.0.1:5353"},
      {" 192.0.2.1 , 192.0.2.2:53 ", "192.0.2.1:53 192.0.2.2:53"},
      {"\t192.0.2.1\t,,192.0.2.2,", "192.0.2.1:53 192.0.2.2:53"},
      {"192.0.2.1:65535", "192.0.2.1:65535"},
      // More than the backends take: the first ones are kept, all are checked.
      {"192.0.2.1,192.0.2.2,192.0.2.3,192.0.2.4", "192.0.2.1:53 192.0.2.2:53 192.0.2.3:53"},
      {"192.0.2.1,192.0.2.2,192.0.2.3,192.0.2.4,bogus", "bad"},
      // Bad items spoil the whole list.
      {"localhost", "bad"},
      {"127.0.0.1,bogus", "bad"},
      {"256.0.0.1", "bad"},
      {"127.1", "bad"},
      {"1.2.3.4.5", "bad"},
      {"192.0.2.1 192.0.2.2", "bad"},
      {"192.0.2.1;192.0.2.2", "bad"},
      {"127.0.0.1 :53", "bad"},
      {"127.0.0.1:", "bad"},
      {"127.0.0.1:0", "bad"},
      {"127.0.0.1:65536", "bad"},
      {"127.0.0.1:053535", "bad"},
      {"127.0.0.1:+53", "bad"},
      {"127.0.0.1:53x", "bad"},
  };
  for (const auto& c : cases) EXPECT_EQ(parsed(c.list), c.want) << (c.list ? c.list : "(null)");
  // A list that is not understood leaves the backend's servers alone.
  EXPECT_EQ(dns::setnameservers("bogus"), 0);
  EXPECT_EQ(dns::setnameservers("127.0.0.1"), 1);
  EXPECT_EQ(dns::setnameservers(""), 1);
}

}  // namespace
