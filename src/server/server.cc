// servermain: the options, then a one-shot action or the start, the accept
// loop and the stop.
#include "server/server.h"

#include <cstdio>
#include <vector>

#include "analysis/listhealth.h"
#include "common/exitcode.h"
#include "common/log.h"
#include "common/settings.h"
#include "platform/net.h"
#include "platform/poller.h"
#include "platform/privs.h"
#include "server/accept.h"
#include "server/engine.h"
#include "server/options.h"
#include "server/startup.h"
#include "service/service.h"

int servermain(int argc, char** argv) {
  // The command line is checked before any file is read or written: a
  // wrong option, -h or -V leaves no trace.
  Options o = scanoptions(argc, argv, false);
  if (o.errors != 0 || o.action == Action::Help) {
    usage();
    return o.errors != 0 ? kExitUsage : kExitDone;
  }
  if (o.action == Action::Version) {
    printf("%s %s\n", kProgramName, kProgramVersion);
    fflush(stdout);
    return kExitDone;
  }
  int rc = configure(argc, argv, o);
  if (rc != 0) return rc;
  log_lock_init();
  if (o.action != Action::Run) return oneshot(o.action);

  plat::RunAs runas;
  int who = plat::kRunAsNone;
  rc = prepare(&runas, &who);
  std::vector<ZoneCheck> listhealth;
  if (rc == 0) rc = startwork(&listhealth);
  if (rc == 0) rc = startoutputs();
  if (rc == 0) rc = openlistener(who, runas);
  if (rc != 0) return rc;

  signalready();
  startlistrecheck(listhealth);
  if (plat::pollersharesaccept() && plat::setnonblocking(socket_listen))
    awaitstop();
  else
    acceptloop();
  awaitlistenerclosed();
  return cleanshutdown();
}
