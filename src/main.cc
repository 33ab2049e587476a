// Process entry: console program or system service.
#include <cstdlib>
#include <cstring>

#include "platform/svcmgr.h"
#include "platform/sys.h"
#include "server/server.h"
#include "service/service.h"

namespace {
// What the system knows the program as: its syslog identity, and the prefix
// of the environment variables that stand in for the service manager's.
constexpr char kProgramName[] = "nestrap";
}  // namespace

int main(int argc, char** argv) {
  plat::setprogramname(kProgramName);
  // Shutdown signals are taken by one thread of the server; block them here
  // already, before any thread exists, so that no thread inherits them open.
  plat::blocksignals();

  // Settings, list files and the default log path live beside the executable
  // (unless -c names a settings file elsewhere).
  char path[4096];
  if (plat::getcurrentdir(path, sizeof path)) setinvocationdir(path);
  if (plat::exepath(path, sizeof path)) {
    char* slash = strrchr(path, plat::kPathSep);
    if (slash != nullptr) {
      *slash = '\0';
      plat::setcurrentdir(path[0] ? path : "/");
    }
  }

  // Where the system hands over the command line as one text, it is split by
  // the program's own rules; elsewhere the runtime's vector is the original.
  if (const char* line = plat::commandline()) {
    int n = 0;
    char** v = cmdlinetoargv(line, &n);
    if (v != nullptr) {
      argc = n;
      argv = v;
    }
  }
  svcsetargs(argc, argv);

  int status;
  if (!plat::svcstartedbymanager()) {
    setservicemode(0);
    status = servermain(argc, argv);
  } else {
    setservicemode(1);
    status = svcdispatch(servermain);
  }
  exit(status);
}
