// The Windows build serves no metrics page.
#include "common/log.h"
#include "server/metricspage.h"

bool metricsstart(const char* listen) {
  logmsg(LOG_CRIT, "This build serves no metrics page (%s)", listen);
  return false;
}

void metricsstop() {}
