// Load generator: tempfail sessions per second against the real binary.
//
//   loadgen <path to nestrap> [seconds per step, default 5]
//
// Starts nestrap from a temporary directory on a free loopback port (once
// with default settings, once with -w 32), then runs closed-loop clients at
// 1, 8, 64 and 512 concurrent connections: connect, read the banner, send
// EHLO, read the 421, wait for the close. Prints sessions/s, p50/p99 session
// latency and the server's peak resident memory. A benchmark, not a test.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

static int freeport() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, (sockaddr*)&a, sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, (sockaddr*)&a, &len);
  close(s);
  return ntohs(a.sin_port);
}

static bool session(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return false;
  timeval tv{30, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = false;
  char buf[1024];
  if (connect(s, (sockaddr*)&a, sizeof a) == 0 && recv(s, buf, sizeof buf, 0) > 0) {
    const char ehlo[] = "EHLO bench.example.org\r\n";
    if (send(s, ehlo, sizeof ehlo - 1, MSG_NOSIGNAL) > 0) {
      ssize_t n = recv(s, buf, sizeof buf, 0);
      ok = n > 3 && memcmp(buf, "421", 3) == 0;
      while (n > 0) n = recv(s, buf, sizeof buf, 0);
    }
  }
  close(s);
  return ok;
}

static long peakrss(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmHWM:", 0) == 0) return atol(line.c_str() + 6);
  return 0;
}

struct Server {
  pid_t pid = -1;
  int port = 0;
  std::string dir;
};

static Server startserver(const char* binary, const std::vector<std::string>& extra) {
  Server sv;
  char tmpl[] = "/tmp/nestrap-bench-XXXXXX";
  sv.dir = mkdtemp(tmpl);
  std::string exe = sv.dir + "/nestrap";
  std::string cmd = "cp '" + std::string(binary) + "' '" + exe + "'";
  if (system(cmd.c_str()) != 0) exit(1);
  // The analysis must not ask the machine's resolver: a closed local port.
  std::ofstream(sv.dir + "/nestrap.ini") << "[DNSinfo]\nNameServer=127.0.0.1:9\n";
  sv.port = freeport();
  std::vector<std::string> args = {exe, "-n", "bench.example", "-i", "127.0.0.1", "-p",
                                   std::to_string(sv.port), "-b", "1024", "-q", "100000", "-v",
                                   "0"};
  args.insert(args.end(), extra.begin(), extra.end());
  sv.pid = fork();
  if (sv.pid == 0) {
    std::vector<char*> argv;
    for (auto& s : args) argv.push_back(s.data());
    argv.push_back(nullptr);
    execv(exe.c_str(), argv.data());
    _exit(127);
  }
  for (int i = 0; i < 500; i++) {  // wait until it listens
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)sv.port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool up = connect(s, (sockaddr*)&a, sizeof a) == 0;
    close(s);
    if (up) break;
    usleep(20000);
  }
  return sv;
}

static void stopserver(Server& sv) {
  kill(sv.pid, SIGTERM);
  int st;
  waitpid(sv.pid, &st, 0);
  std::string cmd = "rm -rf '" + sv.dir + "'";
  if (system(cmd.c_str()) != 0) perror("rm");
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s <nestrap binary> [seconds per step]\n", argv[0]);
    return 2;
  }
  double seconds = argc > 2 ? atof(argv[2]) : 5.0;
  signal(SIGPIPE, SIG_IGN);
  const std::vector<std::vector<std::string>> configs = {{}, {"-w", "32"}};
  printf("%-10s %8s %12s %10s %10s %8s %14s\n", "settings", "clients", "sessions/s", "p50 ms",
         "p99 ms", "failed", "peak RSS KiB");
  for (const auto& extra : configs) {
    Server sv = startserver(argv[1], extra);
    for (int clients : {1, 8, 64, 512}) {
      std::atomic<bool> stop{false};
      std::atomic<long> failed{0};
      std::mutex mu;
      std::vector<double> latencies;
      std::vector<std::thread> threads;
      auto begin = Clock::now();
      for (int c = 0; c < clients; c++)
        threads.emplace_back([&] {
          std::vector<double> mine;
          while (!stop.load()) {
            auto t0 = Clock::now();
            if (session(sv.port))
              mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            else
              failed++;
          }
          std::lock_guard<std::mutex> g(mu);
          latencies.insert(latencies.end(), mine.begin(), mine.end());
        });
      std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
      stop = true;
      for (auto& t : threads) t.join();
      double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
      std::sort(latencies.begin(), latencies.end());
      auto pct = [&](double p) {
        return latencies.empty() ? 0.0 : latencies[(size_t)(p * (latencies.size() - 1))];
      };
      printf("%-10s %8d %12.0f %10.2f %10.2f %8ld %14ld\n", extra.empty() ? "default" : "-w 32",
             clients, latencies.size() / elapsed, pct(0.50), pct(0.99), failed.load(),
             peakrss(sv.pid));
      fflush(stdout);
    }
    stopserver(sv);
  }
  return 0;
}
