// The parts of error.h that are the same on every system.
#include "platform/error.h"

#include <cstring>

#include "base/textbuf.h"

namespace plat {

namespace {
// Room for " (0x" + eight hex digits + ")" and the terminating zero.
constexpr size_t kCodeRoom = 14;
}  // namespace

char* lasterrortext(char* buf, size_t size) {
  int code = lasterror();
  char text[256];
  errortext(code, text, sizeof text);
  size_t len = strlen(text);
  if (len > 0 && size >= len + kCodeRoom)
    textformat(buf, size, "%s (0x%x)", text, (unsigned)code);
  else if (size > 0)
    buf[0] = '\0';
  return buf;
}

}  // namespace plat
