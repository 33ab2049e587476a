// Preloaded into the server by the fault test: system calls on client
// connections fail as a stressed kernel may make them fail. NESTRAP_FAULTS
// lists the calls and how often, e.g. "shutdown:2,epoll_add:5,close:3": every
// second shutdown() of a connection fails, and so on. A failed close()
// still closes, as close() does on Linux whatever it returns.
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

namespace {

enum Call { kShutdown, kEpollAdd, kClose, kCalls };
const char* const kNames[kCalls] = {"shutdown", "epoll_add", "close"};
std::atomic<long> g_seen[kCalls];

// True when this call of `c` on `fd` is to fail: only TCP connections
// count (never the listener, the loops' own descriptors or files).
bool fails(Call c, int fd) {
  const char* spec = getenv("NESTRAP_FAULTS");
  const char* at = spec ? strstr(spec, kNames[c]) : nullptr;
  if (at == nullptr || at[strlen(kNames[c])] != ':') return false;
  long every = atol(at + strlen(kNames[c]) + 1);
  int type = 0, listening = 1;
  socklen_t len = sizeof type;
  if (every <= 0 || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM ||
      getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || listening)
    return false;
  return ++g_seen[c] % every == 0;
}

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int shutdown(int fd, int how) {
  if (fails(kShutdown, fd)) {
    errno = ENOTCONN;
    return -1;
  }
  return real<int (*)(int, int)>("shutdown")(fd, how);
}

extern "C" int epoll_ctl(int ep, int op, int fd, struct epoll_event* ev) {
  if (op == EPOLL_CTL_ADD && fails(kEpollAdd, fd)) {
    errno = ENOMEM;
    return -1;
  }
  return real<int (*)(int, int, int, struct epoll_event*)>("epoll_ctl")(ep, op, fd, ev);
}

extern "C" int close(int fd) {
  const bool fail = fails(kClose, fd);
  int rc = real<int (*)(int)>("close")(fd);
  if (!fail) return rc;
  errno = EIO;
  return -1;
}
