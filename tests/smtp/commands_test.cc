// The text checks of text_checks.txt: HELO names, addresses, the argument
// taken from a command line (the commands themselves: dialogues.txt) and the
// tempfail session's HELO argument.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/textbuf.h"
#include "smtp/commands.h"
#include "smtp/session.h"
#include "util/cases.h"

namespace {

std::string Argument(const std::string& line, size_t skip) {
  char arg[kArgCap + 1];
  memset(arg, 'X', sizeof arg);
  ExtractArgument(line.c_str(), skip, arg);
  return arg;
}

TEST(SmtpChecks, Table) {
  const std::map<std::string, int> results = {{"valid", 1}, {"invalid", 0}, {"ok", ADDR_OK},
      {"no-domain", ADDR_NO_DOMAIN}, {"no-user", ADDR_NO_USER}};
  ForEachCase("text_checks.txt", [&](const std::string& line) {
    std::vector<std::string> w = Words(line);
    ASSERT_GE(w.size(), 3u);
    if (w[0] == "helo") {
      EXPECT_EQ(IsValidHeloName(w[1].c_str()), results.at(w[2]));
    } else if (w[0] == "address") {
      EXPECT_EQ(CheckAddress(w[1].c_str()), results.at(w[2]));
    } else if (w[0] == "argument") {
      ASSERT_EQ(w.size(), 4u);
      EXPECT_EQ(Argument(w[1], std::stoul(w[2])), w[3]);
    } else {
      ASSERT_EQ(w[0], "tempfail");
      char input[kLineBufferSize];
      textcopy(input, w[1].c_str());
      char helo[kTextCap + 1] = "";
      EXPECT_EQ(ExtractHeloArgument(input, helo, sizeof helo), std::stoi(w[2]));
      EXPECT_EQ(helo, w[3]);
      if (w.size() > 4) {
        EXPECT_EQ(input, w[4]);
      }
    }
  });
  // Arguments are cut to their field.
  EXPECT_EQ(Argument("HELO " + std::string(300, 'a') + "\r\n", 4), std::string(260, 'a'));
  EXPECT_EQ(Argument("HELO " + std::string(259, 'b') + " x\r\n", 4), std::string(259, 'b'));
  char input[kLineBufferSize], helo[kTextCap + 1] = "";
  textcopy(input, ("HELO " + std::string(400, 'y') + "\r\n").c_str());
  ExtractHeloArgument(input, helo, sizeof helo);
  EXPECT_EQ(strlen(helo), (size_t)kTextCap);
}

}  // namespace
