// Evaluations per second of SpfCheckHost for a typical record (include, a,
// mx, ip4 ranges, -all) against the in-process fake resolver, and the DNS
// queries one check asks. Usage: spf_bench [seconds]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "fakes/fake_resolver.h"
#include "spf/wrenspf.h"

int main(int argc, char** argv) {
  double seconds = argc > 1 ? atof(argv[1]) : 3.0;
  if (seconds <= 0 || seconds > 60) seconds = 3.0;
  FakeResolver fake;
  fake.txt("example.org", {"v=spf1 include:_spf.example.net a mx ip4:198.51.100.0/24 ip4:203.0.113.0/25 -all"});
  fake.txt("_spf.example.net", {"v=spf1 ip4:192.0.2.128/25 ip4:192.0.2.64/27 ~all"});
  fake.a("example.org", 198, 18, 0, 1);
  fake.mx("example.org", 10, "mx1.example.org");
  fake.mx("example.org", 20, "mx2.example.org");
  fake.a("mx1.example.org", 198, 18, 0, 2);
  fake.a("mx2.example.org", 198, 18, 0, 3);
  if (SpfInit(0, 0, 0) != 0) return 1;
  SpfSetBestGuess("v=spf1 a/24 mx/24 ptr ~all", "v=spf1 a -all");

  struct Client {
    uint8_t addr[4];
    const char* what;
  } clients[] = {
      {{203, 0, 113, 9}, "matches the last ip4 (Pass)"},
      {{192, 0, 2, 9}, "matches nothing (Fail)"},
      {{198, 18, 0, 3}, "matches the second MX host (Pass)"},
  };
  for (const Client& c : clients) {
    fake.queries = 0;
    int r = SpfCheckHost(SPF_FAMILY_IPV4, c.addr, "user@example.org", nullptr, "helo.example.org", nullptr, nullptr);
    int perquery = fake.queries;
    long n = 0;
    auto t0 = std::chrono::steady_clock::now();
    double elapsed = 0;
    do {
      for (int i = 0; i < 1000; i++) {
        SpfCheckHost(SPF_FAMILY_IPV4, c.addr, "user@example.org", nullptr, "helo.example.org", nullptr, nullptr);
      }
      n += 1000;
      elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    } while (elapsed < seconds);
    printf("client %-40s %-9s %9.0f checks/s  %d DNS queries/check\n", c.what, SpfResultText(r), n / elapsed,
           perquery);
  }
  SpfCleanup();
  return 0;
}
