// The daily-file writer: which file a line lands in and how long it may be
// (levels, cleaning and lost lines are checked end to end).
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "base/textbuf.h"
#include "common/log.h"
#include "common/settings.h"
#include "util/temp_dir.h"
#include "util/timezone.h"

namespace fs = std::filesystem;

namespace {

class LogFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp_.path().empty());
    setdefaults();
    textcopy(settings.LogPath, tmp_.str().c_str());
  }
  // The standard library's own local time, not the writer's clock.
  std::string read(const std::string& base) {
    std::ifstream f(tmp_.path() / (base + today() + ".log"));
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  TempDir tmp_{"nestrap-log-"};
};

// A line torn before (a full disk) is ended first; long messages are cut.
TEST_F(LogFiles, TornLinesAreEndedAndLongMessagesCut) {
  std::ofstream(tmp_.path() / ("ipinfo" + today() + ".log")) << "torn";
  writelog("ipinfo", "%s\n", std::string(20000, 'x').c_str());
  EXPECT_EQ(read("ipinfo"), "torn\n" + std::string(kLogBufferSize - 1, 'x') + "\n");
}

// The connection log's file stays open between lines, yet each line goes to
// what the name names then: a file moved away keeps its lines, and a link
// planted in its place takes none.
TEST_F(LogFiles, KeptFileFollowsItsName) {
  fs::path file = tmp_.path() / ("ipinfo" + today() + ".log");
  writelog("ipinfo", "%s\n", "first");
  fs::rename(file, tmp_.path() / "moved");
  writelog("ipinfo", "%s\n", "second");
  EXPECT_EQ(read("ipinfo"), "second \n");
#ifndef _WIN32  // no symbolic links for an ordinary Windows account
  fs::remove(file);
  fs::create_symlink(tmp_.path() / "moved", file);
  writelog("ipinfo", "%s\n", "third");
#endif
  std::ifstream moved(tmp_.path() / "moved");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(moved), {}), "first \n");
}

// The file is the one of the local day at the moment of writing, even where
// the UTC day is another.
TEST_F(LogFiles, DailyFileIsTheLocalDay) {
  if (!settimezone(otherdayzone())) GTEST_SKIP() << "local time does not follow TZ here";
  ASSERT_NE(today(), today(false));
  writelog("ipinfo", "%s\n", "local day");
  EXPECT_EQ(read("ipinfo"), "local day \n");
  EXPECT_FALSE(fs::exists(tmp_.path() / ("ipinfo" + today(false) + ".log")));
  settimezone(nullptr);
}

}  // namespace
