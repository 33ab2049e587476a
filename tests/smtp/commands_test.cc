// The text checks: HELO names, addresses, the argument taken from a command
// line (the commands themselves: dialogues.txt) and the tempfail session's
// HELO argument.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/textbuf.h"
#include "smtp/commands.h"
#include "smtp/session.h"

namespace {

TEST(SmtpChecks, HeloNamesAndAddresses) {
  // A bare dotted address passes; literals, blanks, odd and non-ASCII bytes do not.
  for (const char* good : {"MAIL.Example.COM", "192.0.2.1", "a.b", "x_y.example-1.org", "host."})
    EXPECT_EQ(IsValidHeloName(good), 1) << good;
  for (const char* bad : {"localhost", "", "-host.example.com", ".host.example.com", "[192.0.2.1]",
                          "host:25.example", "host example.com", "h\xc3\xa9llo.example", "host.exa\tmple",
                          "a+b.example"})
    EXPECT_EQ(IsValidHeloName(bad), 0) << bad;
  struct {
    const char* addr;
    int result;
  } cases[] = {
      {"<>", ADDR_OK},           {"user@example.com", ADDR_OK},      {"x@y.z>", ADDR_OK},
      {"<user@localhost>", ADDR_NO_DOMAIN}, {"<first.last>", ADDR_NO_DOMAIN}, {"", ADDR_NO_DOMAIN},
      {"<", ADDR_NO_DOMAIN},     {"< >", ADDR_NO_DOMAIN},           {"<<>>", ADDR_NO_DOMAIN},
      {"@example.com", ADDR_NO_USER}, {"<@relay.example:user@example.com>", ADDR_NO_USER},
  };
  for (const auto& c : cases) EXPECT_EQ(CheckAddress(c.addr), c.result) << c.addr;
}

TEST(SmtpChecks, ExtractArgument) {
  struct {
    std::string input;
    size_t skip;
    std::string arg;
  } cases[] = {
      {"HELO    host.example\r\n", 4, "host.example"},
      {"HELOhost.example\r\n", 4, "host.example"},
      {"HELO", 4, ""},
      {"HELO\thost.example\r\n", 4, ""},  // only blanks are skipped
      {"MAIL FROM: <a@b.c> SIZE=1000\r\n", 10, "<a@b.c>"},
      {"RCPT TO:<a@b.c>\tNOTIFY=NEVER\r\n", 8, "<a@b.c>"},
      {"HELO a.b\nQUIT\r\n", 4, "a.b"},
      {"HELO a.b\rx", 4, "a.b"},
      {"HELO " + std::string(300, 'a') + "\r\n", 4, std::string(260, 'a')},
      {"HELO " + std::string(259, 'b') + " x\r\n", 4, std::string(259, 'b')},
  };
  for (const auto& c : cases) {
    char arg[kArgCap + 1];
    memset(arg, 'X', sizeof arg);
    ExtractArgument(c.input.c_str(), c.skip, arg);
    EXPECT_EQ(std::string(arg), c.arg) << c.input;
  }
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
