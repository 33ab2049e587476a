#include "platform/eventloop.h"

#include <cstring>
#include <new>

#include "platform/net.h"
#include "platform/sys.h"

namespace plat {

namespace {

constexpr int kEventBatch = 64;

struct TimerList {
  Timer* head = nullptr;
  Timer* tail = nullptr;
};

}  // namespace

struct EventLoop {
  Poller* poller;
  TimerList timers[kTimerClasses];
};

EventLoop* eventloopcreate() {
  EventLoop* l = new (std::nothrow) EventLoop;
  if (l == nullptr) return nullptr;
  l->poller = pollercreate();
  if (l->poller == nullptr) {
    delete l;
    return nullptr;
  }
  return l;
}

void eventloopfree(EventLoop* l) {
  if (l == nullptr) return;
  pollerfree(l->poller);
  delete l;
}

void eventloopwake(EventLoop* l) { pollerwake(l->poller); }

int watchset(EventLoop* l, Watch* w, int events) {
  int ok = 1;
  if (events < 0) {
    if (w->events >= 0) pollerremove(l->poller, w->sock);
  } else if (w->events < 0) {
    ok = polleradd(l->poller, w->sock, events, w);
    if (!ok) events = -1;
  } else if (w->events != events) {
    pollermodify(l->poller, w->sock, events, w);
  }
  w->events = events;
  return ok;
}

void watchclosing(EventLoop* l, Watch* w) {
  if (w->events >= 0 && !pollerdropsonclose()) pollerremove(l->poller, w->sock);
  w->events = -1;
}

int watchlistener(EventLoop* l, Watch* w) {
  if (!pollersharesaccept() || !polleraddlistener(l->poller, w->sock, w)) return 0;
  w->events = kPollIn;
  return 1;
}

void timerdisarm(EventLoop* l, Timer* t) {
  if (t->cls < 0) return;
  TimerList& list = l->timers[t->cls];
  (t->prev ? t->prev->next : list.head) = t->next;
  (t->next ? t->next->prev : list.tail) = t->prev;
  t->prev = t->next = nullptr;
  t->cls = -1;
}

void timerarm(EventLoop* l, Timer* t, int cls, long length_ms) {
  timerdisarm(l, t);
  TimerList& list = l->timers[cls];
  t->cls = cls;
  t->deadline = nowms() + length_ms;
  t->prev = list.tail;
  t->next = nullptr;
  (list.tail ? list.tail->next : list.head) = t;
  list.tail = t;
}

void eventloopturn(EventLoop* l, long max_wait_ms) {
  long wait = max_wait_ms;
  int64_t now = nowms();
  for (const TimerList& list : l->timers) {
    if (list.head == nullptr) continue;
    int64_t left = list.head->deadline - now;
    if (wait < 0 || left < wait) wait = left < 0 ? 0 : (long)left;
  }
  PollEvent evs[kEventBatch];
  int n = pollerwait(l->poller, evs, kEventBatch, wait);
  for (int i = 0; i < n; i++) {
    Watch* w = (Watch*)evs[i].key;
    w->ready(w->ctx, evs[i].events);
  }
  now = nowms();
  for (int c = 0; c < kTimerClasses; c++) {
    TimerList& list = l->timers[c];
    while (list.head != nullptr && list.head->deadline <= now) {
      Timer* t = list.head;
      timerdisarm(l, t);
      t->due(t->ctx, c);
    }
  }
}

int outputput(Output* o, const char* data, size_t len, bool hold) {
  if (o->pos > 0 && !o->held) {
    memmove(o->data, o->data + o->pos, o->len - o->pos);
    o->len -= o->pos;
    o->pos = 0;
  }
  if (o->len + len > o->cap) return 0;
  if (hold && !o->held) {
    o->held = true;
    o->heldfrom = o->len;
  }
  memcpy(o->data + o->len, data, len);
  o->len += len;
  return 1;
}

int outputflush(Output* o, SocketHandle s) {
  size_t end = o->held ? o->heldfrom : o->len;
  while (o->pos < end) {
    long n = sendsocket(s, o->data + o->pos, end - o->pos);
    if (n < 0 && wouldblock()) break;
    if (n <= 0) return 0;
    o->pos += (size_t)n;
  }
  if (o->pos == o->len) o->pos = o->len = o->heldfrom = 0;
  return 1;
}

bool outputunsent(const Output* o) { return o->pos < (o->held ? o->heldfrom : o->len); }

bool outputpending(const Output* o) { return o->held || o->pos < o->len; }

const char* outputrelease(Output* o) {
  o->held = false;
  return o->data + o->heldfrom;
}

}  // namespace plat
