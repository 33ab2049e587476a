// Process entry: console program or system service.
#include <cstdlib>
#include <cstring>

#include "platform/svcmgr.h"
#include "platform/sys.h"
#include "server/server.h"
#include "service/service.h"

int main(int argc, char** argv) {
  // Shutdown signals are taken by one thread of the server; block them here
  // already, before any thread exists, so that no thread inherits them open.
  plat::blocksignals();

  // Settings, list files and the default log path live beside the executable.
  char path[4096];
  if (plat::exepath(path, sizeof path)) {
    char* slash = strrchr(path, plat::kPathSep);
    if (slash != nullptr) {
      *slash = '\0';
      plat::setcurrentdir(path[0] ? path : "/");
    }
  }

  // The process's own argument vector stands in for splitting its command
  // line; the stop and done events exist from the start.
  svcsetargs(argc, argv);

  int status;
  if (!plat::svcstartedbymanager()) {
    setservicemode(0);
    status = servermain(argc, argv);
  } else {
    setservicemode(1);
    status = svcdispatch();
  }
  exit(status);
}
