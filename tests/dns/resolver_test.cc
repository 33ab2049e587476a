// The system resolver backend: parsing of raw answers (dns_messages.txt;
// arbitrary bytes: fuzz_dnsparse), and real queries over loopback to the test
// DNS server, which also check the status of each kind of answer.
#include <signal.h>

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

#include "dns/nameservers.h"
#include "dns/reply.h"
#include "dns/resolver.h"
#include "util/cases.h"

namespace {

// A record as dns_messages.txt writes it.
std::string Show(const dns::Record& r) {
  static const char* const sections[] = {"qd", "an", "ns", "ar"};
  std::string data;
  if (r.type == dns::kTypeA || r.type == dns::kTypeAAAA) {
    for (int i = 0; i < (r.type == dns::kTypeA ? 4 : 16); i++) data += "0123456789abcdef"[r.addr[i] >> 4], data += "0123456789abcdef"[r.addr[i] & 15];
  } else if (r.type == dns::kTypeTXT) {
    data = std::to_string(r.strings.size());
    for (const std::string& s : r.strings) data += "|" + s;
  } else {
    data = (r.type == dns::kTypeMX ? std::to_string(r.preference) + "," : "") + r.target;
  }
  return std::string(sections[(int)r.section]) + "/" + std::to_string(r.type) + "/" + r.owner + "/" +
         std::to_string(r.ttl) + "/" + data;
}

TEST(ParseResponse, Messages) {
  const std::map<std::string, int> statuses = {{"ok", 0}, {"nxdomain", dns::kStatusNameError},
      {"nodata", dns::kStatusNoRecords}, {"servfail", dns::kStatusServFail}, {"bad", dns::kStatusBadPacket}};
  ForEachCase("dns_messages.txt", [&](const std::string& line) {
    std::vector<std::string> w = Words(line);
    size_t i = 1;
    std::string hex;
    for (; i < w.size() && w[i] != "->"; i++) hex += w[i];
    ASSERT_LT(i + 1, w.size());
    std::vector<uint8_t> m;
    for (size_t k = 0; k + 1 < hex.size(); k += 2) m.push_back((uint8_t)std::stoi(hex.substr(k, 2), nullptr, 16));
    const std::string& status = w[++i];
    dns::RecordList out;
    uint32_t negttl = 12345;
    EXPECT_EQ(dns::parseresponse(m.data(), m.size(), &out, &negttl),
              statuses.count(status) ? statuses.at(status) : std::stoi(status));
    if (i + 1 < w.size() && w[i + 1].rfind("ttl=", 0) == 0) {
      EXPECT_EQ("ttl=" + std::to_string(negttl), w[++i]);
    }
    std::vector<std::string> got;
    for (const dns::Record& r : out) got.push_back(Show(r));
    EXPECT_EQ(got, std::vector<std::string>(w.begin() + i + 1, w.end()));
  });
  dns::RecordList out;
  EXPECT_EQ(dns::parseresponse(nullptr, 0, &out), dns::kStatusBadPacket);
}

// The test DNS server in a child process: its pid and port come first.
class ResolverOverLoopback : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = popen("echo $$; exec /usr/bin/python3 '" NESTRAP_SOURCE_DIR "/tools/dnsserver.py' --zones '"
                    TEST_DATA_DIR "/loopback_zones.json'", "r");
    int pid, port;
    if (server_ == nullptr || fscanf(server_, "%d PORT %d", &pid, &port) != 2) return;
    pid_ = pid, port_ = port;
    dns::setnameservers(("127.0.0.1:" + std::to_string(port_)).c_str());
  }
  static void TearDownTestSuite() {
    dns::setnameservers("127.0.0.1:9");
    if (pid_ > 0) kill(pid_, SIGTERM);
    if (server_ != nullptr) pclose(server_);
  }
  void SetUp() override {
    if (port_ == 0) GTEST_SKIP() << "test DNS server not available";
  }
  static inline FILE* server_ = nullptr;
  static inline int pid_ = 0, port_ = 0;
};

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
