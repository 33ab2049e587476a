// Socket operations over the platform's socket layer. Failures leave the
// reason as the last error (error.h).
#pragma once
#include <cstddef>
#include <cstdint>

#include "base/types.h"

namespace plat {

// Starts the socket layer (Windows Sockets 2.2 where there is one). Returns 1
// on success.
int socketstartup();

// Classic inet_addr(): 1 to 4 parts, decimal, octal or hex; all ones on error.
uint32_t inetaddr(const char* text);
// 1 when text is an IPv4 address in that notation and not the all-ones
// address (which inetaddr cannot tell from an error).
inline int isipaddr(const char* text) {
  return text != nullptr && *text != '\0' && inetaddr(text) != 0xFFFFFFFFu ? 1 : 0;
}
// Dotted-quad text of an address in network order.
void inetntoa(uint32_t addr_net, char* buf, size_t size);

// Creates an IPv4 stream socket; kInvalidSocket on failure.
SocketHandle tcpsocket();
// Binds to addr (network order, 0 = any) and port. Returns 1 on success.
// POSIX: rebinding over connections in TIME_WAIT is allowed (a restart binds
// at once); a port another socket listens on still fails. Windows keeps its
// default binding rules.
int bindsocket(SocketHandle s, uint32_t addr_net, uint16_t port);
int listensocket(SocketHandle s, int backlog);
// Accepts one connection, non-blocking (as every session uses it); fills
// peer. kInvalidSocket on failure.
SocketHandle acceptsocket(SocketHandle s, PeerAddr* peer);
// Stops the listening socket: blocked accepts and the pollers that watch it
// wake, and no connection is accepted any more. POSIX keeps the descriptor
// until releaselistener, so that a thread still watching it never meets the
// number reused for another file; Windows closes it here.
void closelistener(SocketHandle s);
// Closes what closelistener left open. REQUIRES: no thread uses s any more.
void releaselistener(SocketHandle s);
// Creates two connected stream sockets, for talking to code that writes to a
// socket from the same process. Returns 1 on success.
int socketpair(SocketHandle out[2]);

// Sends once (never raises SIGPIPE). Returns bytes sent, or -1.
long sendsocket(SocketHandle s, const char* data, size_t len);
// Waits until readable. Returns > 0 readable, 0 time-out, < 0 error.
int waitreadable(SocketHandle s, unsigned long timeout_ms);
// Receives once. Returns bytes, 0 on orderly close, -1 on error.
long recvsocket(SocketHandle s, char* buf, size_t len);
// Shuts down the sending direction. Returns 1 on success.
int shutdownsend(SocketHandle s);
// Sets linger {on, 0} so that closing resets the connection. Returns 1 on success.
int setabortive(SocketHandle s);
// Makes s non-blocking. Returns 1 on success.
int setnonblocking(SocketHandle s);
// 1 when the last socket call failed only because it would have blocked.
int wouldblock();
// 1 when `err`, the last error of a failed acceptsocket(), is weather: a passing shortage of
// descriptors, buffers or memory, or a connection gone before it was taken.
int transientaccepterror(int err);
// 1 when `err`, the last error of a socket call on a client's connection, is
// the client's doing (it reset or left the connection): not the server's fault.
int peererror(int err);
// Bytes that wait to be read on s (0 also when that cannot be told).
long pendingbytes(SocketHandle s);
// The local address and port of a connected socket (zeroed on failure).
void localaddress(SocketHandle s, PeerAddr* local);
// Closes the socket. Returns 1 on success.
int closesocket(SocketHandle s);

// Host name of this machine. Returns 1 on success.
int gethostname(char* buf, size_t size);
// First IPv4 address of a host name (network order). Returns 1 on success.
int forwardlookup(const char* name, uint32_t* addr_net);
// Official name of an IPv4 address. Returns 1 when a non-empty name was found.
int reverselookup(uint32_t addr_net, char* buf, size_t size);

}  // namespace plat
