// Process entry.
#include <cstring>

#include "platform/sys.h"
#include "server/server.h"

int main(int argc, char** argv) {
  // Settings, list files and the default log path live beside the executable.
  char path[4096];
  if (plat::exepath(path, sizeof path)) {
    char* slash = strrchr(path, plat::kPathSep);
    if (slash != nullptr) {
      *slash = '\0';
      plat::setcurrentdir(path[0] ? path : "/");
    }
  }
  return servermain(argc, argv);
}
