#include "analysis/helpers.h"

#include <sys/stat.h>

#include <ctime>

#include "platform/net.h"
#include "platform/sys.h"
#include "base/textbuf.h"

int isipaddr(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  return plat::inetaddr(text) != 0xFFFFFFFFu ? 1 : 0;
}

int fileexists(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return 0;
  return st.st_size >= 1 ? 1 : 0;
}

void utctime(SysTime* t) { plat::utcnow(t); }

size_t gmtdate(char* buf) {
  // strftime's %a/%b follow the locale; the banner must stay English.
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  SysTime t;
  plat::utcnow(&t);
  return textformat(buf, 128, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[t.dayofweek % 7],
                    t.day, months[(t.month + 11) % 12], t.year, t.hour, t.minute, t.second);
}

int localhostname(char* buf) {
  int result = 0;
  char name[260 + 1];
  if (plat::gethostname(name, sizeof name)) {
    uint32_t addr = 0xFFFFFFFFu;
    bool have = false;
    if (isipaddr(name)) {
      addr = plat::inetaddr(name);
      have = true;
    } else if (plat::forwardlookup(name, &addr)) {
      have = true;
    } else {
      if (buf[0] == '\0') textcopy(buf, kTextCap + 1, "localhost");
      return 0;
    }
    if (have && addr != 0xFFFFFFFFu) {
      char found[kTextCap + 1];
      if (plat::reverselookup(addr, found, sizeof found)) {
        textcopy(buf, kTextCap + 1, found);
        result = 1;
      }
    }
  }
  if (buf[0] == '\0') textcopy(buf, kTextCap + 1, "localhost");
  return result;
}
