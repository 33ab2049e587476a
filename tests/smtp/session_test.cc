// Sessions on one worker's event loop: two clients whose inputs alternate
// byte by byte get exactly the replies, the diagnostic lines and the
// connection lines each would get alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/connectionline.h"
#include "platform/net.h"
#include "common/settings.h"
#include "base/textbuf.h"
#include "smtp/commands.h"
#include "smtp/session.h"
#include "util/cases.h"
#include "util/temp_dir.h"
#include "util/timezone.h"

namespace {

const char kTag[] = "[0001-00AA]";
const std::string kBannerStart = "220 decoy.example.test ESMTP Sendmail 8.2.0/8.2.0; ";

// How much of its input a client writes at a time. A local socket pair
// hands each write over at once; the loopback TCP pair of Windows delivers
// single bytes as its stack pleases (a session would read them one by one),
// so there the clients alternate command by command.
#ifdef _WIN32
constexpr size_t kWriteStep = 4096;
#else
constexpr size_t kWriteStep = 1;
#endif

struct Client {
  explicit Client(const char* address) : ip(address) {}
  const char* ip;
  SocketHandle socks[2] = {kInvalidSocket, kInvalidSocket};  // server's, client's
  std::string got;
};

class OneLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp_.path().empty());
    setdefaults();
    textcopy(settings.LogPath, tmp_.str().c_str());
    textcopy(settings.HostName, "decoy.example.test");
    settings.LogLevel = 5;
    settings.FakeSmtp = 1;
    settings.TarpitTime = 20;  // replies wait on the loop's timers
    settings.RxTimeOut = 10000;
    loop_ = loopcreate(&OneLoop::Done, this);
    ASSERT_NE(loop_, nullptr);
  }
  void TearDown() override {
    for (SocketHandle s : client_socks_) plat::closesocket(s);
    for (ConnectionRecord* r : done_) free(r);
    loopfree(loop_);
  }

  static void Done(ConnectionRecord* r, void* ctx) { ((OneLoop*)ctx)->done_.push_back(r); }

  void Start(Client* c) {
    ASSERT_EQ(plat::socketpair(c->socks), 1);
    ConnectionRecord* r = (ConnectionRecord*)calloc(1, sizeof(ConnectionRecord));
    r->sock = c->socks[0];
    plat::setnonblocking(r->sock);  // as accepted sockets are
    textcopy(r->client_ip, c->ip);
    textcopy(r->thread_tag, kTag);
    ASSERT_EQ(loopstart(loop_, r), 1);
    client_socks_.push_back(c->socks[1]);
  }

  // Runs the loop until c got `want` more bytes ending in `end`; returns them.
  std::string Take(Client* c, size_t want, const std::string& end = "") {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    size_t from = c->got.size();
    while (std::chrono::steady_clock::now() < deadline) {
      size_t n = c->got.size();
      if (n - from >= want && n >= end.size() && c->got.compare(n - end.size(), end.size(), end) == 0)
        break;
      loopturn(loop_, 10);
      char buf[4096];
      while (plat::waitreadable(c->socks[1], 0) > 0) {
        long n = plat::recvsocket(c->socks[1], buf, sizeof buf);
        if (n <= 0) break;
        c->got.append(buf, (size_t)n);
      }
    }
    return c->got.substr(from);
  }

  // Diagnostic lines of one client's session, without time and tag.
  std::vector<std::string> SessionLines(const char* ip) {
    std::ifstream f(tmp_.path() / ("nestrap" + today() + ".log"));
    std::string prefix = std::string("[CONN] ") + kTag + " " + ip + " ";
    std::vector<std::string> out;
    for (std::string line; std::getline(f, line);) {
      size_t at = line.find(prefix);
      if (at == std::string::npos) continue;
      std::string text = line.substr(at + prefix.size());
      while (!text.empty() && text.back() == ' ') text.pop_back();
      out.push_back(text);
    }
    return out;
  }

  TempDir tmp_{"nestrap-session-"};
  SessionLoop* loop_ = nullptr;
  std::vector<SocketHandle> client_socks_;  // the clients' ends (the clients live in the test body)
  std::vector<ConnectionRecord*> done_;
};

struct Turn {
  std::string input[2], reply[2];  // empty input: that client says nothing
};

// What interleaved.txt holds for clients a and b.
struct Script {
  std::vector<Turn> turns;
  std::vector<std::string> lines[2], connection[2];
};

Script LoadScript() {
  Script s;
  ForEachCase("interleaved.txt", [&](const std::string& line) {
    ASSERT_TRUE(line.size() >= 3 && (line[0] == 'a' || line[0] == 'b') && line[2] == ' ');
    const int who = line[0] - 'a';
    const std::string text = line.substr(3);
    if (line[1] == '>') {
      if (s.turns.empty() || !s.turns.back().reply[0].empty() || !s.turns.back().reply[1].empty())
        s.turns.emplace_back();
      s.turns.back().input[who] += text + "\r\n";
    } else if (line[1] == '<') {
      s.turns.back().reply[who] += text + "\r\n";
    } else {
      (line[1] == ':' ? s.lines : s.connection)[who].push_back(text);
    }
  });
  return s;
}

TEST_F(OneLoop, InterleavedSessionsKeepTheirOwnDialogue) {
  const Script script = LoadScript();
  Client a("192.0.2.1"), b("192.0.2.2");
  Client* both[2] = {&a, &b};
  Start(&a);
  Start(&b);
  for (Client* c : both) {
    std::string banner = Take(c, 1, "\r\n");
    EXPECT_EQ(banner.compare(0, kBannerStart.size(), kBannerStart), 0) << banner;
  }
  for (const Turn& t : script.turns) {
    for (size_t i = 0; i < t.input[0].size() || i < t.input[1].size(); i += kWriteStep)
      for (int k = 0; k < 2; k++)
        if (i < t.input[k].size())
          plat::sendsocket(both[k]->socks[1], &t.input[k][i], std::min(kWriteStep, t.input[k].size() - i));
    for (int k = 0; k < 2; k++) EXPECT_EQ(Take(both[k], t.reply[k].size()), t.reply[k]) << t.input[k];
  }
  // Both have their answer: they hang up and the loop closes both sessions.
  for (Client* c : both) {
    plat::shutdownsend(c->socks[1]);
    EXPECT_EQ(Take(c, 0), "");
  }
  for (int i = 0; i < 200 && done_.size() < 2; i++) loopturn(loop_, 10);
  ASSERT_EQ(done_.size(), 2u);
  EXPECT_EQ(loopcount(loop_), 0u);
  for (int k = 0; k < 2; k++) {
    EXPECT_EQ(SessionLines(both[k]->ip), script.lines[k]);
    // The connection line the logger builds from the record.
    for (const ConnectionRecord* r : done_)
      if (strcmp(r->client_ip, both[k]->ip) == 0) {
        char line[kLineSize];
        connectionline(line, "2026-01-01|00:00:00", r);
        EXPECT_EQ(std::vector<std::string>{line}, script.connection[k]);
      }
  }
}

// A dialogue that never ends on its own gets the 421 at its input limit, and
// a stop closes a session in progress as a read time-out would.
TEST_F(OneLoop, DialogueLimitAndStopEndSessions) {
  settings.TarpitTime = 0;
  Client chatty("192.0.2.3"), idle("192.0.2.4");
  Start(&chatty);
  Start(&idle);
  for (Client* c : {&chatty, &idle}) Take(c, 1, "\r\n");
  for (unsigned i = 0; i < kMaxDialogueInputs; i++) {
    plat::sendsocket(chatty.socks[1], "RSET\r\n", 6);
    ASSERT_EQ(Take(&chatty, 8), "250 OK\r\n") << i;
  }
  plat::sendsocket(chatty.socks[1], "RSET\r\n", 6);
  EXPECT_EQ(Take(&chatty, 1, "\r\n"),
            "421 4.2.1 Service temporarily unavailable, closing transmission channel.\r\n");
  plat::shutdownsend(chatty.socks[1]);
  for (int i = 0; i < 200 && done_.size() < 1; i++) loopturn(loop_, 10);
  ASSERT_EQ(done_.size(), 1u);
  EXPECT_EQ(done_[0]->quit_seen, 0);  // counted like the error limit

  loopstopall(loop_);
  ASSERT_EQ(done_.size(), 2u);
  EXPECT_EQ(loopcount(loop_), 0u);
  std::vector<std::string> tail = SessionLines("192.0.2.4");
  tail.erase(tail.begin(), tail.end() - 4);
  EXPECT_EQ(tail, (std::vector<std::string>{"Remote disconnected !", "Closing socket...",
                                            "Socket closed.", "Session terminated."}));
}

// Tempfail mode reads once: what that read shows of the client's manners,
// and what the banner delay shows (cases: input, signals of the record).
TEST_F(OneLoop, TempfailSignals) {
  settings.FakeSmtp = 0;
  settings.TarpitTime = 300;
  const std::vector<std::pair<std::string, uint32_t>> cases = {
      {"EHLO a.example\r\n", kSignalPregreet},
      {"EHLO a.example\nMAIL FROM:<x@y.example>\n", kSignalPregreet | kSignalBareLf | kSignalPipelining},
      {"\x16\x03\x01\x02\x00\x01", kSignalPregreet | kSignalNonSmtp},
      {"", kSignalEarlyClose}};
  std::vector<Client> clients(cases.size(), Client("192.0.2.5"));
  for (size_t i = 0; i < cases.size(); i++) {  // each says its piece before the banner
    Start(&clients[i]);
    plat::sendsocket(clients[i].socks[1], cases[i].first.data(), cases[i].first.size());
  }
  plat::shutdownsend(clients[3].socks[1]);  // and the last one gives up
  for (Client& c : clients) {
    Take(&c, 1, "\r\n");
    plat::shutdownsend(c.socks[1]);
  }
  for (int i = 0; i < 500 && done_.size() < cases.size(); i++) loopturn(loop_, 10);
  ASSERT_EQ(done_.size(), cases.size());
  for (size_t i = 0; i < cases.size(); i++)
    for (const ConnectionRecord* r : done_)
      if (r->sock == clients[i].socks[0]) {
        EXPECT_EQ(r->signals, cases[i].second) << i;
      }
}

}  // namespace
