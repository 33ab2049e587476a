// The Windows build has neither journal nor syslog socket: the connection
// lines go to their daily file only.
#include "platform/systemlog.h"

namespace plat {

int systemlogstart(const char*, const char*) { return kSystemLogOff; }
void systemlogsend(const char*, const LogField*, size_t) {}
void systemlogstop() {}

}  // namespace plat
