// Command-line splitting (cmdline_cases.txt) and system error texts of the
// service control.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/error.h"
#include "service/service.h"
#include "util/cases.h"

namespace {

TEST(CmdLineToArgv, SplitsByTheRuntimeRules) {
  ForEachCase("cmdline_cases.txt", [](const std::string& line) {
    size_t arrow = line.rfind(" -> ");
    ASSERT_NE(arrow, std::string::npos);
    std::vector<std::string> args;
    for (size_t start = arrow + 4, bar;; start = bar + 1) {
      bar = line.find('|', start);
      args.push_back(line.substr(start, bar - start));
      if (bar == std::string::npos) break;
    }
    int count = -1;
    char** argv = cmdlinetoargv(line.substr(0, arrow).c_str(), &count);
    ASSERT_NE(argv, nullptr);
    ASSERT_EQ(count, (int)args.size());
    for (int i = 0; i < count; i++) EXPECT_EQ(std::string(argv[i]), args[i]) << "argument " << i;
    EXPECT_EQ(argv[count], nullptr);
    free(argv);
  });
}

TEST(CmdLineToArgv, EmptyTextOrNoCountIsInvalid) {
  int count = 7;
  plat::setlasterror(0);
  EXPECT_EQ(cmdlinetoargv("", &count), nullptr);
  EXPECT_EQ(plat::lasterror(), plat::kErrInvalidParameter);
  EXPECT_EQ(count, 7);
  plat::setlasterror(0);
  EXPECT_EQ(cmdlinetoargv("prog -x", nullptr), nullptr);
  EXPECT_EQ(plat::lasterror(), plat::kErrInvalidParameter);
}

TEST(ErrorText, TextAndCodeOnlyWhenTheyFit) {
  // The system's own texts (they differ between systems); the rule under
  // test is the form and the room needed: the text's length plus 14.
  for (int code : {plat::kErrInvalidParameter, plat::kErrNameTooLong, plat::kErrNoMemory}) {
    char text[256];
    plat::errortext(code, text, sizeof text);
    size_t len = strlen(text);
    ASSERT_GT(len, 0u) << code;
    char code_text[32];
    snprintf(code_text, sizeof code_text, " (0x%x)", (unsigned)code);
    std::string want = std::string(text) + code_text;
    struct {
      size_t size;
      std::string want;
    } cases[] = {{255, want}, {len + 14, want}, {len + 13, ""}};
    for (const auto& c : cases) {
      char buf[256] = "junk";
      plat::setlasterror(code);
      EXPECT_EQ(plat::lasterrortext(buf, c.size), c.want) << code << " in " << c.size;
    }
  }
}

}  // namespace
