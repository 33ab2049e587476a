// Worker and logger threads, and the shared stop control.
#include <cstdlib>

#include "analysis/checkconn.h"
#include "analysis/lists.h"
#include "platform/net.h"
#include "platform/sys.h"
#include "server/log.h"
#include "server/pipeline.h"
#include "server/queue.h"
#include "server/server.h"
#include "server/settings.h"
#include "server/textbuf.h"
#include "service/service.h"
#include "smtp/session.h"

std::atomic<uint32_t> shutdown_flag{0};
std::atomic<uint32_t> active_threads{0};
std::atomic<uint32_t> busy_workers{0};
SocketHandle socket_listen = kInvalidSocket;

namespace {

constexpr long kIdlePollMs = 79;
constexpr long kDrainPollMs = 1000;

std::atomic<int> stop_seen{0};
std::atomic<int> reload_requested{0};
std::atomic<int> listener_closed{0};

struct ThreadTag {
  long num;
  uint32_t id;
  char text[20];
};

ThreadTag maketag() {
  ThreadTag t;
  t.num = (long)active_threads.fetch_add(1) + 1;
  t.id = plat::threadid();
  textformat(t.text, sizeof t.text, "[%04ld-%04lX]", t.num, (unsigned long)t.id);
  return t;
}

void logrecord(const ThreadTag& tag, ConnectionRecord* r) {
  logmsg(LOG_CONN, "%s %s Logging connection data", tag.text, r->client_ip);
  pipelinesubmit(r);
}

}  // namespace

void initshutdown(int sig) {
  char name[16];
  if (sig == plat::kSigInt)
    textcopy(name, "SIGINT");
  else if (sig == plat::kSigTerm)
    textcopy(name, "SIGTERM");
  else if (sig == plat::kSigAbrt)
    textcopy(name, "SIGABRT");
  else if (sig == plat::kSigQuit)
    textcopy(name, "SIGQUIT");
  else
    textformat(name, sizeof name, "0x%X", (unsigned)sig);
  logmsg(LOG_INFO, "%s: initiating shutdown sequence...", name);
  shutdown_flag.fetch_add(1);
  setstopevent();
  logmsg(LOG_INFO, "Closing server socket...");
  // Several paths can initiate a shutdown; the socket is closed once only.
  if (socket_listen != kInvalidSocket && listener_closed.exchange(1) == 0)
    plat::closelistener(socket_listen);
}

void requestreload(int) {
  logmsg(LOG_INFO, "SIGHUP: reloading the list files...");
  reload_requested.store(1);
}

uint32_t isstopping() {
  uint32_t f = shutdown_flag.load();
  if (f != 0) return f;
  if (!stopsignalled()) return 0;
  if (stop_seen.exchange(1) != 0) return 1;
  initshutdown(plat::kSigTerm);
  return 1;
}

void workerthread() {
  plat::lowerthreadpriority();
  ThreadTag tag = maketag();
  logmsg(LOG_INFO, "%s Worker thread started", tag.text);
  for (;;) {
    if (shutdown_flag.load() != 0) {
      logmsg(LOG_INFO, "Worker thread %s exiting", tag.text);
      active_threads.fetch_sub(1);
      return;
    }
    if (queuecount(conn_queue) == 0) {
      plat::sleepms(kIdlePollMs);
      continue;
    }
    ConnectionRecord* r = (ConnectionRecord*)queuepop(conn_queue);
    if (r == nullptr) continue;
    busy_workers.fetch_add(1);
    r->thread_num = (int32_t)tag.num;
    r->thread_id = tag.id;
    textcopy(r->thread_tag, tag.text);
    HandleSession(r);
    // A record that cannot be queued for logging for want of memory is
    // retried briefly, then dropped with a note rather than leaked.
    int tries = 0;
    while (!queuepush(log_queue, r)) {
      if (++tries == 50) {
        logmsg(LOG_CRIT, "%s %s cannot queue record for logging !", tag.text, r->client_ip);
        free(r);
        break;
      }
      plat::sleepms(kIdlePollMs);
    }
    uint32_t b = busy_workers.fetch_sub(1) - 1;
    uint32_t q = queuecount(conn_queue);
    logmsg(LOG_CONN, "%s %ld active, %ld queued requests", tag.text, (long)b, (long)q);
  }
}

void loggerthread() {
  ThreadTag tag = maketag();
  logmsg(LOG_INFO, "%s Logger thread started", tag.text);
  pipelinestart(kAnalysisThreads, settings.AnalysisBacklog < 0 ? 0 : (uint32_t)settings.AnalysisBacklog);
  while (shutdown_flag.load() == 0) {
    if (stopsignalled()) {
      if (stop_seen.exchange(1) == 0) initshutdown(plat::kSigTerm);
      break;
    }
    // The lists are read by the analysis threads: swapped once every record
    // handed in is written, before the next one comes.
    if (reload_requested.exchange(0) != 0) {
      pipelinewait();
      reloadalllists();
    }
    if (queuecount(log_queue) == 0) {
      plat::sleepms(kIdlePollMs);
      continue;
    }
    ConnectionRecord* r = (ConnectionRecord*)queuepop(log_queue);
    if (r == nullptr) continue;
    logrecord(tag, r);
  }
  logmsg(LOG_INFO, "Logger thread %s preparing shutdown...", tag.text);
  // Records still waiting get a bounded time for their analysis.
  pipelinestopping();
  uint32_t n;
  do {
    n = active_threads.load();
    while (ConnectionRecord* r = (ConnectionRecord*)queuepop(log_queue)) logrecord(tag, r);
    plat::sleepms(kDrainPollMs);
  } while (n > 1);
  logmsg(LOG_INFO, "Logger thread %s flushing queue...", tag.text);
  while (ConnectionRecord* r = (ConnectionRecord*)queuepop(log_queue)) logrecord(tag, r);
  pipelinefinish();
  logmsg(LOG_INFO, "Logger thread %s exiting", tag.text);
  active_threads.fetch_sub(1);
}
