// The settings reader, the option scanner and the address helpers.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "analysis/helpers.h"
#include "server/getopt.h"
#include "server/inifile.h"

namespace {

std::string lookup(const char* text, const char* section, const char* key, size_t size = 261) {
  char value[300] = "untouched";
  if (!inilookup(text, strlen(text), section, key, value, size)) return "<missing>";
  return value;
}

TEST(SettingsReader, FileFormat) {
  const char* ini =
      "; comment\r\n"
      "[Listener]\r\n"
      "HostName = \"quoted name\" \r\n"
      "hostname=second occurrence\r\n"
      "# HostName=commented\n"
      "ListenIP=\n"
      "[ other ]\n"
      "ListenPort=1\n"
      "[LISTENER]\n"
      "ListenPort=2525\n"
      "RxTimeOut=a=b\n";
  struct Case {
    const char* section;
    const char* key;
    std::string want;
  } cases[] = {
      {"Listener", "HostName", "quoted name"},  // first occurrence, quotes and blanks removed
      {"listener", "HOSTNAME", "quoted name"},  // names compared without regard to case
      {"Listener", "ListenIP", ""},             // present but empty
      {"Listener", "ListenPort", "2525"},       // a later section of the same name counts
      {"Listener", "RxTimeOut", "a=b"},         // the value is what follows the first '='
      {"Other", "ListenPort", "1"},
      {"Listener", "Missing", "<missing>"},
      {"Nowhere", "HostName", "<missing>"},
  };
  for (const Case& c : cases) EXPECT_EQ(lookup(ini, c.section, c.key), c.want) << c.key;
  EXPECT_EQ(lookup("[A]\nk=0123456789\n", "A", "k", 5), "0123");  // bounded by the buffer
}

TEST(SettingsReader, ByteOrderMarkLineEndsAndUnreadableLines) {
  struct Case {
    std::string text;
    int first, count;
  } cases[] = {
      {"\xEF\xBB\xBF[Listener]\nHostName=bom\n", 0, 0},
      {"[Listener]\rListenIP=any\rHostName=cr\r", 0, 0},
      {"[Listener]\r\n\r\nHostName=crlf\r\n", 0, 0},
      {"[Listener]\nHostName=x\ngarbage\n[broken\nmore garbage\n", 3, 3},
  };
  for (const Case& c : cases) {
    char value[64] = "";
    EXPECT_EQ(inilookup(c.text.data(), c.text.size(), "Listener", "HostName", value, sizeof value),
              1) << c.text;
    EXPECT_TRUE(strchr(value, '\r') == nullptr && value[0] != '\0') << c.text;
    int count = -1;
    EXPECT_EQ(inibadline(c.text.data(), c.text.size(), &count), c.first) << c.text;
    EXPECT_EQ(count, c.count) << c.text;
  }
}

TEST(SettingsReader, IntegerConversion) {
  struct Case {
    const char* text;
    long want;
  } cases[] = {{"", 7},        {"25", 25},  {"  -3", -3}, {"+4x", 4},    {"abc", 0},
               {"0x1F", 31},   {"0x", 0},   {"12 34", 12}, {"4294967297", 1}};
  for (const Case& c : cases) EXPECT_EQ(iniparseint(c.text, 7), c.want) << c.text;
}

struct Scan {
  std::string letters;
  std::string args;
  int optind;
};

Scan scan(std::vector<const char*> words) {
  std::vector<char*> argv;
  for (const char* w : words) argv.push_back(const_cast<char*>(w));
  opt::getoptreset();
  opt::opterr = 0;
  Scan s;
  int c;
  while ((c = opt::getopt((int)argv.size(), argv.data(), "n:i:p:l:sw:b:q:r:t:v:xCIUh")) != -1) {
    s.letters += (char)c;
    if (opt::optarg) s.args += std::string(opt::optarg) + ";";
  }
  s.optind = opt::optind;
  return s;
}

TEST(OptionScanner, Rules) {
  Scan s = scan({"nestrap", "-Cv", "9", "/s", "-p25", "-x"});
  EXPECT_EQ(s.letters, "Cvspx");
  EXPECT_EQ(s.args, "9;25;");
  EXPECT_EQ(scan({"nestrap", "-z"}).letters, "?");
  EXPECT_EQ(scan({"nestrap", "-p"}).letters, "?");
  EXPECT_EQ(scan({"nestrap", "-s:"}).letters, "s?");
  Scan stop = scan({"nestrap", "-s", "--", "-x"});
  EXPECT_EQ(stop.letters, "s");
  EXPECT_EQ(stop.optind, 3);
  EXPECT_EQ(scan({"nestrap", "-s", "word", "-x"}).letters, "s");
  EXPECT_EQ(scan({"nestrap", "-", "-x"}).letters, "");
}

TEST(AddressHelpers, ClassicNotation) {
  struct Case {
    const char* text;
    int want;
  } cases[] = {{"192.0.2.1", 1},  {"127.1", 1},     {"10.1", 1},     {"0x7f.1", 1},
               {"017.0.0.1", 1},  {"3221225985", 1}, {"255.255.255.255", 0}, {"", 0},
               {"host.example", 0}, {"1.2.3.4.5", 0}, {"256.1.1.1", 0}};
  for (const Case& c : cases) EXPECT_EQ(isipaddr(c.text), c.want) << c.text;
}

TEST(TimeHelpers, BannerDateIsEnglishUtc) {
  char buf[128];
  size_t n = gmtdate(buf);
  EXPECT_EQ(n, strlen(buf));
  EXPECT_EQ(n, 29u) << buf;  // "Sun, 06 Dec 2026 17:19:44 GMT"
  EXPECT_STREQ(buf + n - 4, " GMT");
  SysTime t;
  utctime(&t);
  EXPECT_EQ(t.millis, 0);
  EXPECT_GE(t.year, 2024);
  EXPECT_LE(t.dayofweek, 6);
}

}  // namespace
