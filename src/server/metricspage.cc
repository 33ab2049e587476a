#include "server/metricspage.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/metrics.h"
#include "base/textbuf.h"
#include "common/settings.h"
#include "platform/net.h"
#include "server/pipeline.h"
#include "server/queue.h"
#include "server/engine.h"

namespace {
time_t g_start = time(nullptr);
}

bool parsemetricslisten(const char* text, uint32_t* addr_net, uint16_t* port) {
  const char* colon = strrchr(text, ':');
  if (colon == nullptr || colon - text > 15 || colon[1] == '\0') return false;
  char addr[16];
  textcopy(addr, text, (size_t)(colon - text));
  if (!plat::isipaddr(addr) || strspn(colon + 1, "0123456789") != strlen(colon + 1) ||
      strlen(colon + 1) > 5)
    return false;
  long p = atol(colon + 1);
  if (p < 1 || p > 65535) return false;
  *addr_net = plat::inetaddr(addr);
  *port = (uint16_t)p;
  return true;
}

std::string metricstext() {
  metrics::Gauges g;
  g.sessions_held = sessions_held.load(std::memory_order_relaxed);
  g.queue_length = conn_queue != nullptr ? queuecount(conn_queue) : 0;
  g.analysis_backlog = pipelinebacklog();
  g.start_time = (int64_t)g_start;
  g.version = kProgramVersion;
  return metrics::render(g);
}
