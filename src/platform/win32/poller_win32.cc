// WSAPoll over a list of sockets; a loopback socket pair carries the wake.
#include <winsock2.h>

#include <mutex>
#include <new>
#include <vector>

#include "platform/net.h"
#include "platform/poller.h"

namespace plat {

struct Poller {
  std::vector<WSAPOLLFD> fds;  // fds[0] is the wake socket's reading end
  std::vector<void*> keys;
  SocketHandle wake[2];
};

namespace {

SHORT tomask(int events) {
  SHORT m = 0;
  if (events & kPollIn) m |= POLLRDNORM;
  if (events & kPollOut) m |= POLLWRNORM;
  return m;
}

size_t find(Poller* p, SocketHandle s) {
  for (size_t i = 1; i < p->fds.size(); i++)
    if (p->fds[i].fd == (SOCKET)s) return i;
  return 0;
}

}  // namespace

Poller* pollercreate() {
  Poller* p = new (std::nothrow) Poller;
  if (p == nullptr) return nullptr;
  if (!socketpair(p->wake)) {
    delete p;
    return nullptr;
  }
  u_long on = 1;
  ioctlsocket((SOCKET)p->wake[1], FIONBIO, &on);
  ioctlsocket((SOCKET)p->wake[0], FIONBIO, &on);
  WSAPOLLFD w = {};
  w.fd = (SOCKET)p->wake[1];
  w.events = POLLRDNORM;
  p->fds.push_back(w);
  p->keys.push_back(nullptr);
  return p;
}

void pollerfree(Poller* p) {
  if (p == nullptr) return;
  closesocket(p->wake[0]);
  closesocket(p->wake[1]);
  delete p;
}

int polleradd(Poller* p, SocketHandle s, int events, void* key) {
  WSAPOLLFD f = {};
  f.fd = (SOCKET)s;
  f.events = tomask(events);
  p->fds.push_back(f);
  p->keys.push_back(key);
  return 1;
}

int pollermodify(Poller* p, SocketHandle s, int events, void* key) {
  size_t i = find(p, s);
  if (i == 0) return 0;
  p->fds[i].events = tomask(events);
  p->keys[i] = key;
  return 1;
}

int pollerremove(Poller* p, SocketHandle s) {
  size_t i = find(p, s);
  if (i == 0) return 0;
  p->fds[i] = p->fds.back();
  p->keys[i] = p->keys.back();
  p->fds.pop_back();
  p->keys.pop_back();
  return 1;
}

int pollerwait(Poller* p, PollEvent* out, int max, long timeout_ms) {
  for (WSAPOLLFD& f : p->fds) f.revents = 0;
  int timeout = timeout_ms < 0 ? -1 : timeout_ms > 0x7FFFFFFF ? 0x7FFFFFFF : (int)timeout_ms;
  int n = WSAPoll(p->fds.data(), (ULONG)p->fds.size(), timeout);
  if (n == SOCKET_ERROR) return -1;
  int filled = 0;
  if (p->fds[0].revents != 0) {
    char buf[64];
    while (recv((SOCKET)p->wake[1], buf, sizeof buf, 0) > 0) {
    }
  }
  for (size_t i = 1; i < p->fds.size() && filled < max; i++) {
    SHORT r = p->fds[i].revents;
    if (r == 0) continue;
    int e = 0;
    if (r & (POLLRDNORM | POLLHUP)) e |= kPollIn;
    if (r & POLLWRNORM) e |= kPollOut;
    if (r & (POLLERR | POLLHUP | POLLNVAL)) e |= kPollErr;
    out[filled].key = p->keys[i];
    out[filled].events = e;
    filled++;
  }
  return filled;
}

void pollerwake(Poller* p) {
  char one = 1;
  send((SOCKET)p->wake[0], &one, 1, 0);
}

// WSAPoll wakes every poller that watches a socket: one thread accepts.
int pollersharesaccept() { return 0; }

// WSAPoll would report a closed socket's slot as invalid.
int pollerdropsonclose() { return 0; }

int polleraddlistener(Poller*, SocketHandle, void*) { return 0; }

}  // namespace plat
