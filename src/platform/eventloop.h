// One thread's event loop: sockets to watch, timers, and the buffered output
// of a connection. What owns a socket embeds its Watch, Timer and Output (the
// loop allocates nothing per connection) and is called back from
// eventloopturn. Not thread-safe except eventloopwake.
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/types.h"
#include "platform/poller.h"

namespace plat {

// A socket the loop watches; ready(ctx, events) runs when it is ready for
// what is watched (PollFlags; kPollErr for an error or a hang-up).
struct Watch {
  SocketHandle sock;
  void (*ready)(void* ctx, int events);
  void* ctx;
  int events = -1;  // PollFlags watched, -1 when not registered
};

// Every timer of a class runs for the same time, so each class is a list in
// deadline order: arming appends, the head falls due first. due(ctx, cls)
// runs when the timer falls due; it is disarmed by then. A loop keeps as
// many classes as its users need (a session: three), each scanned per turn.
constexpr int kTimerClasses = 3;
struct Timer {
  void (*due)(void* ctx, int cls);
  void* ctx;
  int cls = -1;  // -1 when not armed
  int64_t deadline = 0;
  Timer* prev = nullptr;
  Timer* next = nullptr;
};

struct EventLoop;

// New loop, or null when the system refused the resources.
EventLoop* eventloopcreate();
// REQUIRES: nothing is watched.
void eventloopfree(EventLoop* l);
// Waits up to max_wait_ms (< 0: no limit; less when a timer falls due
// sooner; a wake ends it at once) and runs whatever became ready or due.
void eventloopturn(EventLoop* l, long max_wait_ms);
// Makes the current or next eventloopturn return at once. Thread-safe.
void eventloopwake(EventLoop* l);

// Watches w->sock for events (PollFlags), or stops watching it (events < 0).
// Returns 1; 0 when the poller refused the socket (then it is not watched).
int watchset(EventLoop* l, Watch* w, int events);
// Stops watching w->sock, which the caller closes next: where closing does
// it anyway, without a system call of its own.
void watchclosing(EventLoop* l, Watch* w);
// Watches a listening socket that other loops may watch too. Returns 1; 0
// when the platform cannot share a listener or the poller refused it.
int watchlistener(EventLoop* l, Watch* w);

// Arms t in class cls to fall due length_ms from now, disarming it first.
// REQUIRES: every timer armed in one class has the same length.
void timerarm(EventLoop* l, Timer* t, int cls, long length_ms);
void timerdisarm(EventLoop* l, Timer* t);

// Bytes for a connection, sent as it takes them. Bytes put with a hold wait,
// with everything put behind them, until released: a reply's delay.
struct Output {
  char* data;  // cap bytes, owned by whoever owns the Output
  size_t cap;
  size_t pos = 0, heldfrom = 0, len = 0;  // sent up to pos; held from heldfrom
  bool held = false;
};
// Appends data, held when `hold` or while bytes are held. Returns 1; 0 when
// it does not fit.
int outputput(Output* o, const char* data, size_t len, bool hold);
// Sends what may go now. Returns 0 when the connection is gone.
int outputflush(Output* o, SocketHandle s);
// Bytes that may go now are still unsent.
bool outputunsent(const Output* o);
// Bytes are held or unsent.
bool outputpending(const Output* o);
// Ends the hold; returns the first byte that was held.
const char* outputrelease(Output* o);

}  // namespace plat
