#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>

#include "platform/poller.h"

namespace plat {

struct Poller {
  int ep;
  int wake;  // eventfd, reported with a null key and swallowed
};

namespace {

constexpr int kMaxBatch = 256;

int fd(SocketHandle s) { return (int)(intptr_t)s; }

uint32_t tomask(int events) {
  uint32_t m = 0;
  if (events & kPollIn) m |= EPOLLIN | EPOLLRDHUP;
  if (events & kPollOut) m |= EPOLLOUT;
  return m;
}

int control(Poller* p, int op, SocketHandle s, int events, void* key) {
  struct epoll_event ev = {};
  ev.events = tomask(events);
  ev.data.ptr = key;
  return epoll_ctl(p->ep, op, fd(s), &ev) == 0 ? 1 : 0;
}

}  // namespace

Poller* pollercreate() {
  Poller* p = new (std::nothrow) Poller;
  if (p == nullptr) return nullptr;
  p->ep = epoll_create1(EPOLL_CLOEXEC);
  p->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  struct epoll_event ev = {};
  ev.events = EPOLLIN;
  ev.data.ptr = nullptr;
  if (p->ep < 0 || p->wake < 0 || epoll_ctl(p->ep, EPOLL_CTL_ADD, p->wake, &ev) != 0) {
    pollerfree(p);
    return nullptr;
  }
  return p;
}

void pollerfree(Poller* p) {
  if (p == nullptr) return;
  if (p->ep >= 0) close(p->ep);
  if (p->wake >= 0) close(p->wake);
  delete p;
}

int polleradd(Poller* p, SocketHandle s, int events, void* key) {
  return control(p, EPOLL_CTL_ADD, s, events, key);
}

int pollermodify(Poller* p, SocketHandle s, int events, void* key) {
  return control(p, EPOLL_CTL_MOD, s, events, key);
}

int pollerremove(Poller* p, SocketHandle s) {
  struct epoll_event ev = {};
  return epoll_ctl(p->ep, EPOLL_CTL_DEL, fd(s), &ev) == 0 ? 1 : 0;
}

int pollerwait(Poller* p, PollEvent* out, int max, long timeout_ms) {
  struct epoll_event evs[kMaxBatch];
  if (max > kMaxBatch) max = kMaxBatch;
  int timeout = timeout_ms < 0 ? -1 : timeout_ms > 0x7FFFFFFF ? 0x7FFFFFFF : (int)timeout_ms;
  int n = epoll_wait(p->ep, evs, max, timeout);
  if (n < 0) return errno == EINTR ? 0 : -1;
  int filled = 0;
  for (int i = 0; i < n; i++) {
    if (evs[i].data.ptr == nullptr) {
      uint64_t v;
      while (read(p->wake, &v, sizeof v) > 0) {
      }
      continue;
    }
    int e = 0;
    if (evs[i].events & (EPOLLIN | EPOLLRDHUP)) e |= kPollIn;
    if (evs[i].events & EPOLLOUT) e |= kPollOut;
    if (evs[i].events & (EPOLLERR | EPOLLHUP)) e |= kPollErr;
    out[filled].key = evs[i].data.ptr;
    out[filled].events = e;
    filled++;
  }
  return filled;
}

int pollersharesaccept() { return 1; }

// epoll forgets a file once its last descriptor is closed.
int pollerdropsonclose() { return 1; }

int polleraddlistener(Poller* p, SocketHandle s, void* key) {
  struct epoll_event ev = {};
  // Level-triggered: what one worker leaves in the backlog wakes the next.
  ev.events = EPOLLIN | EPOLLEXCLUSIVE;
  ev.data.ptr = key;
  return epoll_ctl(p->ep, EPOLL_CTL_ADD, fd(s), &ev) == 0 ? 1 : 0;
}

void pollerwake(Poller* p) {
  uint64_t one = 1;
  ssize_t r = write(p->wake, &one, sizeof one);
  (void)r;  // a full counter already wakes the waiter
}

}  // namespace plat
