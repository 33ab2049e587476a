// Windows services run under the account the service manager gives them;
// the program itself never switches users.
#include <direct.h>
#include <io.h>

#include <cstring>

#include "base/textbuf.h"
#include "platform/privs.h"

namespace plat {

int lookupuser(const char*, RunAs*) { return 0; }

int runasuser(const char*, const char*, RunAs* out) {
  memset(out, 0, sizeof *out);
  return kRunAsNone;
}

void nonewprivileges() {}

int giveto(const char*, const RunAs&) { return 1; }

int switchuser(const RunAs&) { return 1; }

int dirwritable(const char* path) { return _access(path, 2) == 0 ? 1 : 0; }

int isroot() { return 0; }

int currentuser(RunAs* out) {
  memset(out, 0, sizeof *out);
  textcopy(out->user, "this account");
  return 0;
}

int dirwritableas(const char* path, const RunAs&) { return dirwritable(path); }

int makedirfor(const char* path, const RunAs&) { return _mkdir(path) == 0 ? 1 : 0; }

}  // namespace plat
