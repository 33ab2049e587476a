// WorkQueue: FIFO of untyped item pointers. Producers link nodes without a
// lock; takers are serialised by the queue's lock. The queue never looks at
// or frees an item.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

struct QueueNode {
  std::atomic<QueueNode*> next;
  void* data;
  QueueNode* deferred;  // chain of popped sentinels awaiting release
};

struct WorkQueue {
  std::mutex lock;
  QueueNode* head;               // sentinel; its successor holds the oldest item
  std::atomic<QueueNode*> tail;  // last node linked
  QueueNode* stub;               // sentinel made at creation
  std::atomic<uint32_t> count;
  // Items linked and not yet popped: what a waiter waits for. It can dip
  // below zero for a moment, when an item is popped before its producer
  // has counted it here.
  std::atomic<int32_t> linked;
  std::atomic<int32_t> nodes;
  // Node reclamation: a popped sentinel may still be read by a producer that
  // loaded `tail` a moment earlier. Producers announce themselves here, and
  // popped sentinels are released only once no producer is in flight.
  std::atomic<uint32_t> pushers;
  QueueNode* retired;            // guarded by lock
  // Takers that wait for an item sleep here; a push wakes one of them, and
  // queuewakeall every one, once and for all.
  std::mutex wait_lock;
  std::condition_variable wait_cv;
  std::atomic<uint32_t> waiters;
  std::atomic<int> woken;
};

// New empty queue, or null when memory could not be had.
WorkQueue* queuecreate();
// Items in the queue (atomic read, no lock).
uint32_t queuecount(WorkQueue* q);
// Appends item. Returns 1, or 0 when no node could be allocated.
int queuepush(WorkQueue* q, void* item);
// Appends items[0..n) in that order with one wake-up for them all. Returns
// how many were appended (the first ones; fewer when nodes ran out).
int queuepushmany(WorkQueue* q, void* const* items, int n);
// Removes and returns the oldest item, or null when the queue is empty.
void* queuepop(WorkQueue* q);
// Waits until the queue holds an item, queuewakeall was called or timeout_ms
// pass. Returns 1 when the queue holds an item.
int queuewait(WorkQueue* q, long timeout_ms);
// Wakes every present and future queuewait at once (for a shutdown).
void queuewakeall(WorkQueue* q);
// Releases an empty queue and returns 1; a queue holding items is left
// untouched and 0 is returned.
int queuefree(WorkQueue* q);

extern WorkQueue* conn_queue;
extern WorkQueue* log_queue;
