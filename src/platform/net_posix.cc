#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/net.h"
#include "base/textbuf.h"

namespace plat {

static int fd(SocketHandle s) { return (int)(intptr_t)s; }

int socketstartup() { return 1; }

uint32_t inetaddr(const char* text) { return inet_addr(text); }

void inetntoa(uint32_t addr_net, char* buf, size_t size) {
  char tmp[INET_ADDRSTRLEN];
  struct in_addr a;
  a.s_addr = addr_net;
  textcopy(buf, size, inet_ntop(AF_INET, &a, tmp, sizeof tmp));
}

SocketHandle tcpsocket() {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return s < 0 ? kInvalidSocket : (SocketHandle)s;
}

int bindsocket(SocketHandle s, uint32_t addr_net, uint16_t port) {
  if (s == kInvalidSocket) {
    errno = EBADF;
    return 0;
  }
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = addr_net;
  // A restart must not wait for the previous run's connections to leave
  // TIME_WAIT (the decoy closes first, so they are ours). On Linux this does
  // not allow binding a port that another socket listens on.
  int on = 1;
  (void)setsockopt(fd(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  return bind(fd(s), (struct sockaddr*)&sa, sizeof sa) == 0 ? 1 : 0;
}

int listensocket(SocketHandle s, int backlog) { return listen(fd(s), backlog) == 0 ? 1 : 0; }

SocketHandle acceptsocket(SocketHandle s, PeerAddr* peer) {
  struct sockaddr_in sa;
  socklen_t len = sizeof sa;
  memset(&sa, 0, sizeof sa);
  int c;
  do {
    c = accept4(fd(s), (struct sockaddr*)&sa, &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
  } while (c < 0 && errno == EINTR);
  if (c < 0) return kInvalidSocket;
  static_assert(sizeof(sa) == sizeof(PeerAddr));
  memcpy(peer, &sa, sizeof *peer);
  return (SocketHandle)c;
}

void closelistener(SocketHandle s) {
  // close() alone does not wake a thread blocked in accept() on Linux.
  shutdown(fd(s), SHUT_RDWR);
}

void releaselistener(SocketHandle s) { close(fd(s)); }

int socketpair(SocketHandle out[2]) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  out[0] = (SocketHandle)(intptr_t)fds[0];
  out[1] = (SocketHandle)(intptr_t)fds[1];
  return 1;
}

long sendsocket(SocketHandle s, const char* data, size_t len) {
  ssize_t n;
  do {
    n = send(fd(s), data, len, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return (long)n;
}

int waitreadable(SocketHandle s, unsigned long timeout_ms) {
  struct pollfd p;
  p.fd = fd(s);
  p.events = POLLIN;
  p.revents = 0;
  int timeout = timeout_ms > 0x7FFFFFFFul ? 0x7FFFFFFF : (int)timeout_ms;
  return poll(&p, 1, timeout);
}

long recvsocket(SocketHandle s, char* buf, size_t len) {
  ssize_t n;
  do {
    n = recv(fd(s), buf, len, 0);
  } while (n < 0 && errno == EINTR);
  return (long)n;
}

int shutdownsend(SocketHandle s) { return shutdown(fd(s), SHUT_WR) == 0 ? 1 : 0; }

int setabortive(SocketHandle s) {
  struct linger l;
  l.l_onoff = 1;
  l.l_linger = 0;
  return setsockopt(fd(s), SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 1 : 0;
}

int setnonblocking(SocketHandle s) {
  int flags = fcntl(fd(s), F_GETFL, 0);
  return flags >= 0 && fcntl(fd(s), F_SETFL, flags | O_NONBLOCK) == 0 ? 1 : 0;
}

int wouldblock() { return errno == EAGAIN || errno == EWOULDBLOCK; }

int transientaccepterror(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM ||
         err == ECONNABORTED;
}

int peererror(int err) {
  return err == ECONNRESET || err == ENOTCONN || err == EPIPE || err == ECONNABORTED ||
         err == ETIMEDOUT || err == EHOSTUNREACH || err == ENETUNREACH || err == ENETDOWN ||
         err == ECONNREFUSED;
}

long pendingbytes(SocketHandle s) {
  int n = 0;
  return ioctl(fd(s), FIONREAD, &n) == 0 && n > 0 ? n : 0;
}

void localaddress(SocketHandle s, PeerAddr* local) {
  struct sockaddr_in sa;
  socklen_t len = sizeof sa;
  memset(&sa, 0, sizeof sa);
  if (getsockname(fd(s), (struct sockaddr*)&sa, &len) != 0 || sa.sin_family != AF_INET)
    memset(&sa, 0, sizeof sa);
  memcpy(local, &sa, sizeof *local);
}

int closesocket(SocketHandle s) { return close(fd(s)) == 0 ? 1 : 0; }

int gethostname(char* buf, size_t size) {
  if (size == 0) return 0;
  if (::gethostname(buf, size) != 0) return 0;
  buf[size - 1] = '\0';
  return 1;
}

int forwardlookup(const char* name, uint32_t* addr_net) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  struct addrinfo* res = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &res) != 0 || res == nullptr) return 0;
  *addr_net = ((struct sockaddr_in*)res->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(res);
  return 1;
}

int reverselookup(uint32_t addr_net, char* buf, size_t size) {
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr_net;
  char host[NI_MAXHOST];
  if (getnameinfo((struct sockaddr*)&sa, sizeof sa, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
    return 0;
  if (host[0] == '\0') return 0;
  textcopy(buf, size, host);
  return 1;
}

}  // namespace plat
