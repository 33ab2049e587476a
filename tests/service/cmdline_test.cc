// Command-line splitting and system error texts of the service control.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/error.h"
#include "service/service.h"

namespace {

struct SplitCase {
  const char* text;
  std::vector<std::string> args;
};

const SplitCase kSplitCases[] = {
    // The example of a quoted program path and a quoted argument ending in
    // an escaped backslash.
    {R"("C:\Program Files\x.exe" -l "d:\my logs\\" -v 9)",
     {R"(C:\Program Files\x.exe)", "-l", R"(d:\my logs\)", "-v", "9"}},
    // Program name.
    {"prog", {"prog"}},
    {"prog   ", {"prog"}},
    {"\"my prog\"", {"my prog"}},
    {"\"my prog\"x y", {"my prog", "x", "y"}},
    {"\"unclosed prog", {"unclosed prog"}},
    {"\"a\\\"b c", {"a\\", "b", "c"}},  // no escapes inside the program name
    {"   x", {"", "x"}},
    {"p\ta\t\t b  ", {"p", "a", "b"}},
    // Backslashes are literal unless a double quote follows them.
    {R"(p a\\b c\)", {"p", R"(a\\b)", R"(c\)"}},
    {R"(p a\"b)", {"p", R"(a"b)"}},
    {R"(p a\\"b c")", {"p", R"(a\b c)"}},
    {R"(p a\\\"b)", {"p", R"(a\"b)"}},
    {R"(p \\\\")", {"p", R"(\\)"}},
    {R"(p "a\" b")", {"p", R"(a" b)"}},
    // Quoting and quote runs.
    {R"(p a"b c"d e)", {"p", "ab cd", "e"}},
    {R"(p "a b)", {"p", "a b"}},
    {R"(p "" "")", {"p", "", ""}},
    {R"(p a"" b)", {"p", "a", "b"}},
    {R"(p "a""b")", {"p", R"(a"b)"}},
    {R"(p "a"""b c)", {"p", R"(a"b c)"}},
    {R"(p """a b""")", {"p", R"("a)", R"(b")"}},
    {R"(p """")", {"p", R"(")"}},
    {R"(p """" x)", {"p", R"(" x)"}},
    {R"(p \"" x)", {"p", R"(" x)"}},
    {R"(p """""" x)", {"p", R"("")", "x"}},
};

TEST(CmdLineToArgv, SplitsByTheRuntimeRules) {
  for (const SplitCase& c : kSplitCases) {
    SCOPED_TRACE(c.text);
    int count = -1;
    char** argv = cmdlinetoargv(c.text, &count);
    ASSERT_NE(argv, nullptr);
    ASSERT_EQ(count, (int)c.args.size());
    for (int i = 0; i < count; i++) EXPECT_EQ(std::string(argv[i]), c.args[i]) << "argument " << i;
    EXPECT_EQ(argv[count], nullptr);
    free(argv);
  }
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
