// The parts of sys.h that are the same on every system (the C runtime
// offers them alike).
#include "platform/sys.h"

#include <sys/stat.h>

#include <chrono>

#include "base/textbuf.h"

namespace plat {

namespace {
const char* program_name = "";
}  // namespace

void setprogramname(const char* name) { program_name = name != nullptr ? name : ""; }

const char* programname() { return program_name; }

size_t gmtdate(char* buf) {
  // strftime's %a/%b follow the locale; the banner must stay English.
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  SysTime t;
  utcnow(&t);
  return textformat(buf, 128, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[t.dayofweek % 7],
                    t.day, months[(t.month + 11) % 12], t.year, t.hour, t.minute, t.second);
}

int64_t epochms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t nowms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void utcfromms(int64_t ms, SysTime* t) {
  using namespace std::chrono;
  sys_days day = floor<days>(sys_time<milliseconds>(milliseconds(ms)));
  year_month_day ymd(day);
  int64_t rest = ms - duration_cast<milliseconds>(day.time_since_epoch()).count();
  t->year = (uint16_t)(int)ymd.year();
  t->month = (uint16_t)(unsigned)ymd.month();
  t->day = (uint16_t)(unsigned)ymd.day();
  t->dayofweek = (uint16_t)weekday(day).c_encoding();
  t->hour = (uint16_t)(rest / 3600000);
  t->minute = (uint16_t)(rest / 60000 % 60);
  t->second = (uint16_t)(rest / 1000 % 60);
  t->millis = 0;
}

int fileexists(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return 0;
  return st.st_size >= 1 ? 1 : 0;
}

}  // namespace plat
