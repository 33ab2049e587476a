// The connection line and the tempfail first-line rule.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/loginfo.h"
#include "server/settings.h"
#include "base/textbuf.h"
#include "smtp/session.h"

namespace {

std::vector<std::string> split(const std::string& line) {
  std::vector<std::string> cols;
  size_t start = 0, bar;
  while ((bar = line.find('|', start)) != std::string::npos) {
    cols.push_back(line.substr(start, bar - start));
    start = bar + 1;
  }
  cols.push_back(line.substr(start));
  return cols;
}

ConnectionRecord sample() {
  ConnectionRecord r;
  memset(&r, 0, sizeof r);
  textcopy(r.ip_hex, "C0000201");
  textcopy(r.client_ip, "192.0.2.1");
  textcopy(r.ip_network, "192.0.2.0/24");
  textcopy(r.bgp_prefix, "192.0.2.0/24");
  textcopy(r.ptr_name, "host.example.org");
  textcopy(r.helo, "evil|helo");
  textcopy(r.spf_result, "None");
  textcopy(r.list_tag, "NL");
  textcopy(r.list_detail, "neutral");
  textcopy(r.country, "--");
  textcopy(r.owner, "Owner | Inc");
  textcopy(r.auth_data, "no-auth");
  textcopy(r.mail_from, "<a|b@example.org>");
  textcopy(r.rcpt_to, "no-rcpt");
  textcopy(r.last_error, "no-quit");
  r.asn = 64496;
  r.error_count = 1;
  r.vrfy_count = 2;
  r.noop_count = 3;
  r.rcpt_count = 4;
  return r;
}

TEST(ConnectionLine, ColumnsFormatsAndBars) {
  setdefaults();
  ConnectionRecord r = sample();
  char line[kLineSize];
  loginfo(line, "2019-11-07|14:03:59", &r);
  std::vector<std::string> cols = split(line);
  ASSERT_EQ(cols.size(), 22u) << line;
  EXPECT_EQ(cols[0], "2019-11-07");
  EXPECT_EQ(cols[1], "14:03:59");
  EXPECT_EQ(cols[3], " 64496");
  EXPECT_EQ(cols[8], "evil helo");  // a bar inside a value would shift the columns
  EXPECT_EQ(cols[13], "Owner   Inc");
  EXPECT_EQ(std::vector<std::string>(cols.begin() + 14, cols.begin() + 18),
            (std::vector<std::string>{"1", "2", "3", "4"}));
  EXPECT_EQ(cols[19], "<a b@example.org>");

  r.asn = 0;
  settings.LogHost = 1;
  textcopy(settings.HostName, "decoy.example");
  loginfo(line, "2019-11-07|14:03:59", &r);
  cols = split(line);
  ASSERT_EQ(cols.size(), 24u);
  EXPECT_EQ(cols[3], "     0");
  EXPECT_EQ(cols[22], "decoy.example");
  EXPECT_EQ(cols[23], "any");
  settings.LogHost = 0;
}

TEST(ConnectionLine, FullFieldsAreCutAtTheLineSize) {
  ConnectionRecord r = sample();
  for (char* f : {r.helo, r.auth_data, r.mail_from, r.rcpt_to, r.last_error, r.owner, r.ptr_name,
                  r.list_detail, r.spf_result}) {
    memset(f, 'x', kTextCap);
    f[kTextCap] = '\0';
  }
  char line[kLineSize];
  loginfo(line, "2019-11-07|14:03:59", &r);
  EXPECT_LT(strlen(line), (size_t)kLineSize);
  EXPECT_EQ(split(line).size(), 22u);
}

TEST(TempfailFirstLine, HeloArgument) {
  struct Case {
    const char* input;
    int found;
    const char* helo;
    const char* logged;
  } cases[] = {
      {"EHLO host.example.org\r\n", 1, "host.example.org", "EHLO host.example.org"},
      {"HELO a|b\tc  d\r\n", 1, "a b c  d", "HELO a b c  d"},
      {"HELO   x y \n", 1, "x y ", "HELO   x y "},
      {"QUIT\r\n", 1, "", "QUIT"},
      {"EHLO no.end", 0, "", nullptr},
      {"EHLO a\nb\r\n", 1, "a\nb", "EHLO a\nb"},  // CR wins over an earlier LF
      {"HELO \r\n", 1, "", "HELO "},
  };
  for (const Case& c : cases) {
    char input[kLineBufferSize];
    textcopy(input, c.input);
    char helo[kTextCap + 1] = "";
    EXPECT_EQ(ExtractHeloArgument(input, helo, sizeof helo), c.found) << c.input;
    EXPECT_STREQ(helo, c.helo) << c.input;
    if (c.logged) {
      EXPECT_STREQ(input, c.logged);
    }
  }
  char input[kLineBufferSize];
  std::string longline = "HELO " + std::string(400, 'y') + "\r\n";
  textcopy(input, longline.c_str());
  char helo[kTextCap + 1];
  helo[0] = '\0';
  ExtractHeloArgument(input, helo, sizeof helo);
  EXPECT_EQ(strlen(helo), (size_t)kTextCap);
}

}  // namespace

// The placeholders of a finished record, for a private client (one PTR
// question, nothing else asked).
#include "analysis/checkconn.h"
#include "fakes/fake_resolver.h"

namespace {

TEST(ConnectionAnalysis, PlaceholdersAndNoQuitRule) {
  setdefaults();
  settings.LogPath[0] = '\0';
  FakeResolver dns;
  dns.ptr("7.8.9.10.in-addr.arpa", "host.lan");
  struct Case {
    int quit_seen;
    uint32_t errors;
    const char* last_error;
    uint32_t want_errors;
    const char* want_last;
  } cases[] = {
      {0, 0, "", 1, "no-quit"},                    // cut off: one more error, no-quit
      {0, 2, "500 Command unrecognized", 3, "500 Command unrecognized"},
      {1, 0, "501 Invalid HELO", 0, "no-error"},   // no error counted: no-error
      {1, 1, "", 1, "no-error"},                   // counted, nothing recorded
      {1, 1, "553 x... User address required", 1, "553 x... User address required"},
  };
  for (const Case& c : cases) {
    ConnectionRecord r;
    memset(&r, 0, sizeof r);
    textcopy(r.client_ip, "10.9.8.7");
    r.quit_seen = c.quit_seen;
    r.error_count = c.errors;
    textcopy(r.last_error, c.last_error);
    dns.asked.clear();
    checkconn(&r);
    EXPECT_EQ(r.error_count, c.want_errors);
    EXPECT_STREQ(r.last_error, c.want_last);
    EXPECT_STREQ(r.helo, "no-helo");
    EXPECT_STREQ(r.auth_data, "no-auth");
    EXPECT_STREQ(r.mail_from, "no-from");
    EXPECT_STREQ(r.rcpt_to, "no-rcpt");
    EXPECT_STREQ(r.ptr_name, "host.lan");
    EXPECT_STREQ(r.spf_result, "None");
    EXPECT_STREQ(r.ip_hex, "0A090807");
    ASSERT_EQ(dns.asked.size(), 1u);
    EXPECT_EQ(dns.asked[0].second, dns::kTypePTR);
  }
}

}  // namespace
