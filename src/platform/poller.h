// Readiness of many sockets to one thread: epoll on Linux, WSAPoll on
// Windows. One thread waits; any thread may wake it.
#pragma once
#include <cstdint>

#include "base/types.h"

namespace plat {

enum PollFlags { kPollIn = 1, kPollOut = 2, kPollErr = 4 };

struct PollEvent {
  void* key;   // as given to polleradd
  int events;  // PollFlags; kPollErr also for a hang-up
};

struct Poller;

// New poller, or null when the system refused one.
Poller* pollercreate();
void pollerfree(Poller* p);
// Watches s for `events` (PollFlags, 0 for errors only), reported with key.
// Each returns 1 on success.
int polleradd(Poller* p, SocketHandle s, int events, void* key);
int pollermodify(Poller* p, SocketHandle s, int events, void* key);
int pollerremove(Poller* p, SocketHandle s);
// 1 when closing a socket (its only descriptor) also drops it from every
// poller, so that it need not be removed first.
int pollerdropsonclose();
// Waits up to timeout_ms (< 0: no limit) for events or a wake; fills at most
// max entries. Returns the number filled (0 on time-out or wake), -1 on error.
int pollerwait(Poller* p, PollEvent* out, int max, long timeout_ms);
// Makes the current or next pollerwait return at once. Thread-safe.
void pollerwake(Poller* p);

// 1 where several pollers may watch one listening socket and a new
// connection wakes one waiting poller, not all of them (Linux, exclusive
// wake-ups): each worker can then accept for itself. 0 elsewhere: one thread
// accepts and hands the connections over.
int pollersharesaccept();
// Watches the listening socket s, which other pollers may watch too, for
// connections to accept (reported as kPollIn with key). Returns 1 on
// success. REQUIRES: pollersharesaccept().
int polleraddlistener(Poller* p, SocketHandle s, void* key);

}  // namespace plat
