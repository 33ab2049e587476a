// The settings reader's rules (settings_cases.txt; line ends, unreadable
// lines, options and their precedence are checked end to end), and host-name
// discovery.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/textbuf.h"
#include "fakes/fake_resolver.h"
#include "dns/cache.h"
#include "platform/net.h"
#include "server/getopt.h"
#include "common/inifile.h"
#include "common/settings.h"
#include "util/cases.h"

namespace {

std::string lookup(const char* text, const char* section, const char* key, size_t size = 261) {
  char value[300] = "untouched";
  if (!inilookup(text, strlen(text), section, key, value, size)) return "<missing>";
  return value;
}

TEST(SettingsReader, Cases) {
  std::string ini;
  ForEachCase("settings_cases.txt", [&](const std::string& line) {
    std::vector<std::string> w = Words(line);
    if (w[0] == "text") {
      ini += w[1];
    } else if (w[0] == "lookup") {
      ASSERT_EQ(w.size(), 4u);
      EXPECT_EQ(lookup(ini.c_str(), w[1].c_str(), w[2].c_str()), w[3]);
    } else {
      ASSERT_EQ(w.size(), 3u);
      EXPECT_EQ(iniparseint(w[1].c_str(), 7), std::stol(w[2]));
    }
  });
  EXPECT_EQ(lookup("[A]\nk=0123456789\n", "A", "k", 5), "0123");  // bounded by the buffer
}

TEST(OptionScanner, EndMarkerAndUnknownLetters) {
  const char* argv[] = {"nestrap", "-s:", "--", "-x", nullptr};
  opt::getoptreset();
  opt::opterr = 0;
  EXPECT_EQ(opt::getopt(4, const_cast<char**>(argv), "s"), 's');
  EXPECT_EQ(opt::getopt(4, const_cast<char**>(argv), "s"), '?');  // ':' is no option letter
  EXPECT_EQ(opt::getopt(4, const_cast<char**>(argv), "s"), -1);
  EXPECT_EQ(opt::optind, 3);
}

// An empty HostName: the name of the host's own address, both asked through
// the resolver; "localhost" (or what the buffer held) when none is found.
TEST(HostName, DiscoveredThroughTheResolver) {
  char host[261];
  ASSERT_EQ(plat::gethostname(host, sizeof host), 1);
  if (plat::isipaddr(host)) GTEST_SKIP() << "the host name is an address: " << host;
  const char* rev = "7.2.0.192.in-addr.arpa";
  struct Case {
    bool address;    // the host name has an A record
    int ptr;         // status of the PTR question (kStatusOk: answered)
    const char* preset;
    int want;
    const char* name;
  } cases[] = {
      {true, dns::kStatusOk, "", 1, "mx.example.org"},
      {true, dns::kStatusOk, "old.example", 1, "mx.example.org"},
      {true, dns::kStatusNameError, "", 0, "localhost"},
      {true, dns::kStatusNameError, "kept.example", 0, "kept.example"},
      {true, dns::kStatusServFail, "", 0, "localhost"},
      {false, dns::kStatusOk, "", 0, "localhost"},
      {false, dns::kStatusOk, "kept.example", 0, "kept.example"},
  };
  for (const Case& c : cases) {
    FakeResolver fake;
    // As in the program: behind the answer cache.
    dns::CachingResolver cache(fake, 16);
    dns::setresolver(&cache);
    if (c.address) fake.a(host, 192, 0, 2, 7);
    if (c.ptr == dns::kStatusOk) fake.ptr(rev, "mx.example.org");
    else fake.status(rev, dns::kTypePTR, c.ptr);
    char buf[kTextCap + 1];
    textcopy(buf, c.preset);
    EXPECT_EQ(localhostname(buf), c.want) << c.address << " " << c.ptr << " " << c.preset;
    EXPECT_STREQ(buf, c.name) << c.address << " " << c.ptr << " " << c.preset;
  }
}

}  // namespace
