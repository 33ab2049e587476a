// The analysis pipeline against one scripted DNS world: the concurrent
// pipeline writes byte for byte the file of the one-at-a-time reference
// analysis, and the backlog cap logs every record, in order.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/lists.h"
#include "analysis/recordmemo.h"
#include "dns/cache.h"
#include "fakes/fake_resolver.h"
#include "fakes/lists.h"
#include "server/pipeline.h"
#include "common/settings.h"
#include "base/textbuf.h"
#include "spf/wrenspf.h"
#include "util/temp_dir.h"
#include "util/timezone.h"

namespace {

// Answers after a short pause that varies by name, so that analyses
// finish out of order.
class SlowFake : public FakeResolver {
 public:
  int Query(const char* name, uint16_t type, unsigned o, dns::RecordList* out) override {
    std::this_thread::sleep_for(std::chrono::microseconds(50 + (strlen(name) * 37) % 400));
    return FakeResolver::Query(name, type, o, out);
  }
  // Negative answers may be kept, as a server's SOA allows.
  void QueryBatch(dns::Lookup* items, size_t count) override {
    FakeResolver::QueryBatch(items, count);
    for (size_t i = 0; i < count; i++) items[i].negttl = 300;
  }
};

std::string rev(int a, int b, int c, int d) {
  return std::to_string(d) + "." + std::to_string(c) + "." + std::to_string(b) + "." + std::to_string(a);
}

struct World {
  SlowFake dns;
  std::vector<ConnectionRecord> records;
};

// One client of the world per index; the kinds repeat with different primes
// so that their combinations vary.
void addclient(World* w, int i) {
  ConnectionRecord r;
  memset(&r, 0, sizeof r);
  r.conn_time = SysTime{2024, 5, 0, 17, 10, (uint16_t)(i / 60 % 60), (uint16_t)(i % 60), 0};
  int a = i % 11 == 10 ? 10 : 198, b = i % 11 == 10 ? 1 : 51, c = i / 200, d = i % 200 + 1;
  textformat(r.client_ip, sizeof r.client_ip, "%d.%d.%d.%d", a, b, c, d);
  textformat(r.thread_tag, sizeof r.thread_tag, "[%04d-0001]", i % 7 + 1);
  std::string dom = "dom" + std::to_string(i % 9) + ".test";
  std::string host = "mail" + std::to_string(i) + "." + dom;
  std::string ra = rev(a, b, c, d);
  FakeResolver& f = w->dns;
  switch (i % 5) {  // the reverse name
    case 0: f.status(ra + ".in-addr.arpa", dns::kTypePTR, dns::kStatusTimeout); break;
    case 1: f.status(ra + ".in-addr.arpa", dns::kTypePTR, dns::kStatusServFail); break;
    case 2: break;  // NXDOMAIN
    default: f.ptr(ra + ".in-addr.arpa", host);
  }
  switch (i % 7) {  // the address lists
    case 0: f.a(ra + ".wl2.test", 127, 0, 0, 2); break;                 // white hit on the second zone
    case 1: f.a(ra + ".bl1.test", 127, 0, 0, 4); break;                 // black after a white miss
    case 2: f.add(ra + ".bl2.test", dns::kTypeCNAME, dns::Section::Answer, dns::kTypeA).target = "x.test";
            f.a(ra + ".gl1.test", 127, 0, 0, 9); break;                 // grey after a CNAME
    case 3: f.status(ra + ".wl1.test", dns::kTypeA, dns::kStatusTimeout);
            f.status(ra + ".bl2.test", dns::kTypeA, dns::kStatusServFail); break;
    default: break;
  }
  if (i % 3 == 0) {  // origin; a large answer, as if it came over TCP
    f.txt(ra + ".origin.asn.cymru.com", {"64500 | 198.51.0.0/16 | NL | ripe | 2001-01-01"});
    f.txt("as64500.asn.cymru.com", {"64500 | NL | ripe | 2001-01-01 | EXAMPLE-AS Example, NL"});
    std::vector<std::string> sb = {"1-1=SB Org", "1-46=16", "1-50=example.test", "1-53=DE"};
    for (int k = 0; k < 40; k++) sb.push_back("9-" + std::to_string(100 + k) + "=" + std::string(60, 'x'));
    f.txt(ra + ".query.senderbase.org", sb);
  } else if (i % 3 == 1) {
    f.status(ra + ".origin.asn.cymru.com", dns::kTypeTXT, dns::kStatusTimeout);
  }
  const char* helos[] = {"", "bareword", "[192.0.2.1]", host.c_str(), host.c_str(), "Mail.Other.test", "bad_chars!"};
  textcopy(r.helo, helos[i % 13 % 7]);
  if (i % 4) textformat(r.mail_from, sizeof r.mail_from, "<user@%s>", dom.c_str());
  textcopy(r.rcpt_to, "<x@example.test>");
  r.quit_seen = i % 6 != 0;
  w->records.push_back(r);
  if (i % 9 < 6) f.ns(dom, "ns." + dom);
  if (i % 8 != 0) f.a(host, 198, 51, (uint8_t)c, (uint8_t)d);
}

void buildworld(World* w, int n) {
  FakeResolver& f = w->dns;
  f.ns("test", "ns.test");
  f.ns("in-addr.arpa", "ns.arpa");
  f.ns("arpa", "ns.arpa");
  for (int k = 0; k < 9; k++) {
    std::string dom = "dom" + std::to_string(k) + ".test";
    const char* policies[] = {"v=spf1 ip4:198.51.0.0/16 -all", "v=spf1 -all", "v=spf1 a mx ~all",
                              "v=spf1 include:dom1.test ?all", "v=spf1 ptr -all"};
    if (k == 7) f.status(dom, dns::kTypeTXT, dns::kStatusTimeout);
    else if (k != 8) f.txt(dom, {policies[k % 5]});
    f.mx(dom, 10, "mx." + dom);
    if (k == 0 || k == 4) f.a(dom + ".uwl.test", 127, 0, 1, 2);
    if (k == 3 || k == 5) f.a(dom + ".ubl2.test", 127, 0, 1, 2);
    f.a("mx." + dom, 198, 51, 0, (uint8_t)(k + 1));
  }
  for (int i = 0; i < n; i++) addclient(w, i);
}

// Runs every record of the world through a pipeline into a fresh directory
// and returns its daily files, in order. With `settle` > 0, waits after that
// many records until every line handed in is written.
std::string run(World* w, int threads, bool prefetch, uint32_t backlog = 0, size_t settle = 0,
                dns::CachingResolver* cache = nullptr) {
  TempDir dir("nestrap-pipeline-");
  textcopy(settings.LogPath, dir.str().c_str());
  setprefetch(prefetch);
  pipelinestart(threads, backlog, cache);
  for (size_t i = 0; i < w->records.size(); i++) {
    ConnectionRecord* copy = (ConnectionRecord*)malloc(sizeof(ConnectionRecord));
    memcpy(copy, &w->records[i], sizeof(ConnectionRecord));
    // Hand-ins as a worker makes them (never waiting) and as the logger does.
    if (!pipelineadmit()) pipelinewritenow(copy);
    else if (i % 2 == 1 || pipelineoffer(&copy, 1, "[test]") == 0) pipelinesubmit(copy);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (i + 1 == settle && pipelinebacklog() > 0 && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pipelinefinish();
  setprefetch(true);
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    // The dated files; ipinfo.log is a second name of today's.
    if (e.path().filename().string().rfind("ipinfo", 0) == 0 && !e.is_symlink())
      files.push_back(e.path());
  std::sort(files.begin(), files.end());
  std::string all;
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return all;
}

class Pipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    setdefaults();
    ASSERT_EQ(SpfInit(0, 0, 1), 0);
    dnswl = makelist({"wl1.test", "wl2.test"});
    dnsbl = makelist({"bl1.test", "bl2.test"});
    dnsgl = makelist({"gl1.test", "gl2.test"});
    uriwl = makelist({"uwl.test"});
    uribl = makelist({"ubl1.test", "ubl2.test"});
  }
  void TearDown() override {
    freealllists();
    SpfCleanup();
  }
};

// The concurrent pipeline writes the lines of the one-at-a-time analysis.
// Past the backlog cap the records are logged without DNS data, still each
// once; the episode starts and ends with a warning, with a cap of 1 too.
TEST_F(Pipeline, ConcurrentAndCappedLinesMatchTheOneAtATimeAnalysis) {
  constexpr int kRecords = 231;
  World w;
  buildworld(&w, kRecords);
  std::string reference = run(&w, 1, false);
  int reference_queries = w.dns.queries;
  w.dns.queries = 0;
  std::string concurrent = run(&w, kAnalysisThreads, true);
  size_t lines = 0;
  for (char ch : reference) lines += ch == '\n';
  ASSERT_EQ(lines, (size_t)kRecords);
  EXPECT_TRUE(reference == concurrent) << "first difference at byte "
      << std::mismatch(reference.begin(), reference.end(), concurrent.begin(), concurrent.end()).first - reference.begin();
  // Every tag of the world appears.
  for (const char* tag : {"|WL|", "|BL|", "|GL|", "|HL|", "|WU|", "|BU|", "|NL|", "Pass", "Fail", "TempError"})
    EXPECT_NE(reference.find(tag), std::string::npos) << tag;
  printf("queries: %d one at a time, %d concurrent\n", reference_queries, w.dns.queries);
  {  // In a second round most answers are kept: records handed in as a
     // worker does are analysed on the handing thread, to the same lines.
    dns::CachingResolver cache(w.dns, 100000);
    dns::setresolver(&cache);
    for (int round = 0; round < 2; round++)
      EXPECT_TRUE(reference == run(&w, kAnalysisThreads, true, 0, 0, &cache)) << round;
    dns::setresolver(&w.dns);
  }

  std::string nodns = run(&w, 0, true);
  auto lineset = [](const std::string& text) {
    std::multiset<std::string> all;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) all.insert(l);
    return all;
  };
  const std::multiset<std::string> with = lineset(reference), without = lineset(nodns);
  for (uint32_t cap : {10u, 1u}) {
    testing::internal::CaptureStderr();
    std::multiset<std::string> got = lineset(run(&w, 2, true, cap, 200));
    std::string err = testing::internal::GetCapturedStderr();
    // Lines written at once may leave the order: each is its record's line
    // with or without DNS data.
    EXPECT_EQ(got.size(), (size_t)kRecords) << cap;
    size_t dns = 0;
    for (const std::string& l : got) {
      dns += with.count(l);
      EXPECT_TRUE(with.count(l) || without.count(l)) << l;
    }
    EXPECT_TRUE(dns > 0 && dns < got.size()) << cap;
    for (const char* text : {"analysis backlog full (", "), logging without DNS data",
                             "analysis backlog back to normal ("})
      EXPECT_NE(err.find(text), std::string::npos) << err;
  }
}

// Holds every question until released, as a slow DNS server holds a record
// in the analysis.
class GateFake : public FakeResolver {
 public:
  int Query(const char* name, uint16_t type, unsigned o, dns::RecordList* out) override {
    asking = true;
    while (!open) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return FakeResolver::Query(name, type, o, out);
  }
  std::atomic<bool> asking{false}, open{false};
};

// A record that waits while the local day turns lands in the file of the day
// its line is written, with the time of its connection.
TEST_F(Pipeline, RecordWaitingPastMidnightLandsInTheNewDaysFile) {
  if (!settimezone("XXX+13")) GTEST_SKIP() << "local time does not follow TZ here";
  TempDir tmp("nestrap-midnight-");
  const std::filesystem::path& dir = tmp.path();
  textcopy(settings.LogPath, tmp.str().c_str());
  GateFake gate;
  ConnectionRecord* r = (ConnectionRecord*)calloc(1, sizeof(ConnectionRecord));
  r->conn_time = SysTime{2024, 5, 0, 17, 23, 59, 58, 0};
  textcopy(r->client_ip, "198.51.100.1");
  pipelinestart(1, 0);
  pipelinesubmit(r);
  while (!gate.asking) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const std::string before = today();
  settimezone("XXX-13");  // 26 hours later on the local clock: another day
  gate.open = true;
  pipelinefinish();
  const std::string after = today();
  settimezone(nullptr);
  EXPECT_NE(before, after);
  std::ifstream f(dir / ("ipinfo" + after + ".log"));
  std::string line;
  EXPECT_TRUE(std::getline(f, line) && line.rfind("2024-05-17|23:59:58|", 0) == 0) << line;
  EXPECT_FALSE(std::filesystem::exists(dir / ("ipinfo" + before + ".log")));
}

}  // namespace
