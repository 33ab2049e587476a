// The emulation's text checks: HELO names, addresses and the argument taken
// from a command line (the commands themselves: dialogues.txt).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "smtp/commands.h"

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

}  // namespace
