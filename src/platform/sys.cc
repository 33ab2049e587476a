// The parts of sys.h that are the same on every system (the C runtime
// offers them alike).
#include "platform/sys.h"

#include <sys/stat.h>

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

int fileexists(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return 0;
  return st.st_size >= 1 ? 1 : 0;
}

}  // namespace plat
