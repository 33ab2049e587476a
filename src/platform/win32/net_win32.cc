// Socket operations over Windows Sockets 2.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <mutex>

#include "platform/net.h"
#include "platform/sys.h"
#include "base/ipv4.h"
#include "base/textbuf.h"

namespace plat {

namespace {
std::once_flag g_once;
WSADATA g_wsadata;
int g_startresult = -1;

// Every entry point makes sure Winsock is started, so that tests and helpers
// that never went through servermain's start-up work as well.
int started() {
  std::call_once(g_once, [] {
    memset(&g_wsadata, 0, sizeof g_wsadata);
    g_startresult = WSAStartup(MAKEWORD(2, 2), &g_wsadata);
  });
  return g_startresult;
}

SOCKET sock(SocketHandle s) { return (SOCKET)s; }
}  // namespace

int socketstartup() {
  int rc = started();
  if (rc != 0) WSASetLastError(rc);
  return rc == 0 ? 1 : 0;
}

void socketinfo(char* desc, size_t descsize, char* status, size_t statussize, long* lo, long* hi) {
  if (started() != 0) {
    textcopy(desc, descsize, "Windows Sockets");
    textcopy(status, statussize, "not started");
    *lo = 0;
    *hi = 0;
    return;
  }
  textcopy(desc, descsize, g_wsadata.szDescription);
  textcopy(status, statussize, g_wsadata.szSystemStatus);
  *lo = LOBYTE(g_wsadata.wHighVersion);
  *hi = HIBYTE(g_wsadata.wHighVersion);
}

uint32_t inetaddr(const char* text) {
  started();
  return (uint32_t)inet_addr(text);
}

void inetntoa(uint32_t addr_net, char* buf, size_t size) {
  // Formatted here: inet_ntoa's buffer is shared within the thread only on
  // some systems.
  dotted((const uint8_t*)&addr_net, buf, size);
}

SocketHandle tcpsocket() {
  started();
  SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  return s == INVALID_SOCKET ? kInvalidSocket : (SocketHandle)s;
}

int bindsocket(SocketHandle s, uint32_t addr_net, uint16_t port) {
  if (s == kInvalidSocket) {
    WSASetLastError(WSAENOTSOCK);
    return 0;
  }
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = addr_net;
  return bind(sock(s), (struct sockaddr*)&sa, sizeof sa) == 0 ? 1 : 0;
}

int listensocket(SocketHandle s, int backlog) { return listen(sock(s), backlog) == 0 ? 1 : 0; }

SocketHandle acceptsocket(SocketHandle s, PeerAddr* peer) {
  struct sockaddr_in sa;
  int len = sizeof sa;
  memset(&sa, 0, sizeof sa);
  SOCKET c = accept(sock(s), (struct sockaddr*)&sa, &len);
  if (c == INVALID_SOCKET) return kInvalidSocket;
  u_long on = 1;
  if (ioctlsocket(c, FIONBIO, &on) != 0) {
    ::closesocket(c);
    return kInvalidSocket;
  }
  static_assert(sizeof(sa) == sizeof(PeerAddr));
  memcpy(peer, &sa, sizeof *peer);
  return (SocketHandle)c;
}

// Closing the socket ends a blocked accept() on Windows.
void closelistener(SocketHandle s) { ::closesocket(sock(s)); }

void releaselistener(SocketHandle) {}

// Winsock has no socketpair(): a listener on a loopback port of its own
// takes one connection and is closed again. The accepted socket must be the
// peer of ours, not another local program that raced for the port.
int socketpair(SocketHandle out[2]) {
  started();
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener == INVALID_SOCKET) return 0;
  SOCKET client = INVALID_SOCKET, server = INVALID_SOCKET;
  struct sockaddr_in sa, mine, peer;
  int len = sizeof sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = 0;
  bool ok = bind(listener, (struct sockaddr*)&sa, sizeof sa) == 0 &&
            getsockname(listener, (struct sockaddr*)&sa, &len) == 0 && listen(listener, 1) == 0;
  if (ok) {
    client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ok = client != INVALID_SOCKET && connect(client, (struct sockaddr*)&sa, sizeof sa) == 0;
  }
  if (ok) {
    len = sizeof peer;
    server = accept(listener, (struct sockaddr*)&peer, &len);
    int mylen = sizeof mine;
    ok = server != INVALID_SOCKET &&
         getsockname(client, (struct sockaddr*)&mine, &mylen) == 0 &&
         peer.sin_port == mine.sin_port && peer.sin_addr.s_addr == mine.sin_addr.s_addr;
  }
  int err = ok ? 0 : WSAGetLastError();
  ::closesocket(listener);
  if (!ok) {
    if (server != INVALID_SOCKET) ::closesocket(server);
    if (client != INVALID_SOCKET) ::closesocket(client);
    WSASetLastError(err);
    return 0;
  }
  // Small replies go out at once, as over a local socket pair.
  BOOL on = TRUE;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, (const char*)&on, sizeof on);
  setsockopt(server, IPPROTO_TCP, TCP_NODELAY, (const char*)&on, sizeof on);
  out[0] = (SocketHandle)server;
  out[1] = (SocketHandle)client;
  return 1;
}

long sendsocket(SocketHandle s, const char* data, size_t len) {
  int n = send(sock(s), data, len > 0x7FFFFFFF ? 0x7FFFFFFF : (int)len, 0);
  return n == SOCKET_ERROR ? -1 : (long)n;
}

int waitreadable(SocketHandle s, unsigned long timeout_ms) {
  // A Windows fd_set is a list of sockets, so any socket value fits.
  fd_set set;
  FD_ZERO(&set);
  FD_SET(sock(s), &set);
  struct timeval tv;
  tv.tv_sec = (long)(timeout_ms / 1000);
  tv.tv_usec = (long)((timeout_ms % 1000) * 1000);
  int n = select(0, &set, nullptr, nullptr, &tv);
  return n == SOCKET_ERROR ? -1 : n;
}

long recvsocket(SocketHandle s, char* buf, size_t len) {
  int n = recv(sock(s), buf, len > 0x7FFFFFFF ? 0x7FFFFFFF : (int)len, 0);
  return n == SOCKET_ERROR ? -1 : (long)n;
}

int shutdownsend(SocketHandle s) { return shutdown(sock(s), SD_SEND) == 0 ? 1 : 0; }

int setabortive(SocketHandle s) {
  struct linger l;
  l.l_onoff = 1;
  l.l_linger = 0;
  return setsockopt(sock(s), SOL_SOCKET, SO_LINGER, (const char*)&l, sizeof l) == 0 ? 1 : 0;
}

int setnonblocking(SocketHandle s) {
  u_long on = 1;
  return ioctlsocket(sock(s), FIONBIO, &on) == 0 ? 1 : 0;
}

int wouldblock() { return WSAGetLastError() == WSAEWOULDBLOCK; }

int transientaccepterror(int err) {
  return err == WSAEMFILE || err == WSAENOBUFS || err == WSAECONNRESET ||
         err == WSAECONNABORTED;
}

int peererror(int err) {
  return err == WSAECONNRESET || err == WSAENOTCONN || err == WSAECONNABORTED ||
         err == WSAESHUTDOWN || err == WSAETIMEDOUT || err == WSAEHOSTUNREACH ||
         err == WSAENETUNREACH || err == WSAENETDOWN || err == WSAENETRESET ||
         err == WSAECONNREFUSED;
}

long pendingbytes(SocketHandle s) {
  u_long n = 0;
  return ioctlsocket(sock(s), FIONREAD, &n) == 0 ? (long)n : 0;
}

void localaddress(SocketHandle s, PeerAddr* local) {
  struct sockaddr_in sa;
  int len = sizeof sa;
  memset(&sa, 0, sizeof sa);
  if (getsockname(sock(s), (struct sockaddr*)&sa, &len) != 0 || sa.sin_family != AF_INET)
    memset(&sa, 0, sizeof sa);
  memcpy(local, &sa, sizeof *local);
}

int closesocket(SocketHandle s) { return ::closesocket(sock(s)) == 0 ? 1 : 0; }

int gethostname(char* buf, size_t size) {
  if (size == 0) return 0;
  started();
  if (::gethostname(buf, size > 0x7FFFFFFF ? 0x7FFFFFFF : (int)size) != 0) return 0;
  buf[size - 1] = '\0';
  return 1;
}

// gethostbyname and gethostbyaddr keep their answer per thread in Winsock.
int forwardlookup(const char* name, uint32_t* addr_net) {
  started();
  struct hostent* h = gethostbyname(name);
  if (h == nullptr || h->h_addrtype != AF_INET || h->h_length != 4 || h->h_addr_list == nullptr ||
      h->h_addr_list[0] == nullptr)
    return 0;
  memcpy(addr_net, h->h_addr_list[0], 4);
  return 1;
}

int reverselookup(uint32_t addr_net, char* buf, size_t size) {
  started();
  struct hostent* h = gethostbyaddr((const char*)&addr_net, 4, AF_INET);
  if (h == nullptr || h->h_name == nullptr || h->h_name[0] == '\0') return 0;
  textcopy(buf, size, h->h_name);
  return 1;
}

}  // namespace plat
