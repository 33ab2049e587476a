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
// Waits up to timeout_ms (< 0: no limit) for events or a wake; fills at most
// max entries. Returns the number filled (0 on time-out or wake), -1 on error.
int pollerwait(Poller* p, PollEvent* out, int max, long timeout_ms);
// Makes the current or next pollerwait return at once. Thread-safe.
void pollerwake(Poller* p);

}  // namespace plat
