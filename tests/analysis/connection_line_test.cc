// The connection line: bars inside values, the optional host columns, and
// full fields cut at the line size (its columns and placeholders are
// checked end to end).
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/connectionline.h"
#include "base/textbuf.h"
#include "common/settings.h"

namespace {

std::vector<std::string> columns(const ConnectionRecord& r) {
  char line[kLineSize];
  connectionline(line, "2019-11-07|14:03:59", &r);
  EXPECT_LT(strlen(line), (size_t)kLineSize);
  std::vector<std::string> cols;
  size_t start = 0, bar;
  for (std::string s = line; (bar = s.find('|', start)) != std::string::npos; start = bar + 1)
    cols.push_back(s.substr(start, bar - start));
  cols.push_back(std::string(line).substr(start));
  return cols;
}

TEST(ConnectionLine, BarsHostColumnsAndFullFields) {
  setdefaults();
  ConnectionRecord r;
  memset(&r, 0, sizeof r);
  textcopy(r.helo, "evil|helo");
  textcopy(r.owner, "Owner | Inc");
  textcopy(r.mail_from, "<a|b@example.org>");
  r.asn = 64496;
  std::vector<std::string> cols = columns(r);
  ASSERT_EQ(cols.size(), 22u);
  EXPECT_EQ(cols[3], " 64496");
  EXPECT_EQ(cols[8], "evil helo");  // a bar inside a value would shift the columns
  EXPECT_EQ(cols[13], "Owner   Inc");
  EXPECT_EQ(cols[19], "<a b@example.org>");
  settings.LogHost = 1;
  textcopy(settings.HostName, "decoy.example");
  cols = columns(r);
  ASSERT_EQ(cols.size(), 24u);
  EXPECT_EQ(cols[22], "decoy.example");
  EXPECT_EQ(cols[23], "any");
  settings.LogHost = 0;
  for (char* f : {r.helo, r.auth_data, r.mail_from, r.rcpt_to, r.last_error, r.owner, r.ptr_name,
                  r.list_detail, r.spf_result}) {
    memset(f, 'x', kTextCap);
    f[kTextCap] = '\0';
  }
  EXPECT_EQ(columns(r).size(), 22u);
}

}  // namespace
