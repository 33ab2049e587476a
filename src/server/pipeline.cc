#include "server/pipeline.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "analysis/checkconn.h"
#include "analysis/recordmemo.h"
#include "dns/cache.h"
#include "dns/resolver.h"
#include "platform/sys.h"
#include "server/hysteresis.h"
#include "base/metrics.h"
#include "common/log.h"
#include "common/settings.h"

namespace {

struct Job {
  ConnectionRecord* record;
  uint64_t seq;
  int verdict;
  int64_t deadline;  // for its analysis, counted from the hand-in
  std::string json;  // built beside the analysis, not in the writer's turn
};

// An analysis thread's own wake-up: one waiter per condition variable, so
// that waking one costs one system call, however many threads wait.
struct Idler {
  std::condition_variable cv;
  bool woken = false;
};

struct Pipeline {
  std::mutex m;
  std::condition_variable space;  // the window has room / everything written
  std::deque<Job> todo;
  std::map<uint64_t, Job> done;   // analysed, waiting for their turn
  uint64_t next_seq = 0;
  uint64_t next_write = 0;
  bool stopping = false;
  uint32_t cap = 0;
  uint64_t window = kAnalysisWindow;
  uint32_t held = 0;              // admitted and not yet written
  std::unique_ptr<Idler[]> seats;  // one per analysis thread
  std::vector<Idler*> idlers;     // waiting for a job; the last in is warmest
  uint32_t analysing = 0;         // jobs taken and not yet written
  bool paused = false;            // a list reload waits for those to end
  dns::CachingResolver* cache = nullptr;  // answers a worker may analyse from
  // Refusals are lines written at once; an episode ends once what is held
  // is at most four fifths of the cap (with a cap of 1: once nothing is).
  Hysteresis bound;
  std::vector<std::thread> threads;
  std::mutex write_lock;          // one writer at a time, in sequence order
};

Pipeline* g_pipe = nullptr;
// Lines written at once without DNS data, on any thread, read the lists;
// a reload replaces them only while no such line is being made.
std::shared_mutex g_lists_lock;
// What is held, for readers on other threads (the metrics page).
std::atomic<uint32_t> g_held{0};

// Analyses one record against the process resolver, through a memo of the
// record's own answers, until `deadline` (1: at once, without DNS, for the
// reason `atonce`). The record is then ready to be written (its JSON line
// into `json`).
int analyse(ConnectionRecord* r, int64_t deadline, AnalysisOutcome atonce, std::string* json,
            dns::Resolver& inner = dns::resolver()) {
  RecordMemo memo(inner);
  dns::setthreaddeadline(deadline);
  int verdict = analyseconn(r);
  // Ran out of time: its own deadline, or the stop's cut-off before it.
  if (deadline != 1 && dns::pastdeadline()) {
    bool own = plat::nowms() >= deadline;
    metrics::add(metrics::counters.nodns[own ? metrics::kNoDnsDeadline : metrics::kNoDnsStop]);
  }
  // Why DNS data may be missing: the record's deadline or the stop's
  // cut-off (whichever came first) ran out during the analysis.
  if (deadline == 1)
    r->analysis = atonce;
  else if (!dns::pastdeadline())
    r->analysis = AnalysisOutcome::complete;
  else
    r->analysis = plat::nowms() >= deadline ? AnalysisOutcome::deadline : AnalysisOutcome::stop;
  dns::setthreaddeadline(0);
  finishconn(r, json);
  return verdict;
}

// Writes every line whose turn has come.
void flush(Pipeline* p) {
  std::lock_guard<std::mutex> w(p->write_lock);
  for (;;) {
    Job j;
    {
      std::lock_guard<std::mutex> lock(p->m);
      auto it = p->done.find(p->next_write);
      if (it == p->done.end()) return;
      j = std::move(it->second);
      p->done.erase(it);
    }
    writeconn(j.record, j.verdict, j.json);
    free(j.record);
    std::lock_guard<std::mutex> lock(p->m);
    p->next_write++;
    if (p->held > 0) p->held--;
    g_held.store(p->held, std::memory_order_relaxed);
    p->space.notify_all();
  }
}

void complete(Pipeline* p, Job j) {
  {
    std::lock_guard<std::mutex> lock(p->m);
    p->done.emplace(j.seq, std::move(j));
  }
  flush(p);
}

// REQUIRES: p->m held. The analysis thread to wake for a job waiting (null
// when none waits or a reload holds them); the caller wakes it once it has
// let go of the lock.
Idler* takeidler(Pipeline* p) {
  if (p->idlers.empty() || p->paused || p->todo.empty()) return nullptr;
  Idler* i = p->idlers.back();
  p->idlers.pop_back();
  i->woken = true;
  return i;
}

void wake(Idler* i) {
  if (i != nullptr) i->cv.notify_one();
}

// Analyses the job's record on the calling thread from the answer cache
// alone, on a copy; keeps the copy (returns true) only when every question
// was answered there. A client seen moments ago (a spam run, a benchmark)
// then costs no hand-over to an analysis thread and no wake-up.
bool analysecached(Pipeline* p, Job* j) {
  ConnectionRecord* copy = (ConnectionRecord*)malloc(sizeof *copy);
  if (copy == nullptr) return false;
  memcpy(copy, j->record, sizeof *copy);
  dns::CacheOnlyResolver cached(*p->cache);
  std::string json;
  int verdict = analyse(copy, j->deadline, AnalysisOutcome::deadline, &json, cached);
  if (cached.abandoned()) {
    free(copy);
    return false;
  }
  cached.keep();
  free(j->record);
  j->record = copy;
  j->verdict = verdict;
  j->json = std::move(json);
  return true;
}

void analysisthread(Pipeline* p, Idler* me) {
  std::unique_lock<std::mutex> lock(p->m);
  for (;;) {
    if (p->todo.empty() || p->paused) {
      if (p->stopping) return;
      me->woken = false;
      p->idlers.push_back(me);
      me->cv.wait(lock, [p, me] { return me->woken || p->stopping; });
      continue;
    }
    Job j = std::move(p->todo.front());
    p->todo.pop_front();
    p->analysing++;
    // A batch wakes one thread; each passes the wake on while work is left,
    // so a worker handing in many records pays for one wake-up.
    Idler* next = takeidler(p);
    lock.unlock();
    wake(next);
    // A record that waited (almost) its time in the queue is written
    // without DNS data at once: no line waits much longer than one
    // analysis, and no question is asked that is dropped a moment later,
    // still waiting in the resolver for its own time-out.
    bool late = j.deadline - plat::nowms() < kLeastAnalysisMs;
    if (late) metrics::add(metrics::counters.nodns[metrics::kNoDnsDeadline]);
    j.verdict = analyse(j.record, late ? 1 : j.deadline, AnalysisOutcome::deadline, &j.json);
    complete(p, std::move(j));
    lock.lock();
    if (--p->analysing == 0 && p->paused) p->space.notify_all();
  }
}

}  // namespace

void pipelinestart(int threads, uint32_t backlog, dns::CachingResolver* cache) {
  Pipeline* p = new Pipeline;
  p->cap = backlog;
  p->cache = cache;
  if (backlog > 0) p->bound.setcap(backlog, false);
  // Room for every admitted record: the logger never waits for the window.
  p->window = std::max<uint64_t>(kAnalysisWindow, (uint64_t)backlog + (uint64_t)threads);
  p->seats = std::make_unique<Idler[]>((size_t)std::max(threads, 0));
  p->idlers.reserve((size_t)std::max(threads, 0));
  for (int i = 0; i < threads; i++) p->threads.emplace_back(analysisthread, p, &p->seats[i]);
  g_pipe = p;
}

bool pipelineadmit() {
  Pipeline* p = g_pipe;
  if (p == nullptr) return false;
  std::lock_guard<std::mutex> lock(p->m);
  if (p->cap == 0) return true;
  unsigned long n = p->held;
  Hysteresis::Check c = p->bound.check(p->held);
  if (c.ended)
    logmsg(LOG_WARN, "analysis backlog back to normal (%lu), %lu line(s) written without DNS data",
           n, c.refused);
  if (c.admit) {
    p->held++;
    g_held.store(p->held, std::memory_order_relaxed);
    return true;
  }
  if (c.began) logmsg(LOG_WARN, "analysis backlog full (%lu), logging without DNS data", n);
  metrics::add(metrics::counters.nodns[metrics::kNoDnsBacklog]);
  return false;
}

void pipelinewritenow(ConnectionRecord* r) {
  {
    std::shared_lock<std::shared_mutex> lists(g_lists_lock);
    std::string json;
    int verdict = analyse(r, 1, AnalysisOutcome::backlog, &json);
    writeconn(r, verdict, json);
  }
  free(r);
}

void pipelinesubmit(ConnectionRecord* r) {
  Pipeline* p = g_pipe;
  Job j{r, 0, 0, plat::nowms() + kRecordDeadlineMs, {}};
  Idler* next = nullptr;
  {
    std::unique_lock<std::mutex> lock(p->m);
    p->space.wait(lock, [p] { return p->next_seq - p->next_write < p->window; });
    j.seq = p->next_seq++;
    if (!p->threads.empty()) {
      p->todo.push_back(std::move(j));
      next = takeidler(p);
    }
  }
  if (!p->threads.empty()) {
    wake(next);
    return;
  }
  j.verdict = analyse(r, 1, AnalysisOutcome::backlog, &j.json);
  complete(p, std::move(j));
}

int pipelineoffer(ConnectionRecord* const* records, int n, const char* tag) {
  Pipeline* p = g_pipe;
  if (p == nullptr || p->threads.empty()) return 0;
  int64_t deadline = plat::nowms() + kRecordDeadlineMs;
  // The analysis from the cache is tried unless its lookups would show in
  // the trace, or a stop has cut the answers short.
  const bool cached = p->cache != nullptr && settings.LogLevel < LOG_TRON && !dns::pastdeadline();
  int taken = 0;
  while (taken < n) {
    Job mine{nullptr, 0, 0, deadline, {}};
    Idler* next;
    {
      std::lock_guard<std::mutex> lock(p->m);
      for (; taken < n && p->next_seq - p->next_write < p->window; taken++) {
        // Said while the record is still here: an analysis thread may free
        // it as soon as the lock is let go.
        logmsg(LOG_CONN, "%s %s Logging connection data", tag, records[taken]->client_ip);
        Job j{records[taken], p->next_seq++, 0, deadline, {}};
        if (cached && !p->paused) {
          p->analysing++;  // a list reload waits for it as for the others
          mine = std::move(j);
          break;
        }
        p->todo.push_back(std::move(j));
      }
      next = takeidler(p);
    }
    wake(next);
    if (mine.record == nullptr) break;  // all handed in, or the window is full
    taken++;
    const bool done = analysecached(p, &mine);
    if (done) complete(p, std::move(mine));
    {
      std::lock_guard<std::mutex> lock(p->m);
      if (!done) {  // an analysis thread asks what the cache did not have
        p->todo.push_back(std::move(mine));
        next = takeidler(p);
      }
      if (--p->analysing == 0 && p->paused) p->space.notify_all();
    }
    if (!done) wake(next);
  }
  return taken;
}

void pipelinereload(void (*reload)()) {
  Pipeline* p = g_pipe;
  // Records keep coming from the workers meanwhile: they wait in the queue
  // until the new lists are in.
  {
    std::unique_lock<std::mutex> lock(p->m);
    p->paused = true;
    p->space.wait(lock, [p] { return p->analysing == 0; });
  }
  {
    std::unique_lock<std::shared_mutex> lists(g_lists_lock);
    reload();
  }
  Idler* next;
  {
    std::lock_guard<std::mutex> lock(p->m);
    p->paused = false;
    next = takeidler(p);
  }
  wake(next);
}

uint32_t pipelinebacklog() { return g_held.load(std::memory_order_relaxed); }

void pipelinestopping() { dns::setcutoff(plat::nowms() + kStopAnalysisMs); }

void pipelinewait() {
  Pipeline* p = g_pipe;
  std::unique_lock<std::mutex> lock(p->m);
  p->space.wait(lock, [p] { return p->next_write == p->next_seq; });
}

void pipelinefinish() {
  Pipeline* p = g_pipe;
  pipelinewait();
  {
    std::lock_guard<std::mutex> lock(p->m);
    p->stopping = true;
    for (size_t i = 0; i < p->threads.size(); i++) p->seats[i].cv.notify_one();
  }
  for (std::thread& t : p->threads) t.join();
  g_pipe = nullptr;
  delete p;
  dns::setcutoff(0);
}
