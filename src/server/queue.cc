#include "server/queue.h"

#include <chrono>
#include <new>

WorkQueue* conn_queue = nullptr;
WorkQueue* log_queue = nullptr;

static QueueNode* newnode(void* data) {
  QueueNode* n = new (std::nothrow) QueueNode;
  if (n == nullptr) return nullptr;
  n->next.store(nullptr);
  n->data = data;
  n->deferred = nullptr;
  return n;
}

WorkQueue* queuecreate() {
  WorkQueue* q = new (std::nothrow) WorkQueue;
  if (q == nullptr) return nullptr;
  QueueNode* s = newnode(nullptr);
  if (s == nullptr) {
    delete q;
    return nullptr;
  }
  q->head = s;
  q->tail.store(s);
  q->stub = s;
  q->count.store(0);
  q->linked.store(0);
  q->nodes.store(1);
  q->pushers.store(0);
  q->retired = nullptr;
  q->waiters.store(0);
  q->woken.store(0);
  return q;
}

uint32_t queuecount(WorkQueue* q) { return q->count.load(); }

int queuepush(WorkQueue* q, void* item) { return queuepushmany(q, &item, 1); }

int queuepushmany(WorkQueue* q, void* const* items, int n) {
  // The items are chained first and linked behind the tail in one step.
  QueueNode* first = nullptr;
  QueueNode* last = nullptr;
  int made = 0;
  for (; made < n; made++) {
    q->nodes.fetch_add(1);
    QueueNode* node = newnode(items[made]);
    if (node == nullptr) {
      q->nodes.fetch_sub(1);
      break;
    }
    if (last == nullptr)
      first = node;
    else
      last->next.store(node);
    last = node;
  }
  if (made == 0) return 0;
  // Counted before they are linked, so that a taker can never drive the count
  // below zero; a reader may briefly see an item that is not yet poppable.
  q->count.fetch_add((uint32_t)made);
  q->pushers.fetch_add(1);
  QueueNode* t;
  for (;;) {
    t = q->tail.load();
    QueueNode* expected = nullptr;
    if (t->next.compare_exchange_strong(expected, first)) break;
    // Another producer linked first: help it move the tail on, then retry.
    q->tail.compare_exchange_strong(t, expected);
  }
  // Fails only when a producer helped the tail along the chain already; it
  // then walks on to the chain's end itself.
  q->tail.compare_exchange_strong(t, last);
  q->linked.fetch_add(made);
  q->pushers.fetch_sub(1);
  // The items were linked and counted before this look at the waiters, and a
  // waiter announces itself before it looks at them: one of the two sees the
  // other.
  if (q->waiters.load() != 0) {
    std::lock_guard<std::mutex> g(q->wait_lock);
    q->wait_cv.notify_one();
  }
  return made;
}

int queuewait(WorkQueue* q, long timeout_ms) {
  std::unique_lock<std::mutex> g(q->wait_lock);
  q->waiters.fetch_add(1);
  // Counted items can still be on their way in (a producer preempted between
  // counting and linking them): waiting for linked ones keeps a taker from
  // spinning on an item it cannot pop yet.
  bool ready = q->wait_cv.wait_for(g, std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms),
                                   [q] { return q->linked.load() > 0 || q->woken.load() != 0; });
  q->waiters.fetch_sub(1);
  return ready && q->linked.load() > 0 ? 1 : 0;
}

void queuewakeall(WorkQueue* q) {
  std::lock_guard<std::mutex> g(q->wait_lock);
  q->woken.store(1);
  q->wait_cv.notify_all();
}

// REQUIRES: q->lock held.
static void releaseretired(WorkQueue* q) {
  while (q->retired != nullptr) {
    QueueNode* r = q->retired;
    q->retired = r->deferred;
    delete r;
    q->nodes.fetch_sub(1);
  }
}

void* queuepop(WorkQueue* q) {
  std::lock_guard<std::mutex> guard(q->lock);
  QueueNode* h = q->head;
  QueueNode* n = h->next.load();
  if (n == nullptr) return nullptr;
  void* item = n->data;
  q->head = n;
  q->count.fetch_sub(1);
  q->linked.fetch_sub(1);
  if (h != q->stub) {
    h->deferred = q->retired;
    q->retired = h;
  }
  if (q->pushers.load() == 0) releaseretired(q);
  return item;
}

int queuefree(WorkQueue* q) {
  if (q->count.load() != 0) return 0;
  {
    std::lock_guard<std::mutex> guard(q->lock);
    releaseretired(q);
  }
  if (q->head != q->stub) delete q->head;
  delete q->stub;
  delete q;
  return 1;
}
