// Load generator: tempfail sessions per second against the real binary, side
// by side with Postfix's smtp-sink answering EHLO with the same 421 and with
// a minimal epoll server (refserver.cc) that does nothing else.
//
//   loadgen <path to nestrap> [seconds per step, default 5] [smtp-sink, default
//           /usr/sbin/smtp-sink when present; "-" for none] [runs, default "cli":
//           c concurrency, l lingering, i idle, o metrics page and syslog
//           socket on against off, j the same with the journal,
//           J JSON lines] [refserver, default beside loadgen; "-" for none]
//           [an earlier nestrap binary, run as "before" after each nestrap run]
//
// Run as root, it first moves into a network namespace of its own, makes
// 10.64.0.0/20 local there and spreads its clients over 4,000 of those
// source addresses, as real traffic comes (one source address makes every
// server pay for ephemeral-port reuse); a DNS server in the namespace
// (nsd, or tools/dnsserver.py) answers nestrap's analysis. Otherwise every client
// comes from 127.0.0.1 and nestrap's DNS questions go to a closed port.
//
// Starts each server on a free loopback port (nestrap from a temporary
// directory with default settings and -b 1024), then:
// - closed-loop clients at 1, 8, 64 and 512 concurrent connections, after
//   one unmeasured session from each source address: connect,
//   read the banner, send EHLO, read the 421, close. Prints sessions/s,
//   p50/p99 session latency, the server's peak resident memory, its CPU
//   time per session (counted until its lines are written) and the context
//   switches of all its threads per session (each blocking wait costs one);
// - a lingering run: 20 connections/s for 20 s, every other one sends EHLO
//   and then neither reads nor closes; the others are timed to their banner;
// - an idle run: 10,000 connections held silent (nestrap with MaxSessions
//   10000) while 200 new clients are timed to their banner;
// - a JSON-lines run: the closed-loop steps against nestrap without and with
//   [Logging] JsonLines=1 (each connection also written as JSON), twice.
// A benchmark, not a test: nothing is asserted.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <initializer_list>
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

constexpr char kTempfail[] =
    "421 4.2.1 Service temporarily unavailable, closing transmission channel.";

static double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Source addresses the clients take in turn (0: the kernel's choice).
constexpr int kSources = 4000;
static bool spread = false;
static std::atomic<unsigned> nextsource{0};

static int connectto(int port, int timeout_s) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return -1;
  timeval tv{timeout_s, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (spread) {
    unsigned i = nextsource.fetch_add(1) % kSources + 1;
    int on = 1;
    setsockopt(s, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    sockaddr_in src{};
    src.sin_family = AF_INET;
    src.sin_addr.s_addr = htonl((10u << 24) | (64u << 16) | i);
    if (bind(s, (sockaddr*)&src, sizeof src) != 0) {
      close(s);
      return -1;
    }
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, (sockaddr*)&a, sizeof a) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// Reads up to the end of a line (the banner: nothing follows it before the
// client speaks); false on time-out, reset or close. Whole reads, as a mail
// client makes: a byte at a time would charge a server for its banner's
// length, one system call a byte.
static bool readline(int s) {
  char buf[512];
  for (;;) {
    ssize_t n = recv(s, buf, sizeof buf, 0);
    if (n <= 0) return false;
    if (memchr(buf, '\n', (size_t)n) != nullptr) return true;
  }
}

// One well-behaved tempfail session; *banner_ms gets the time to the banner.
static bool session(int port, double* banner_ms = nullptr) {
  auto t0 = Clock::now();
  int s = connectto(port, 30);
  if (s < 0) return false;
  bool ok = false;
  if (readline(s)) {
    if (banner_ms) *banner_ms = ms(Clock::now() - t0);
    const char ehlo[] = "EHLO bench.example.org\r\n";
    char buf[1024];
    if (send(s, ehlo, sizeof ehlo - 1, MSG_NOSIGNAL) > 0) {
      ssize_t n = recv(s, buf, sizeof buf, 0);
      ok = n > 3 && memcmp(buf, "421", 3) == 0;
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
  std::string name;
  pid_t pid = -1;
  int port = 0;
  std::string dir;  // nestrap's directory (settings, logs); empty for the others
};

// Port of the DNS server in the namespace (0: none).
static int dnsport = 0;
static pid_t dnspid = -1;

static pid_t spawn(std::vector<std::string> args) {
  pid_t pid = fork();
  if (pid == 0) {
    // The servers' own diagnostics would drown the figures.
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

static void waitlistening(int port) {
  for (int i = 0; i < 500; i++) {
    int s = connectto(port, 1);
    if (s >= 0) {
      close(s);
      return;
    }
    usleep(20000);
  }
}

static Server startnestrap(const char* binary, const std::string& ini,
                           const std::vector<std::string>& extra) {
  Server sv;
  sv.name = "nestrap";
  char tmpl[] = "/tmp/nestrap-bench-XXXXXX";
  sv.dir = mkdtemp(tmpl);
  std::string exe = sv.dir + "/nestrap";
  std::filesystem::copy_file(binary, exe);
  std::filesystem::permissions(exe, std::filesystem::perms::owner_all);
  // The analysis must not ask the machine's resolver: the namespace's DNS
  // server, or a closed local port.
  std::ofstream(sv.dir + "/nestrap.ini")
      << "[DNSinfo]\nNameServer=127.0.0.1:" << (dnsport ? dnsport : 9) << "\n" << ini;
  sv.port = freeport();
  std::vector<std::string> args = {exe, "-n", "bench.example", "-i", "127.0.0.1", "-p",
                                   std::to_string(sv.port), "-b", "1024"};
  args.insert(args.end(), extra.begin(), extra.end());
  sv.pid = spawn(args);
  waitlistening(sv.port);
  return sv;
}

// Connection lines the nestrap under test wrote so far.
static long connectionlines(const Server& sv);

// The probe connection of waitlistening is logged too: counts start after it.
static void settle(const Server& sv) {
  for (int i = 0; i < 100 && connectionlines(sv) < 1; i++) usleep(100000);
}

static Server startsink(const std::string& binary) {
  Server sv;
  sv.name = "smtp-sink";
  sv.port = freeport();
  sv.pid = spawn({binary, "-r", "ehlo,helo", "-b", kTempfail, "-m", "20000", "-u", "nobody",
                  "127.0.0.1:" + std::to_string(sv.port), "1024"});
  waitlistening(sv.port);
  return sv;
}

static Server startref(const std::string& binary) {
  Server sv;
  sv.name = "reference";
  sv.port = freeport();
  sv.pid = spawn({binary, "127.0.0.1", std::to_string(sv.port), "2"});
  waitlistening(sv.port);
  return sv;
}

// Moves into a network namespace of its own with 10.64.0.0/20 local on lo
// and a DNS server for nestrap's analysis: Debian's nsd when installed (see
// benchzones.py), else the Python test server. Returns false when not possible.
static bool privatenet(const char* nestrap) {
  if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) return false;
  if (system("ip link set lo up && ip route add local 10.64.0.0/20 dev lo") != 0) return false;
  std::string zones = "/tmp/loadgen-zones.json";
  // Every client has a name that leads back to it; the lists answer NXDOMAIN.
  std::ofstream(zones) << R"({"default": "nxdomain", "names": {)"
                       << R"("*.64.10.in-addr.arpa": {"PTR": ["mx.bench.test"]},)"
                       << R"("mx.bench.test": {"A": ["10.64.0.1"]}}})";
  bool nsd = access("/usr/sbin/nsd", X_OK) == 0;
  printf("DNS answered by %s\n", nsd ? "nsd" : "tools/dnsserver.py");
  int out[2];
  if (pipe(out) != 0) return false;
  dnspid = fork();
  if (dnspid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    std::string src = NESTRAP_SOURCE_DIR;
    if (nsd)
      execl("/usr/bin/python3", "python3", (src + "/bench/benchzones.py").c_str(), nestrap,
            (char*)nullptr);
    else
      execl("/usr/bin/python3", "python3", (src + "/tools/dnsserver.py").c_str(), "--zones",
            zones.c_str(), (char*)nullptr);
    _exit(127);
  }
  close(out[1]);
  FILE* p = fdopen(out[0], "r");
  char line[64];
  return p != nullptr && fgets(line, sizeof line, p) != nullptr &&
         sscanf(line, "PORT %d", &dnsport) == 1;
}

static void stopserver(Server& sv) {
  kill(sv.pid, SIGTERM);
  int st;
  waitpid(sv.pid, &st, 0);
  if (!sv.dir.empty()) std::filesystem::remove_all(sv.dir);
}

static long connectionlines(const Server& sv) {
  long n = 0;
  if (sv.dir.empty()) return -1;
  for (const auto& e : std::filesystem::directory_iterator(sv.dir)) {
    // The dated files; ipinfo.log is a second name of today's.
    if (e.path().filename().string().rfind("ipinfo", 0) != 0 || e.is_symlink()) continue;
    std::ifstream f(e.path());
    std::string line;
    while (std::getline(f, line)) n++;
  }
  return n;
}

static double pct(std::vector<double>& v, double p) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[(size_t)(p * (double)(v.size() - 1))];
}

// The clients share the machine's cores with the server they measure; a
// real decoy's clients run elsewhere. They run at the lowest priority, so
// that every server (nestrap lowers its own threads to nice 5 and 6 by
// design, smtp-sink and the reference stay at 0) has the cores first.
static void yieldtoservers() { setpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid), 19); }

// CPU seconds (user + system) the process used so far.
static double cpuseconds(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  unsigned long ut = 0, st = 0;
  size_t paren = s.rfind(')');
  if (paren != std::string::npos)
    sscanf(s.c_str() + paren + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st);
  return (double)(ut + st) / (double)sysconf(_SC_CLK_TCK);
}

// Context switches (voluntary and not) of all the process's threads so far.
static double switches(pid_t pid) {
  double n = 0;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    std::ifstream f(e.path() / "status");
    std::string line;
    while (std::getline(f, line))
      if (line.find("ctxt_switches:") != std::string::npos)
        n += atof(line.c_str() + line.find(':') + 1);
  }
  return n;
}

// Until the server's lines stop growing: what a step costs includes the
// analysis and the writing of its lines.
static void quiesce(const Server& sv) {
  if (sv.dir.empty()) return;
  long last = -1;
  for (int i = 0; i < 150; i++) {
    long n = connectionlines(sv);
    if (n == last) return;
    last = n;
    usleep(200000);
  }
}

// One unmeasured session from each source address, for every server alike:
// the steps then see what returning clients see (nestrap's answer cache
// holds their answers) rather than the first visit of each address.
static void warmup(Server& sv) {
  std::atomic<int> left{kSources};
  std::vector<std::thread> threads;
  for (int c = 0; c < 8; c++)
    threads.emplace_back([&] {
      while (left.fetch_sub(1) > 0) session(sv.port);
    });
  for (auto& t : threads) t.join();
  quiesce(sv);
}

// Returns the sessions/s of the last step.
static double concurrency(Server& sv, double seconds,
                          std::initializer_list<int> steps = {1, 8, 64, 512}) {
  double rate = 0;
  for (int clients : steps) {
    std::atomic<bool> stop{false};
    std::atomic<long> failed{0};
    std::mutex mu;
    std::vector<double> latencies;
    std::vector<std::thread> threads;
    double cpu0 = cpuseconds(sv.pid);
    double sw0 = switches(sv.pid);
    auto begin = Clock::now();
    for (int c = 0; c < clients; c++)
      threads.emplace_back([&] {
        yieldtoservers();
        std::vector<double> mine;
        while (!stop.load()) {
          auto t0 = Clock::now();
          if (session(sv.port))
            mine.push_back(ms(Clock::now() - t0));
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
    rate = (double)latencies.size() / elapsed;
    quiesce(sv);
    double cpu = (cpuseconds(sv.pid) - cpu0) * 1e6 / (double)std::max<size_t>(1, latencies.size());
    double sw = (switches(sv.pid) - sw0) / (double)std::max<size_t>(1, latencies.size());
    printf("%-10s %8d %12.0f %10.2f %10.2f %8ld %14ld %10.0f %6.1f\n", sv.name.c_str(), clients, rate,
           pct(latencies, 0.50), pct(latencies, 0.99), failed.load(), peakrss(sv.pid), cpu, sw);
    fflush(stdout);
  }
  return rate;
}

// 20 connections/s for 20 s; every other one lingers after EHLO.
static void lingering(Server& sv) {
  constexpr int kRate = 20, kSeconds = 20;
  if (!sv.dir.empty()) settle(sv);
  long lines0 = connectionlines(sv);
  std::mutex mu;
  std::vector<double> banners;
  std::atomic<long> served{0}, lost{0};
  std::vector<std::thread> threads;
  std::vector<int> held;
  auto begin = Clock::now();
  for (int i = 0; i < kRate * kSeconds; i++) {
    std::this_thread::sleep_until(begin + std::chrono::milliseconds(1000 * i / kRate));
    if (i % 2 == 0) {
      int s = connectto(sv.port, 30);
      const char ehlo[] = "EHLO linger.example.org\r\n";
      if (s >= 0 && send(s, ehlo, sizeof ehlo - 1, MSG_NOSIGNAL) > 0) {
        std::lock_guard<std::mutex> g(mu);
        held.push_back(s);
      } else if (s >= 0) {
        close(s);
      }
      continue;
    }
    threads.emplace_back([&] {
      double b = 0;
      bool ok = session(sv.port, &b);
      std::lock_guard<std::mutex> g(mu);
      if (ok) {
        served++;
        banners.push_back(b);
      } else {
        lost++;
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int s : held) close(s);
  long total = kRate * kSeconds;
  long lines = -1;
  if (lines0 >= 0) {
    for (int i = 0; i < 600 && connectionlines(sv) - lines0 < total; i++) usleep(100000);
    lines = connectionlines(sv) - lines0;
  }
  printf("%-10s lingering: %ld/%ld well-behaved served, banner p50 %.2f ms p99 %.2f ms, "
         "%ld of %ld connections logged, peak RSS %ld KiB\n",
         sv.name.c_str(), served.load(), served.load() + lost.load(), pct(banners, 0.50),
         pct(banners, 0.99), lines, total, peakrss(sv.pid));
  fflush(stdout);
}

// 10,000 silent connections held while 200 new clients come one by one.
static void idle(Server& sv) {
  constexpr int kIdle = 10000, kProbes = 200;
  std::vector<int> held;
  for (int i = 0; i < kIdle; i++) {
    int s = connectto(sv.port, 30);
    if (s < 0) break;
    held.push_back(s);
  }
  long bannered = 0;
  for (int s : held) bannered += readline(s) ? 1 : 0;
  std::vector<double> banners;
  for (int i = 0; i < kProbes; i++) {
    double b = 0;
    if (session(sv.port, &b)) banners.push_back(b);
  }
  printf("%-10s idle: %ld of %d held with their banner, %zu/%d new clients served, banner p50 "
         "%.2f ms p99 %.2f ms, peak RSS %ld KiB\n",
         sv.name.c_str(), bannered, kIdle, banners.size(), kProbes, pct(banners, 0.50),
         pct(banners, 0.99), peakrss(sv.pid));
  fflush(stdout);
  for (int s : held) close(s);
}


// The metrics page, read over HTTP/1.0.
static std::string scrape(int port) {
  std::string page;
  int s = connectto(port, 5);
  const char req[] = "GET /metrics HTTP/1.0\r\n\r\n";
  char buf[65536];
  ssize_t got;
  if (s >= 0 && send(s, req, sizeof req - 1, 0) > 0)
    while ((got = recv(s, buf, sizeof buf, 0)) > 0) page.append(buf, (size_t)got);
  if (s >= 0) close(s);
  return page;
}

// The metrics page and the system log, on against off: 64 clients against
// a plain server and one that serves the page (scraped every second) and
// sends every line to a syslog socket that this program drains (or, with
// `journal`, to the journal), alternately and twice each. Prints the
// datagrams received.
constexpr int kOutputRounds = 3;
static void outputs(const char* binary, double seconds, bool journal) {
  std::string sock = "/tmp/nestrap-bench-syslog-" + std::to_string(getpid());
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", sock.c_str());
  unlink(sock.c_str());
  if (fd < 0 || bind(fd, (sockaddr*)&a, sizeof a) != 0) {
    perror("syslog socket");
    return;
  }
  timeval tv = {0, 100000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::atomic<bool> stop{false};
  std::atomic<long> received{0};
  std::thread drain([&] {
    char buf[65536];
    while (!stop.load())
      if (recv(fd, buf, sizeof buf, 0) > 0) received++;
  });
  int mport = freeport();
  double total[2] = {0, 0};
  for (int round = 0; round < kOutputRounds; round++) {
    for (bool on : {false, true}) {
      std::string ini = on ? "[Metrics]\nListen=127.0.0.1:" + std::to_string(mport) +
                                 "\n[Logging]\nSystemLog=" + (journal ? "1" : sock) + "\n"
                           : "";
      Server n = startnestrap(binary, ini, {});
      n.name = on ? "outputs" : "plain";
      std::atomic<bool> done{false};
      std::string page;
      std::thread scraper([&] {
        while (on && !done.load()) {
          page = scrape(mport);
          for (int i = 0; i < 10 && !done.load(); i++) usleep(100000);
        }
      });
      settle(n);
      double cpu = cpuseconds(n.pid);
      total[on] += concurrency(n, seconds, {64});
      printf("# %s: %.2f CPU s\n", n.name.c_str(), cpuseconds(n.pid) - cpu);
      done = true;
      scraper.join();
      if (on) {
        usleep(500000);
        page = scrape(mport);
        for (const char* m : {"nestrap_log_lines_written_total{log=\"system\"}",
                              "nestrap_log_lines_lost_total{log=\"system\"}"}) {
          size_t at = page.find(m);
          std::string v = "?";
          if (at != std::string::npos) {
            size_t from = at + strlen(m) + 1;
            v = page.substr(from, page.find('\n', from) - from);
          }
          printf("# %s %s\n", m, v.c_str());
        }
      }
      stopserver(n);
    }
  }
  stop = true;
  drain.join();
  close(fd);
  unlink(sock.c_str());
  printf("# system log datagrams received: %ld\n", received.load());
  printf("# sessions with the outputs on, of those without, over all rounds: %.1f%%\n",
         100.0 * total[1] / total[0]);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s <nestrap binary> [seconds per step] [smtp-sink binary]\n",
            argv[0]);
    return 2;
  }
  double seconds = argc > 2 ? atof(argv[2]) : 5.0;
  std::string sink = argc > 3 ? argv[3] : "/usr/sbin/smtp-sink";
  bool havesink = access(sink.c_str(), X_OK) == 0;
  std::string runs = argc > 4 ? argv[4] : "cli";
  std::string ref = argc > 5 ? argv[5] : std::filesystem::path(argv[0]).parent_path() / "refserver";
  bool haveref = access(ref.c_str(), X_OK) == 0;
  const char* before = argc > 6 ? argv[6] : nullptr;
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  spread = privatenet(argv[1]);
  printf("clients from %s\n", spread ? "4,000 addresses in a private namespace, DNS answered"
                                      : "127.0.0.1, DNS to a closed port");
  // The idle run holds ten thousand connections on each side.
  rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  printf("%-10s %8s %12s %10s %10s %8s %14s %10s %6s\n", "server", "clients", "sessions/s",
         "p50 ms", "p99 ms", "failed", "peak RSS KiB", "CPU us/s.", "cs/s.");
  struct Run {
    char key;
    void (*run)(Server&);
    const char* ini;
    std::vector<std::string> args;
  };
  static double step;
  step = seconds;
  const Run all[] = {
      {'c', [](Server& sv) { warmup(sv); concurrency(sv, step); }, "", {}},
      {'l', lingering, "", {}},
      {'i', idle, "[Process]\nMaxSessions=10200\n", {"-r", "600000"}},
  };
  if (runs.find('o') != std::string::npos) outputs(argv[1], seconds, false);
  if (runs.find('j') != std::string::npos) outputs(argv[1], seconds, true);
  if (runs.find('J') != std::string::npos) {
    // Twice each, alternating, so that a busy machine weighs on both alike.
    // Every client comes from 127.0.0.1: no per-address limit.
    const std::string plain = "[Process]\nMaxSessionsPerAddress=0\n";
    const std::string json = plain + "[Logging]\nJsonLines=1\n";
    for (const std::string* ini : {&plain, &json, &plain, &json}) {
      Server n = startnestrap(argv[1], *ini, {});
      if (ini == &json) n.name = "nestrap+json";
      concurrency(n, seconds);
      stopserver(n);
    }
  }
  for (const Run& r : all) {
    if (runs.find(r.key) == std::string::npos) continue;
    Server n = startnestrap(argv[1], r.ini, r.args);
    r.run(n);
    stopserver(n);
    if (before != nullptr) {
      Server b = startnestrap(before, r.ini, r.args);
      b.name = "before";
      r.run(b);
      stopserver(b);
    }
    if (havesink) {
      Server s = startsink(sink);
      r.run(s);
      stopserver(s);
    }
    if (haveref && r.key == 'c') {
      Server s = startref(ref);
      r.run(s);
      stopserver(s);
    }
  }
  if (dnspid > 0) kill(dnspid, SIGTERM);
  return 0;
}
