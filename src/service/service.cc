// PLACEHOLDER: console mode only until service control lands.
#include "service/service.h"

#include "platform/event.h"
#include "platform/sys.h"

static plat::Event stop_event;
static plat::Event done_event;

int servicemode() { return 0; }
void svcinstall() {}
void svcremove() {}
void signaldone() {
  stop_event.set();
  plat::sleepms(250);
  done_event.set();
}
int stopsignalled() { return stop_event.isset() ? 1 : 0; }
void setstopevent() { stop_event.set(); }
