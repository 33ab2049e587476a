// The emulation's text checks: HELO names, addresses, recognition and the
// argument taken from a command line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "smtp/commands.h"

namespace {

TEST(SmtpChecks, IsValidHeloName) {
  struct Case {
    const char* name;
    int valid;
  } cases[] = {
      {"mail.example.com", 1},
      {"MAIL.Example.COM", 1},  // case does not matter
      {"192.0.2.1", 1},         // a bare dotted address passes
      {"a.b", 1},
      {"x_y.example-1.org", 1},
      {"host.", 1},
      {"localhost", 0},  // no dot
      {"", 0},
      {"-host.example.com", 0},
      {".host.example.com", 0},
      {"[192.0.2.1]", 0},  // address literals use brackets
      {"host:25.example", 0},
      {"host example.com", 0},
      {"h\xc3\xa9llo.example", 0},  // non-ASCII
      {"host.exa\tmple", 0},
      {"a+b.example", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(IsValidHeloName(c.name), c.valid) << c.name;
}

TEST(SmtpChecks, CheckAddress) {
  struct Case {
    const char* addr;
    int result;
  } cases[] = {
      {"<>", ADDR_OK},
      {"<user@example.com>", ADDR_OK},
      {"user@example.com", ADDR_OK},
      {"<user@localhost>", ADDR_NO_DOMAIN},  // "@" but no "."
      {"<first.last>", ADDR_NO_DOMAIN},      // "." but no "@"
      {"postmaster", ADDR_NO_DOMAIN},
      {"", ADDR_NO_DOMAIN},
      {"<", ADDR_NO_DOMAIN},
      {"@example.com", ADDR_NO_USER},
      {"<@example.com>", ADDR_NO_USER},
      {"<@relay.example:user@example.com>", ADDR_NO_USER},
      {"< >", ADDR_NO_DOMAIN},
      {"<<>>", ADDR_NO_DOMAIN},
      {"x@y.z>", ADDR_OK},  // brackets are neither required nor checked
  };
  for (const Case& c : cases) EXPECT_EQ(CheckAddress(c.addr), c.result) << c.addr;
}

TEST(SmtpChecks, FindCommand) {
  struct Case {
    const char* input;
    int code;  // CMD_END: unrecognised
  } cases[] = {
      {"HELO x\r\n", CMD_HELO},
      {"helo x\r\n", CMD_HELO},
      {"HELOxyz\r\n", CMD_HELO},  // anything may follow the verb
      {"EhLo x\r\n", CMD_EHLO},
      {"AUTH PLAIN abc\r\n", CMD_AUTH},
      {"auth plain abc\r\n", CMD_AUTH},
      {"AUTH LOGIN\r\n", CMD_END},
      {"AUTH\r\n", CMD_END},
      {"MAIL FROM:<a@b.c>\r\n", CMD_MAIL},
      {"mail from:<a@b.c>\r\n", CMD_MAIL},
      {"MAIL <a@b.c>\r\n", CMD_END},
      {"MAIL FROM <a@b.c>\r\n", CMD_END},
      {"RCPT TO:<a@b.c>\r\n", CMD_RCPT},
      {"DATA\r\n", CMD_DATA},
      {"QUIT", CMD_QUIT},
      {"VRFY x\r\n", CMD_VRFY},
      {"EXPN x\r\n", CMD_EXPN},
      {"HELP\r\n", CMD_HELP},
      {"NOOP\r\n", CMD_NOOP},
      {"RSET\r\n", CMD_RSET},
      {" HELO x\r\n", CMD_END},  // leading blanks are not skipped
      {"\r\n", CMD_END},
      {"", CMD_END},
      {"HEL", CMD_END},
      {"NULL\r\n", CMD_END},  // the end row's text is no command
      {"QU\0IT", CMD_END},
  };
  for (const Case& c : cases) {
    const SmtpCommand* cmd = FindCommand(c.input);
    EXPECT_EQ(cmd ? cmd->code : CMD_END, c.code) << c.input;
  }
}

TEST(SmtpChecks, ExtractArgument) {
  const std::string long_word(300, 'a');
  struct Case {
    std::string input;
    size_t skip;
    std::string arg;
  } cases[] = {
      {"HELO host.example\r\n", 4, "host.example"},
      {"HELO    host.example\r\n", 4, "host.example"},
      {"HELOhost.example\r\n", 4, "host.example"},
      {"HELO\r\n", 4, ""},
      {"HELO", 4, ""},
      {"HELO \r\n", 4, ""},
      {"HELO\thost.example\r\n", 4, ""},  // only blanks are skipped
      {"MAIL FROM:<a@b.c> SIZE=1000\r\n", 10, "<a@b.c>"},
      {"MAIL FROM: <a@b.c>\r\n", 10, "<a@b.c>"},
      {"RCPT TO:<a@b.c>\tNOTIFY=NEVER\r\n", 8, "<a@b.c>"},
      {"NOOP\r\nQUIT\r\n", 4, ""},
      {"HELO a.b\nQUIT\r\n", 4, "a.b"},
      {"HELO a.b\rx", 4, "a.b"},
      {"AUTH PLAIN AGZvbwBiYXI=\r\n", 10, "AGZvbwBiYXI="},
      {"HELO " + long_word + "\r\n", 4, std::string(260, 'a')},
      {"HELO " + std::string(259, 'b') + " x\r\n", 4, std::string(259, 'b')},
  };
  for (const Case& c : cases) {
    char arg[kArgCap + 1];
    memset(arg, 'X', sizeof arg);
    ExtractArgument(c.input.c_str(), c.skip, arg);
    EXPECT_EQ(std::string(arg), c.arg) << c.input;
  }
}

}  // namespace
