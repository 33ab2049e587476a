// DNS latency shim for the analysis benchmark: a UDP forwarder that holds
// every query for a fixed delay before passing it to the upstream server,
// and hands the answer back to the asker. Counts the queries it forwarded.
//
//   dnsdelay <listen port> <upstream port> <delay ms>
//
// Both on 127.0.0.1. Prints "READY" once listening and "QUERIES n" when
// terminated (SIGTERM or SIGINT).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Held {
  Clock::time_point due;
  std::vector<uint8_t> packet;
  sockaddr_in from;
};

struct Asker {
  sockaddr_in from;
  uint16_t id;
};

volatile sig_atomic_t g_stop = 0;
void onsignal(int) { g_stop = 1; }

int udpsocket(uint16_t port) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  int big = 4 << 20;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (port != 0 && bind(s, (sockaddr*)&a, sizeof a) != 0) {
    perror("bind");
    exit(1);
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: dnsdelay <listen port> <upstream port> <delay ms>\n");
    return 2;
  }
  int listen = udpsocket((uint16_t)atoi(argv[1]));
  int upstream = udpsocket(0);
  sockaddr_in up{};
  up.sin_family = AF_INET;
  up.sin_port = htons((uint16_t)atoi(argv[2]));
  up.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  auto delay = std::chrono::milliseconds(atoi(argv[3]));
  signal(SIGTERM, onsignal);
  signal(SIGINT, onsignal);
  printf("READY\n");
  fflush(stdout);

  std::deque<Held> held;  // in arrival order, hence in order of due time
  std::unordered_map<uint16_t, Asker> askers;
  uint16_t nextid = 1;
  unsigned long queries = 0;
  uint8_t buf[65536];
  while (!g_stop) {
    int timeout = 100;
    if (!held.empty()) {
      auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(held.front().due - Clock::now());
      timeout = wait.count() < 0 ? 0 : (int)wait.count();
    }
    pollfd fds[2] = {{listen, POLLIN, 0}, {upstream, POLLIN, 0}};
    poll(fds, 2, timeout);
    if (fds[0].revents & POLLIN) {
      for (;;) {
        Held h;
        socklen_t len = sizeof h.from;
        ssize_t n = recvfrom(listen, buf, sizeof buf, MSG_DONTWAIT, (sockaddr*)&h.from, &len);
        if (n < 12) break;
        h.packet.assign(buf, buf + n);
        h.due = Clock::now() + delay;
        held.push_back(std::move(h));
      }
    }
    while (!held.empty() && held.front().due <= Clock::now()) {
      Held& h = held.front();
      uint16_t id = nextid++;
      if (nextid == 0) nextid = 1;
      askers[id] = Asker{h.from, (uint16_t)((h.packet[0] << 8) | h.packet[1])};
      h.packet[0] = (uint8_t)(id >> 8);
      h.packet[1] = (uint8_t)(id & 0xFF);
      sendto(upstream, h.packet.data(), h.packet.size(), 0, (sockaddr*)&up, sizeof up);
      queries++;
      held.pop_front();
    }
    if (fds[1].revents & POLLIN) {
      for (;;) {
        ssize_t n = recv(upstream, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 12) break;
        uint16_t id = (uint16_t)((buf[0] << 8) | buf[1]);
        auto it = askers.find(id);
        if (it == askers.end()) continue;
        buf[0] = (uint8_t)(it->second.id >> 8);
        buf[1] = (uint8_t)(it->second.id & 0xFF);
        sendto(listen, buf, (size_t)n, 0, (sockaddr*)&it->second.from, sizeof it->second.from);
        askers.erase(it);
      }
    }
  }
  printf("QUERIES %lu\n", queries);
  return 0;
}
