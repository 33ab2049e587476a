// The system resolver backend: parsing of raw answers (those it refuses:
// parse_failures.txt; arbitrary bytes: fuzz_dnsparse), and real queries over loopback to the test DNS server,
// which also check the status of each kind of answer.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/resolver.h"
#include "util/cases.h"

extern char** environ;

namespace {

// Builds DNS messages byte by byte, so that any fault can be put in.
struct Msg {
  std::vector<uint8_t> b;
  void u8(uint8_t v) { b.push_back(v); }
  void u16(uint16_t v) { u8(v >> 8); u8(v & 0xFF); }
  void u32(uint32_t v) { u16(v >> 16); u16(v & 0xFFFF); }
  void bytes(const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
  void name(const std::string& n) {
    size_t start = 0;
    while (start < n.size()) {
      size_t dot = n.find('.', start);
      if (dot == std::string::npos) dot = n.size();
      u8((uint8_t)(dot - start));
      bytes(n.substr(start, dot - start));
      start = dot + 1;
    }
    u8(0);
  }
  void header(int rcode, int qd, int an, int ns, int ar, bool tc = false) {
    u16(0x1234);
    u16((uint16_t)(0x8400 | (tc ? 0x0200 : 0) | (rcode & 0xF)));
    u16(qd); u16(an); u16(ns); u16(ar);
  }
  void question(const std::string& n, uint16_t type) { name(n); u16(type); u16(1); }
  // A record whose owner is a pointer to the question name (offset 12).
  void rr(uint16_t type, const std::string& rdata, uint16_t owner_ptr = 0xC00C) {
    u16(owner_ptr); u16(type); u16(1); u32(300);
    u16((uint16_t)rdata.size());
    bytes(rdata);
  }
};

std::string txtdata(const std::vector<std::string>& strings) {
  std::string d;
  for (const auto& s : strings) {
    d += (char)s.size();
    d += s;
  }
  return d;
}

std::string namedata(const std::string& n) {
  Msg m;
  m.name(n);
  return std::string(m.b.begin(), m.b.end());
}

int parse(const Msg& m, dns::RecordList* out) { return dns::parseresponse(m.b.data(), m.b.size(), out); }

// RFC 2308: a negative answer is kept for min(SOA TTL, SOA MINIMUM).
TEST(ParseResponse, NegativeTtlFromTheSoa) {
  struct Case { int rcode; uint32_t minimum; bool soa; int status; uint32_t negttl; } cases[] = {
      {3, 60, true, dns::kStatusNameError, 60},   {0, 900, true, dns::kStatusNoRecords, 300},
      {3, 60, false, dns::kStatusNameError, 0},   {2, 60, true, dns::kStatusServFail, 0},
  };
  for (const auto& c : cases) {
    Msg m;
    m.header(c.rcode, 1, 0, c.soa ? 1 : 0, 0);
    m.question("gone.test", dns::kTypeA);
    if (c.soa) {
      Msg d;
      d.name("ns.test");
      d.name("host.test");
      for (uint32_t v : {1u, 2u, 3u, 4u, c.minimum}) d.u32(v);
      m.rr(dns::kTypeSOA, std::string(d.b.begin(), d.b.end()));  // TTL 300
    }
    dns::RecordList out;
    uint32_t negttl = 12345;
    EXPECT_EQ(dns::parseresponse(m.b.data(), m.b.size(), &out, &negttl), c.status);
    EXPECT_EQ(negttl, c.negttl) << c.rcode << " " << c.minimum;
  }
}

TEST(ParseResponse, RecordsOfEverySectionAndType) {
  Msg m;
  m.header(0, 1, 5, 1, 2);
  m.question("example.test", dns::kTypeMX);
  m.rr(dns::kTypeA, std::string("\xC0\x00\x02\x01", 4));
  m.rr(dns::kTypeAAAA, std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + "\x01");
  m.rr(dns::kTypeMX, std::string("\x00\x0A", 2) + "\x02mx\xC0\x0C");  // mx.example.test
  m.rr(dns::kTypeCNAME, namedata("alias.test"));
  m.rr(dns::kTypeTXT, txtdata({"v=spf1", " -all"}));
  m.rr(dns::kTypeNS, namedata("ns1.example.test"));
  m.rr(dns::kTypeA, std::string("\xC6\x33\x64\x01", 4));
  m.rr(dns::kTypePTR, namedata("host.example.test"));
  dns::RecordList out;
  ASSERT_EQ(parse(m, &out), 0);
  ASSERT_EQ(out.size(), 8u);
  EXPECT_EQ(out[0].owner, "example.test");
  EXPECT_EQ(out[0].section, dns::Section::Answer);
  EXPECT_EQ(memcmp(out[0].addr, "\xC0\x00\x02\x01", 4), 0);
  EXPECT_EQ(out[1].addr[15], 1);
  EXPECT_EQ(out[2].preference, 10);
  EXPECT_EQ(out[2].target, "mx.example.test");
  EXPECT_EQ(out[3].target, "alias.test");
  ASSERT_EQ(out[4].strings.size(), 2u);
  EXPECT_EQ(out[4].strings[1], " -all");
  EXPECT_EQ(out[5].section, dns::Section::Authority);
  EXPECT_EQ(out[5].target, "ns1.example.test");
  EXPECT_EQ(out[6].section, dns::Section::Additional);
  EXPECT_EQ(out[7].type, dns::kTypePTR);
  EXPECT_EQ(out[7].ttl, 300u);
}

TEST(ParseResponse, TxtStringsKeepEveryByte) {
  std::string with_nul("a\0b|\x01\x7F", 6);
  std::string longest(255, 'x');
  Msg m;
  m.header(0, 1, 2, 0, 0);
  m.question("t.test", dns::kTypeTXT);
  m.rr(dns::kTypeTXT, txtdata({with_nul, "", longest}));
  m.rr(dns::kTypeTXT, "");  // a record without strings
  dns::RecordList out;
  ASSERT_EQ(parse(m, &out), 0);
  ASSERT_EQ(out.size(), 2u);
  ASSERT_EQ(out[0].strings.size(), 3u);
  EXPECT_EQ(out[0].strings[0], with_nul);
  EXPECT_EQ(out[0].strings[1], "");
  EXPECT_EQ(out[0].strings[2], longest);
  EXPECT_TRUE(out[1].strings.empty());
}

// Messages the parser refuses: a malformed message is a permanent failure
// without records; response codes the loopback server cannot send map onto
// 9000 + code.
TEST(ParseResponse, Failures) {
  ForEachCase("parse_failures.txt", [](const std::string& line) {
    std::vector<std::string> w = Words(line);
    ASSERT_GE(w.size(), 3u);
    std::string hex;
    for (size_t i = 2; i < w.size(); i++) hex += w[i];
    std::vector<uint8_t> m;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) m.push_back((uint8_t)std::stoi(hex.substr(i, 2), nullptr, 16));
    const bool bad = w[0] == "bad";
    dns::RecordList out;
    EXPECT_EQ(dns::parseresponse(m.data(), m.size(), &out), bad ? dns::kStatusBadPacket : std::stoi(w[0]));
    EXPECT_TRUE(out.empty() || !bad);
  });
  dns::RecordList out;
  EXPECT_EQ(dns::parseresponse(nullptr, 0, &out), dns::kStatusBadPacket);
}

TEST(ParseResponse, OddNamesAreEscapedText) {
  Msg m;
  m.header(0, 1, 1, 0, 0);
  m.question("x.test", dns::kTypePTR);
  std::string label("a.b\0|\n", 6);
  std::string rdata;
  rdata += (char)label.size();
  rdata += label;
  rdata += '\0';
  m.rr(dns::kTypePTR, rdata);
  dns::RecordList out;
  ASSERT_EQ(parse(m, &out), 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].target.find('\0'), std::string::npos);
  EXPECT_EQ(out[0].target.find('\n'), std::string::npos);
}

// The test DNS server in a child process.
class DnsServerProcess {
 public:
  bool start(const std::string& zones_json) {
    if (access("/usr/bin/python3", X_OK) != 0) return false;
    char dir[] = "/tmp/nestrap-resolver-XXXXXX";
    if (!mkdtemp(dir)) return false;
    dir_ = dir;
    std::string zones = dir_ + "/zones.json";
    std::ofstream(zones) << zones_json;
    std::string script = std::string(NESTRAP_SOURCE_DIR) + "/tools/dnsserver.py";
    int fds[2];
    if (pipe(fds) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    const char* argv[] = {"/usr/bin/python3", script.c_str(), "--zones", zones.c_str(), nullptr};
    int rc = posix_spawn(&pid_, argv[0], &fa, nullptr, (char* const*)argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    if (rc != 0) {
      close(fds[0]);
      pid_ = -1;
      return false;
    }
    FILE* f = fdopen(fds[0], "r");
    char line[64] = "";
    bool ok = fgets(line, sizeof line, f) && sscanf(line, "PORT %d", &port_) == 1;
    fclose(f);
    return ok;
  }
  ~DnsServerProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty()) std::system(("rm -rf " + dir_).c_str());
  }
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string dir_;
};

const char kZones[] = R"({"names": {
  "a.test": {"A": ["192.0.2.1", "192.0.2.2"], "TXT": [["one", "two"]]},
  "servfail.test": {"action": "servfail"},
  "refused.test": {"action": "refused"},
  "formerr.test": {"action": "formerr"},
  "notimp.test": {"action": "notimp"},
  "empty.test": {"action": "empty"},
  "silent.test": {"action": "timeout"},
  "malformed.test": {"action": "malformed"},
  "loop.test": {"action": "loop"},
  "alias.test": {"CNAME": "a.test"},
  "big.test": {"action": "tc", "TXT": [["0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789"],
     ["1"], ["2"], ["3"], ["4"], ["5"], ["6"], ["7"], ["8"], ["9"], ["10"]]},
  "tconly.test": {"action": "tc-only", "TXT": ["x"]}
}})";

class ResolverOverLoopback : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new DnsServerProcess;
    if (!server_->start(kZones)) return;
    dns::setnameservers(("127.0.0.1:" + std::to_string(server_->port())).c_str());
  }
  static void TearDownTestSuite() {
    dns::setnameservers("127.0.0.1:9");
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (server_ == nullptr || server_->port() == 0) GTEST_SKIP() << "test DNS server not available";
  }
  static DnsServerProcess* server_;
};
DnsServerProcess* ResolverOverLoopback::server_ = nullptr;

TEST_F(ResolverOverLoopback, StatusOfEachKindOfAnswer) {
  const std::map<std::string, int> types = {{"A", dns::kTypeA}, {"TXT", dns::kTypeTXT}, {"MX", dns::kTypeMX}};
  const std::map<std::string, int> statuses = {{"ok", 0}, {"nxdomain", dns::kStatusNameError},
      {"nodata", dns::kStatusNoRecords}, {"servfail", dns::kStatusServFail}, {"refused", dns::kStatusRefused},
      {"formerr", dns::kStatusFormErr}, {"notimp", dns::kStatusNotImp}, {"bad", dns::kStatusBadPacket}};
  ForEachCase("resolver_cases.txt", [&](const std::string& line) {
    std::vector<std::string> w = Words(line);
    if (w[0] != "query") return;
    dns::RecordList out;
    EXPECT_EQ(dns::resolver().Query(w[1].c_str(), types.at(w[2]), dns::kOptTreatAsFqdn, &out), statuses.at(w[3]));
    EXPECT_EQ(out.size(), std::stoul(w[4]));
  });
  dns::RecordList out;
  ASSERT_EQ(dns::resolver().Query("alias.test", dns::kTypeA, 0, &out), 0);
  EXPECT_EQ(out[0].type, dns::kTypeCNAME);
  std::string toolong(300, 'a');
  EXPECT_EQ(dns::resolver().Query(toolong.c_str(), dns::kTypeA, 0, &out), dns::kStatusInvalidName);
}

// A server that never answers is a temporary failure after a bounded wait.
TEST_F(ResolverOverLoopback, SilentServerTimesOut) {
  for (const char* name : {"silent.test", "tconly.test"}) {
    auto t0 = std::chrono::steady_clock::now();
    dns::RecordList out;
    int st = dns::resolver().Query(name, dns::kTypeTXT, 0, &out);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_TRUE(st == dns::kStatusTimeout || st == dns::kStatusServFail) << name << " " << st;
    EXPECT_LT(s, 10.0) << name;
  }
}

// Several threads query at once through the one shared channel.
TEST_F(ResolverOverLoopback, ThreadsQueryIndependently) {
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; t++)
    threads.emplace_back([&] {
      for (int i = 0; i < 20; i++) {
        dns::RecordList out;
        if (dns::resolver().Query("a.test", dns::kTypeA, 0, &out) == 0 && out.size() == 2) good++;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 80);
}

}  // namespace
