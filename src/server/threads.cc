// Worker and logger threads.
#include <cstdlib>

#include "analysis/checkconn.h"
#include "analysis/listhealth.h"
#include "analysis/lists.h"
#include "platform/error.h"
#include "platform/net.h"
#include "platform/sys.h"
#include "base/metrics.h"
#include "common/log.h"
#include "server/accept.h"
#include "server/peerlimit.h"
#include "server/pipeline.h"
#include "server/queue.h"
#include "server/engine.h"
#include "common/settings.h"
#include "base/textbuf.h"
#include "smtp/session.h"

std::atomic<uint32_t> active_threads{0};
std::atomic<uint32_t> sessions_held{0};
uint32_t session_cap = 1;
SocketHandle socket_listen = kInvalidSocket;

namespace {

constexpr long kDrainPollMs = 1000;
// An idle worker sleeps until a connection, a timer or a stop wakes it.
constexpr long kLoopWaitMs = -1;
// Set once the listener is open for the workers to accept on.
std::atomic<int> workers_accept{0};
std::atomic<int> reload_requested{0};

// Worker threads register their loop here, so that the accept loop and a
// stop can wake them; `load` is the sessions each one holds, `help_until`
// when a worker called in to accept stops watching the listener.
struct WorkerSlot {
  std::atomic<SessionLoop*> loop{nullptr};
  std::atomic<uint32_t> load{0};
  std::atomic<int64_t> help_until{0};
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

// Finished records a worker gathers during one turn of its loop and hands
// to the analysis threads together: one wake-up per turn, not per record.
constexpr int kHandoverBatch = 64;
// Connections one worker accepts per readiness of the listener before it
// looks at its sessions again.
constexpr int kAcceptBatch = 8;
// How long a worker called in to accept watches the listener after the
// last call: an overload calls again long before, a second's quiet ends it.
constexpr int64_t kHelpMs = 1000;
// Full batches in a row that call one more worker in: the backlog held more
// than the worker took in each of its turns, not just a burst.
constexpr int kFullBatchesToCall = 4;

struct Worker {
  ThreadTag tag;
  WorkerSlot* slot;
  SessionLoop* loop;
  bool listening;
  int64_t resume_at;         // of accepting, after a pause
  ConnectionRecord* spare;   // accepted into next
  int fullbatches;           // in a row
  ConnectionRecord* done[kHandoverBatch];
  int ndone;
};

void flushdone(Worker* w) {
  if (w->ndone == 0) return;
  // Straight to the analysis threads; what the window cannot take now (a
  // backlog without a cap) waits in the logger's queue instead of here.
  int taken = pipelineoffer(w->done, w->ndone, w->tag.text);
  int pushed = taken + queuepushmany(log_queue, (void* const*)w->done + taken, w->ndone - taken);
  // No memory for the queue's nodes: the rest are handed in here.
  for (int i = pushed; i < w->ndone; i++) pipelinesubmit(w->done[i]);
  w->ndone = 0;
}

// A record takes its place within the pipeline's cap at once, so that the
// batch never holds more than the bound allows.
void finished(Worker* w, ConnectionRecord* r) {
  if (!pipelineadmit()) {
    pipelinewritenow(r);
    return;
  }
  if (w->ndone == kHandoverBatch) flushdone(w);
  w->done[w->ndone++] = r;
}

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
  finished(w, r);
  w->slot->load.fetch_sub(1);
  uint32_t b = sessions_held.fetch_sub(1) - 1;
  uint32_t q = queuecount(conn_queue);
  logmsg(LOG_CONN, "%s %ld active, %ld queued requests", w->tag.text, (long)b, (long)q);
}

// The first worker always watches the listener; the others only while
// called in. Every idle worker watching would be woken for each connection
// that comes while the first is busy, though the first takes it a moment
// later with the rest of its turn's work: a wake-up per connection bought
// nothing below the load one worker serves.
bool watchesnow(const Worker* w) {
  return w->slot == &worker_slots[0] || plat::nowms() < w->slot->help_until.load();
}

// More connections wait than one worker takes in a batch, or the worker
// that took one has no room for it: one more worker accepts from now on
// (the one called in longest ago, or kept on longer when all are).
void callhelper() {
  int64_t now = plat::nowms();
  WorkerSlot* pick = nullptr;
  uint32_t used = worker_slots_used.load();
  for (uint32_t i = 1; i < used && i < kMaxThreads; i++) {
    WorkerSlot* s = &worker_slots[i];
    if (s->loop.load() == nullptr) continue;
    if (pick == nullptr || s->help_until.load() < pick->help_until.load()) pick = s;
  }
  if (pick == nullptr) return;
  bool idle = pick->help_until.exchange(now + kHelpMs) <= now;
  if (idle) loopwake(pick->loop.load());
}

// Reserves room for one more session within the capacity.
bool reserve() {
  uint32_t held = sessions_held.load();
  do {
    if (held >= session_cap) return false;
  } while (!sessions_held.compare_exchange_weak(held, held + 1));
  return true;
}

// Starts r's session on this worker. REQUIRES: a place reserved.
void startsession(Worker* w, ConnectionRecord* r) {
  r->thread_num = (int32_t)w->tag.num;
  r->thread_id = w->tag.id;
  textcopy(r->thread_tag, w->tag.text);
  w->slot->load.fetch_add(1);
  if (!loopstart(w->loop, r)) {
    logmsg(LOG_CRIT, "%s %s cannot start a session !", w->tag.text, r->client_ip);
    ResetConnection(r->sock);
    peerrelease(r->peer_addr.addr);
    free(r);
    w->slot->load.fetch_sub(1);
    sessions_held.fetch_sub(1);
  }
}

// Takes queued connections while this worker and the server have room.
void takework(Worker* w) {
  uint32_t share = workershare();
  while (queuecount(conn_queue) != 0 && w->slot->load.load() < share && reserve()) {
    ConnectionRecord* r = (ConnectionRecord*)queuepop(conn_queue);
    if (r == nullptr) {
      sessions_held.fetch_sub(1);
      return;
    }
    startsession(w, r);
  }
  // Work left and room elsewhere: another worker takes it.
  if (queuecount(conn_queue) != 0 && sessions_held.load() < session_cap) wakeidlest(w->slot);
}

// The listener is readable: this worker accepts, and starts what it has
// room for itself; nothing queued goes before a queued connection, and what
// it has no room for takes the queue's way (capacity, hysteresis).
void acceptready(void* ctx) {
  Worker* w = (Worker*)ctx;
  for (int i = 0;; i++) {
    if (i == kAcceptBatch) {
      if (++w->fullbatches == kFullBatchesToCall) {
        w->fullbatches = 0;
        callhelper();
      }
      return;
    }
    if (shutdown_flag.load() != 0) return;
    if (w->spare == nullptr) w->spare = (ConnectionRecord*)malloc(sizeof(ConnectionRecord));
    if (w->spare == nullptr) {
      logmsg(LOG_CRIT, "[accept] malloc(wrk) failed !");
      failshutdown(kExitResources);
      return;
    }
    AcceptResult rc = acceptconnection(w->spare);
    if (rc != kAccepted) w->fullbatches = 0;
    if (rc == kAcceptPause) {
      loopunwatchlistener(w->loop, socket_listen);
      w->listening = false;
      w->resume_at = plat::nowms() + kAcceptPauseMs;
    }
    if (rc != kAccepted) return;
    ConnectionRecord* r = w->spare;
    w->spare = nullptr;
    if (queuecount(conn_queue) != 0 || w->slot->load.load() >= workershare() || !reserve()) {
      if (w->slot->load.load() >= workershare()) callhelper();
      queueconnection(r);
      continue;
    }
    admitteddirectly(*r);
    if (peertake(r->peer_addr.addr)) {
      startsession(w, r);
      continue;
    }
    // Beyond its address's limit: refused at once, without a session, and
    // still logged.
    sessions_held.fetch_sub(1);
    textcopy(r->thread_tag, "[accept]");
    metrics::add(metrics::counters.refused[metrics::kRefusedPerAddress]);
    RefuseConnection(r);
    finished(w, r);
  }
}

// How long the loop may sleep: until accepting resumes after a pause (a
// worker not called in to accept is woken when it is).
long loopwait(Worker* w) {
  if (workers_accept.load() == 0 || w->listening) return kLoopWaitMs;
  int64_t left = w->resume_at - plat::nowms();
  if (left > 0) return (long)left;
  return watchesnow(w) ? 0 : kLoopWaitMs;
}

// Starts or stops watching the listener as watchesnow says; every turn, so
// the first worker, watching, reads no clock here.
void listen(Worker* w) {
  if (workers_accept.load() == 0) return;
  bool want = watchesnow(w);
  if (w->listening == want) return;
  if (!want) {
    loopunwatchlistener(w->loop, socket_listen);
    w->listening = false;
    return;
  }
  if (plat::nowms() < w->resume_at) return;  // paused (and so not watching)
  if (!loopwatchlistener(w->loop, socket_listen, acceptready, w)) {
    logmsg(LOG_CRIT, "%s cannot watch the listening socket (0x%X)", w->tag.text,
           (unsigned)plat::lasterror());
    failshutdown(kExitSockets);
    return;
  }
  w->listening = true;
}

void wakeworkers() {
  uint32_t used = worker_slots_used.load();
  for (uint32_t i = 0; i < used && i < kMaxThreads; i++)
    if (SessionLoop* l = worker_slots[i].loop.load()) loopwake(l);
}

}  // namespace

void wakeworker() { wakeidlest(nullptr); }

void wakeall() {
  wakeworkers();
  if (log_queue != nullptr) queuewakeall(log_queue);
}

void workersaccept() {
  workers_accept.store(1);
  wakeworkers();
}

void releaseworkers() {
  uint32_t used = worker_slots_used.load();
  for (uint32_t i = 0; i < used && i < kMaxThreads; i++) loopfree(worker_slots[i].loop.exchange(nullptr));
}

void requestreload(int) {
  logmsg(LOG_INFO, "SIGHUP: reloading the list files...");
  reload_requested.store(1);
}

void workerthread() {
  plat::lowerthreadpriority();
  Worker w;
  w.tag = maketag();
  w.listening = false;
  w.resume_at = 0;
  w.spare = nullptr;
  w.fullbatches = 0;
  w.ndone = 0;
  logmsg(LOG_INFO, "%s Worker thread started", w.tag.text);
  SessionLoop* loop = loopcreate(sessiondone, &w);
  w.loop = loop;
  if (loop == nullptr) {
    logmsg(LOG_CRIT, "%s cannot set up its event loop !", w.tag.text);
    failshutdown(kExitResources);
  } else {
    w.slot = &worker_slots[worker_slots_used.fetch_add(1)];
    w.slot->loop.store(loop);
    while (shutdown_flag.load() == 0) {
      takework(&w);
      listen(&w);
      // Before the wait: what ended since the last one goes now.
      flushdone(&w);
      loopturn(loop, loopwait(&w));
    }
    loopstopall(loop);
    flushdone(&w);
  }
  free(w.spare);
  logmsg(LOG_INFO, "Worker thread %s exiting", w.tag.text);
  active_threads.fetch_sub(1);
}

void loggerthread() {
  ThreadTag tag = maketag();
  logmsg(LOG_INFO, "%s Logger thread started", tag.text);
  while (isstopping() == 0) {
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
