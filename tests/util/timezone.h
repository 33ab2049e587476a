// The test process's time zone and the local day in it, for tests of which
// daily file a line lands in.
#pragma once
#include <cstdlib>
#include <ctime>
#include <string>

// Sets the POSIX time zone `tz` ("XXX-13" is 13 hours east of UTC; null:
// the system's zone again); false where local time does not follow TZ
// (Windows takes it from the system).
inline bool settimezone(const char* tz) {
#ifdef _WIN32
  (void)tz;
  return false;
#else
  if (tz) setenv("TZ", tz, 1);
  else unsetenv("TZ");
  tzset();
  return true;
#endif
}

// A zone 13 hours from UTC in which the local day is not the UTC day now
// (for the next hour at least).
inline const char* otherdayzone() { return time(nullptr) / 3600 % 24 >= 12 ? "XXX-13" : "XXX+13"; }

// "YYYYMMDD" of now, local (in the current zone) or UTC.
inline std::string today(bool local = true) {
  char day[16];
  time_t now = time(nullptr);
  struct tm tm = local ? *std::localtime(&now) : *std::gmtime(&now);
  strftime(day, sizeof day, "%Y%m%d", &tm);
  return day;
}
