// Minimal reference server for the load generator: what an SMTP tempfail
// server costs with nothing else to do. Banner, one line read, the 421,
// close; no logging, no analysis, no limits. One epoll loop per thread, all
// accepting on one listener with exclusive wake-ups.
//
//   refserver <address> <port> [threads, default 2]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

static const char kBanner[] = "220 ref.example ESMTP\r\n";
static const char kTempfail[] =
    "421 4.2.1 Service temporarily unavailable, closing transmission channel.\r\n";

static void serve(int listener) {
  int ep = epoll_create1(0);
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLEXCLUSIVE;
  ev.data.fd = listener;
  epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
  epoll_event evs[64];
  for (;;) {
    int n = epoll_wait(ep, evs, 64, -1);
    for (int i = 0; i < n; i++) {
      int fd = evs[i].data.fd;
      if (fd == listener) {
        for (int k = 0; k < 8; k++) {
          int c = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
          if (c < 0) break;
          send(c, kBanner, sizeof kBanner - 1, MSG_NOSIGNAL);
          epoll_event cev{};
          cev.events = EPOLLIN | EPOLLRDHUP;
          cev.data.fd = c;
          epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
        }
        continue;
      }
      char buf[1024];
      ssize_t r = recv(fd, buf, sizeof buf, 0);
      if (r < 0) continue;
      if (r > 0 && memchr(buf, '\n', (size_t)r) == nullptr) continue;
      if (r > 0) send(fd, kTempfail, sizeof kTempfail - 1, MSG_NOSIGNAL);
      close(fd);
    }
  }
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s <address> <port> [threads]\n", argv[0]);
    return 2;
  }
  int threads = argc > 3 ? atoi(argv[3]) : 2;
  int l = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  int on = 1;
  setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)atoi(argv[2]));
  inet_pton(AF_INET, argv[1], &a.sin_addr);
  if (bind(l, (sockaddr*)&a, sizeof a) != 0 || listen(l, 1024) != 0) {
    perror("refserver");
    return 1;
  }
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; i++) pool.emplace_back(serve, l);
  for (auto& t : pool) t.join();
  return 0;
}
