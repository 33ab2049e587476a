// Connection analysis throughput: feeds finished records through checkconn
// against tools/dnsserver.py on loopback, with the default list files, and
// prints records per second and DNS queries per record.
//
// Usage: analysis_bench [records] [latency-ms]      (defaults: 200, 0)
// Run from anywhere; it works in a temporary directory of its own.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "analysis/checkconn.h"
#include "analysis/lists.h"
#include "dns/nameservers.h"
#include "dns/resolver.h"
#include "common/settings.h"
#include "base/textbuf.h"
#include "spf/wrenspf.h"

extern char** environ;

namespace {

// Counts the queries on their way to the system resolver.
class CountingResolver : public dns::Resolver {
 public:
  explicit CountingResolver(dns::Resolver* next) : next_(next) {}
  int Query(const char* name, uint16_t type, unsigned options, dns::RecordList* out) override {
    queries++;
    return next_->Query(name, type, options, out);
  }
  std::atomic<long> queries{0};

 private:
  dns::Resolver* next_;
};

// Client i: 198.51.100.0/24 and 203.0.113.0/24 alternately.
std::string clientip(int i) {
  return std::string(i % 2 ? "203.0.113." : "198.51.100.") + std::to_string(1 + (i / 2) % 250);
}

std::string rev(const std::string& ip) {
  unsigned a, b, c, d;
  sscanf(ip.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
  return std::to_string(d) + "." + std::to_string(c) + "." + std::to_string(b) + "." + std::to_string(a);
}

// Zone data: every client has a PTR, an origin and a SenderBase answer, and
// greets with its PTR name; nothing is listed, so every list zone is asked.
std::string zones() {
  std::string z = "{\"names\": {\n";
  z += "\"test\": {\"NS\": [\"ns.test\"]},\n\"example.test\": {\"NS\": [\"ns.example.test\"]},\n";
  z += "\"as64500.asn.test\": {\"TXT\": [[\"64500 | NL | ripencc | 2001 | EXAMPLE-AS Example, NL\"]]},\n";
  for (int i = 0; i < 500; i++) {
    std::string ip = clientip(i), r = rev(ip);
    std::string host = "h";
    host += std::to_string(i);
    host += ".example.test";
    z += "\"" + r + ".in-addr.arpa\": {\"PTR\": [\"" + host + "\"]},\n";
    z += "\"" + host + "\": {\"A\": [\"" + ip + "\"]},\n";
    z += "\"" + r + ".origin.test\": {\"TXT\": [[\"64500 | " + ip + "/24 | NL | ripencc | 2001\"]]},\n";
    z += "\"" + r + ".sb.test\": {\"TXT\": [[\"0-1=Example\", \"1-53=NL\", \"2-54=1.2\"]]},\n";
  }
  z += "\"end.test\": {}\n}}\n";
  return z;
}

pid_t startserver(const std::string& dir, int latency, int* port) {
  std::string zonefile = dir + "/zones.json";
  std::ofstream(zonefile) << zones();
  std::string script = std::string(NESTRAP_SOURCE_DIR) + "/tools/dnsserver.py";
  std::string lat = std::to_string(latency);
  int fds[2];
  if (pipe(fds) != 0) return -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_addclose(&fa, fds[0]);
  const char* argv[] = {"/usr/bin/python3", script.c_str(), "--zones", zonefile.c_str(),
                        "--latency", lat.c_str(), nullptr};
  pid_t pid;
  int rc = posix_spawn(&pid, argv[0], &fa, nullptr, (char* const*)argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  if (rc != 0) return -1;
  FILE* f = fdopen(fds[0], "r");
  char line[64] = "";
  if (!fgets(line, sizeof line, f) || sscanf(line, "PORT %d", port) != 1) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
  fclose(f);
  return pid;
}

}  // namespace

int main(int argc, char** argv) {
  int records = argc > 1 ? atoi(argv[1]) : 200;
  int latency = argc > 2 ? atoi(argv[2]) : 0;
  if (records <= 0 || latency < 0) {
    fprintf(stderr, "usage: %s [records] [latency-ms]\n", argv[0]);
    return 1;
  }
  char dir[] = "/tmp/nestrap-bench-XXXXXX";
  if (!mkdtemp(dir) || chdir(dir) != 0) return 1;

  int port = 0;
  pid_t server = startserver(dir, latency, &port);
  if (server < 0) {
    fprintf(stderr, "cannot start tools/dnsserver.py\n");
    return 1;
  }

  setdefaults();
  textcopy(settings.LogPath, dir);
  settings.LogLevel = 0;
  textcopy(settings.HostName, "decoy.example.test");
  textcopy(settings.CYMRU_ORG, "origin.test");
  textcopy(settings.CYMRU_ASN, "asn.test");
  textcopy(settings.SB_SUFFIX, "sb.test");
  settings.QuerySenderBase = 1;
  dns::setnameservers(("127.0.0.1:" + std::to_string(port)).c_str());
  CountingResolver counting(&dns::resolver());
  dns::setresolver(&counting);
  SpfInit(0, 0, 0);
  SpfSetLocalHost(settings.HostName);
  SpfSetBestGuess(settings.BestGuess, settings.FallBack);
  loadalllists();  // writes the default files into the empty directory

  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < records; i++) {
    ConnectionRecord r;
    memset(&r, 0, sizeof r);
    r.conn_time = {2024, 1, 1, 1, 12, 0, 0, 0};
    textcopy(r.thread_tag, "[0001-0001]");
    std::string ip = clientip(i);
    textcopy(r.client_ip, ip.c_str());
    textcopy(r.helo, ("h" + std::to_string(i % 500) + ".example.test").c_str());
    checkconn(&r);
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  printf("records: %d, added latency: %d ms\n", records, latency);
  printf("records per second: %.1f\n", records / secs);
  printf("ms per record: %.2f\n", 1000.0 * secs / records);
  printf("DNS queries per record: %.1f\n", (double)counting.queries.load() / records);

  dns::setresolver(nullptr);
  freealllists();
  SpfCleanup();
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  std::system((std::string("rm -rf ") + dir).c_str());
  return 0;
}
