// The daily-file writer and the diagnostic log's level filter.
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "server/log.h"
#include "server/settings.h"
#include "base/textbuf.h"
#include "util/temp_dir.h"
#include "util/timezone.h"

namespace fs = std::filesystem;

namespace {

class LogFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp_.path().empty());
    setdefaults();
    textcopy(settings.LogPath, dir_.string().c_str());
  }

  std::string read(const std::string& base) {
    // The standard library's own local time, not the writer's clock.
    std::ifstream f(dir_ / (base + today() + ".log"));
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }

  bool CaseSensitiveNames() {
    std::ofstream(dir_ / "probe") << "";
    bool sensitive = !fs::exists(dir_ / "PROBE");
    fs::remove(dir_ / "probe");
    return sensitive;
  }

  TempDir tmp_{"nestrap-log-"};
  fs::path dir_ = tmp_.path();
};

TEST_F(LogFiles, ConnectionLinesHaveNoPrefixAndEndInOneBlank) {
  writelog("ipinfo", "%s\n", "a|b\tc\rd\x1b" "e\x7f");
  writelog("IPINFO", "%s\n", "upper");
  writelog("IpInfo", "%s\n", "mixed");
  // "ipinfo" in any case gets no prefix. Each base name has its own file
  // where file names keep their case; elsewhere they share one.
  if (CaseSensitiveNames()) {
    EXPECT_EQ(read("ipinfo"), "a|b c d e  \n");
    EXPECT_EQ(read("IPINFO"), "upper \n");
    EXPECT_EQ(read("IpInfo"), "mixed \n");
  } else {
    EXPECT_EQ(read("ipinfo"), "a|b c d e  \nupper \nmixed \n");
  }
}

TEST_F(LogFiles, DiagnosticLinesFollowTheLevel) {
  settings.LogLevel = 3;
  logmsg(3, "shown\tline");
  logmsg(5, "connection detail");
  logmsg(9, "verbose");
  logmsg(-1, "negative");
  std::string text = read("nestrap");
  EXPECT_NE(text.find("|[INFO] shown line \n"), std::string::npos) << text;
  EXPECT_EQ(text.find("connection detail"), std::string::npos);
  EXPECT_EQ(text.find("verbose"), std::string::npos);
  EXPECT_NE(text.find("|[UNKN] negative \n"), std::string::npos);
  EXPECT_EQ(text.substr(4, 1), "-");
  EXPECT_EQ(text.substr(10, 1), "|");
  EXPECT_EQ(text.substr(19, 1), "|");

  settings.LogLevel = 9;
  logmsg(7, "seven");
  logmsg(9, "nine");
  text = read("nestrap");
  EXPECT_NE(text.find("|[UNKN] seven \n"), std::string::npos);
  EXPECT_NE(text.find("|[UNKN] nine \n"), std::string::npos);
}

TEST_F(LogFiles, LongMessagesAreCutAndEmptyPathWritesNothing) {
  std::string big(20000, 'x');
  writelog("ipinfo", "%s\n", big.c_str());
  std::string text = read("ipinfo");
  EXPECT_EQ(text.size(), (size_t)kLogBufferSize - 1 + 1);  // 9215 characters and the line break
  fs::remove_all(dir_);
  fs::create_directories(dir_);
  settings.LogPath[0] = '\0';
  writelog("ipinfo", "%s\n", "nothing");
  logmsg(0, "console only");
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(LogFiles, LostLinesAreReportedOncePerEpisodeAndTornLinesEnded) {
  settings.LogLevel = 3;
  textcopy(settings.LogPath, (dir_ / "gone").string().c_str());
  testing::internal::CaptureStderr();
  for (int i = 0; i < 3; i++) writelog("ipinfo", "%s\n", "lost");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(fs::exists(dir_ / "gone"));  // no directory is created
  size_t at = err.find("[ERR ] Cannot write log file ");
  ASSERT_NE(at, std::string::npos) << err;
  EXPECT_NE(err.find("ipinfo", at), std::string::npos);
  EXPECT_EQ(err.find("ipinfo", err.find("ipinfo", at) + 10), std::string::npos) << err;

  // Writing works again; a line torn before gets its line break first.
  fs::create_directories(dir_ / "gone");
  const std::string day = today();
  std::ofstream(dir_ / "gone" / ("ipinfo" + day + ".log")) << "torn";
  testing::internal::CaptureStderr();
  writelog("ipinfo", "%s\n", "whole");
  writelog("ipinfo", "%s\n", "again");
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ipinfo" + day + ".log resumed, 3 line(s) lost"),
            std::string::npos) << err;
  dir_ = dir_ / "gone";
  EXPECT_EQ(read("ipinfo"), "torn\nwhole \nagain \n");
}

// The file is the one of the local day at the moment of writing, even where
// the UTC day is another.
TEST_F(LogFiles, DailyFileIsTheLocalDay) {
  if (!settimezone(otherdayzone())) GTEST_SKIP() << "local time does not follow TZ here";
  ASSERT_NE(today(), today(false));
  writelog("ipinfo", "%s\n", "local day");
  EXPECT_EQ(read("ipinfo"), "local day \n");
  EXPECT_FALSE(fs::exists(dir_ / ("ipinfo" + today(false) + ".log")));
  settimezone(nullptr);
}

}  // namespace
