// Worker and logger threads, and the shared stop control.
#include <cstdlib>

#include "analysis/checkconn.h"
#include "analysis/listhealth.h"
#include "analysis/lists.h"
#include "platform/net.h"
#include "platform/sys.h"
#include "base/metrics.h"
#include "common/log.h"
#include "server/peerlimit.h"
#include "server/pipeline.h"
#include "server/queue.h"
#include "server/server.h"
#include "common/settings.h"
#include "base/textbuf.h"
#include "service/service.h"
#include "smtp/session.h"

std::atomic<uint32_t> shutdown_flag{0};
std::atomic<uint32_t> active_threads{0};
std::atomic<uint32_t> sessions_held{0};
std::atomic<int> failure_exit{0};
uint32_t session_cap = 1;
SocketHandle socket_listen = kInvalidSocket;

namespace {

constexpr long kStopCheckMs = 100;
constexpr long kDrainPollMs = 1000;
// An idle worker sleeps until a connection, a timer or a stop wakes it.
constexpr long kLoopWaitMs = -1;
// Longest the main thread waits for the thread that initiated a shutdown to
// close the listener.
constexpr long kListenerCloseWaitMs = 1000;

std::atomic<int> stop_seen{0};
std::atomic<int> reload_requested{0};
std::atomic<int> listener_closed{0};

// Worker threads register their loop here, so that the accept loop and a
// stop can wake them; `load` is the sessions each one holds.
struct WorkerSlot {
  std::atomic<SessionLoop*> loop{nullptr};
  std::atomic<uint32_t> load{0};
};
WorkerSlot worker_slots[kMaxThreads];
std::atomic<uint32_t> worker_slots_used{0};

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

// Within the pipeline's cap the logger takes the record; past it, or when
// its queue has no memory for it, the line is written here and now.
void handover(ConnectionRecord* r) {
  if (!pipelineadmit()) {
    pipelinewritenow(r);
    return;
  }
  if (!queuepush(log_queue, r)) pipelinesubmit(r);
}

namespace {

struct Worker {
  ThreadTag tag;
  WorkerSlot* slot;
};

// Sessions one worker takes on before the others are asked: the capacity
// spread over the workers (one each when the capacity is the thread count).
uint32_t workershare() {
  uint32_t n = (uint32_t)settings.Threads;
  return (session_cap + n - 1) / n;
}

// Wakes the worker that holds the fewest sessions, `except` aside.
void wakeidlest(const WorkerSlot* except) {
  WorkerSlot* best = nullptr;
  uint32_t used = worker_slots_used.load();
  for (uint32_t i = 0; i < used && i < kMaxThreads; i++) {
    WorkerSlot* w = &worker_slots[i];
    if (w == except || w->loop.load() == nullptr) continue;
    if (best == nullptr || w->load.load() < best->load.load()) best = w;
  }
  if (best != nullptr) loopwake(best->loop.load());
}

void sessiondone(ConnectionRecord* r, void* ctx) {
  Worker* w = (Worker*)ctx;
  metrics::add(metrics::counters.served);
  peerrelease(r->peer_addr.addr);
  handover(r);
  w->slot->load.fetch_sub(1);
  uint32_t b = sessions_held.fetch_sub(1) - 1;
  uint32_t q = queuecount(conn_queue);
  logmsg(LOG_CONN, "%s %ld active, %ld queued requests", w->tag.text, (long)b, (long)q);
}

// Reserves room for one more session within the capacity.
bool reserve() {
  uint32_t held = sessions_held.load();
  do {
    if (held >= session_cap) return false;
  } while (!sessions_held.compare_exchange_weak(held, held + 1));
  return true;
}

// Takes queued connections while this worker and the server have room.
void takework(Worker* w, SessionLoop* loop) {
  uint32_t share = workershare();
  while (w->slot->load.load() < share && reserve()) {
    ConnectionRecord* r = (ConnectionRecord*)queuepop(conn_queue);
    if (r == nullptr) {
      sessions_held.fetch_sub(1);
      return;
    }
    r->thread_num = (int32_t)w->tag.num;
    r->thread_id = w->tag.id;
    textcopy(r->thread_tag, w->tag.text);
    w->slot->load.fetch_add(1);
    if (!loopstart(loop, r)) {
      logmsg(LOG_CRIT, "%s %s cannot start a session !", w->tag.text, r->client_ip);
      ResetConnection(r->sock);
      peerrelease(r->peer_addr.addr);
      free(r);
      w->slot->load.fetch_sub(1);
      sessions_held.fetch_sub(1);
    }
  }
  // Work left and room elsewhere: another worker takes it.
  if (queuecount(conn_queue) != 0 && sessions_held.load() < session_cap) wakeidlest(w->slot);
}

void wakeall() {
  uint32_t used = worker_slots_used.load();
  for (uint32_t i = 0; i < used && i < kMaxThreads; i++)
    if (SessionLoop* l = worker_slots[i].loop.load()) loopwake(l);
  if (log_queue != nullptr) queuewakeall(log_queue);
}

}  // namespace

void wakeworker() { wakeidlest(nullptr); }

void failshutdown(int code) {
  int none = 0;
  failure_exit.compare_exchange_strong(none, code);
  initshutdown(plat::kSigAbrt);
}

void releaseworkers() {
  uint32_t used = worker_slots_used.load();
  for (uint32_t i = 0; i < used && i < kMaxThreads; i++) loopfree(worker_slots[i].loop.exchange(nullptr));
}

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
  wakeall();
  logmsg(LOG_INFO, "Closing server socket...");
  // Several paths can initiate a shutdown; the socket is closed once only.
  if (socket_listen != kInvalidSocket && listener_closed.exchange(1) == 0)
    plat::closelistener(socket_listen);
}

void requestreload(int) {
  logmsg(LOG_INFO, "SIGHUP: reloading the list files...");
  reload_requested.store(1);
}

void awaitlistenerclosed() {
  for (long waited = 0; listener_closed.load() == 0; waited++) {
    // A shutdown initiated before the listener existed left it open.
    if (waited == kListenerCloseWaitMs) {
      if (listener_closed.exchange(1) == 0) plat::closelistener(socket_listen);
      return;
    }
    plat::sleepms(1);
  }
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
  Worker w;
  w.tag = maketag();
  logmsg(LOG_INFO, "%s Worker thread started", w.tag.text);
  SessionLoop* loop = loopcreate(sessiondone, &w);
  if (loop == nullptr) {
    logmsg(LOG_CRIT, "%s cannot set up its event loop !", w.tag.text);
    failshutdown(kExitResources);
  } else {
    w.slot = &worker_slots[worker_slots_used.fetch_add(1)];
    w.slot->loop.store(loop);
    while (shutdown_flag.load() == 0) {
      takework(&w, loop);
      loopturn(loop, kLoopWaitMs);
    }
    loopstopall(loop);
  }
  logmsg(LOG_INFO, "Worker thread %s exiting", w.tag.text);
  active_threads.fetch_sub(1);
}

void loggerthread() {
  ThreadTag tag = maketag();
  logmsg(LOG_INFO, "%s Logger thread started", tag.text);
  while (shutdown_flag.load() == 0) {
    if (stopsignalled()) {
      if (stop_seen.exchange(1) == 0) initshutdown(plat::kSigTerm);
      break;
    }
    // The lists are read by the analysis threads: swapped once every record
    // handed in is written, before the next one comes.
    if (reload_requested.exchange(0) != 0) {
      pipelinereload(reloadalllists);
      requestlistrecheck();
    }
    ConnectionRecord* r = (ConnectionRecord*)queuepop(log_queue);
    if (r == nullptr) {
      // Woken by a record or a stop; a service stop is looked for now and then.
      queuewait(log_queue, kStopCheckMs);
      continue;
    }
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
