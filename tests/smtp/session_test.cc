// Sessions on one worker's event loop over socket pairs: the transcripts of
// dialogues.txt (replies, the close and what the record keeps), two clients
// whose inputs alternate byte by byte and get exactly what each would get
// alone, and EmulateSmtp alone: a client that went away, and arguments
// longer than their fields.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/connectionline.h"
#include "platform/net.h"
#include "common/settings.h"
#include "base/textbuf.h"
#include "smtp/commands.h"
#include "smtp/session.h"
#include "common/recordlists.h"
#include "util/cases.h"
#include "util/temp_dir.h"
#include "util/timezone.h"

namespace {

// One input at a time straight to the emulation; the replies are kept.
class Dialogue {
 public:
  Dialogue() {
    settings.TarpitTime = 0;
    memset(&rec, 0, sizeof rec);
    textcopy(rec.client_ip, "192.0.2.7");
    textcopy(rec.thread_tag, "[0001-0001]");
  }
  // Feeds one input; returns the result and leaves what the client got in `got`.
  int Say(const std::string& input) {
    got.clear();
    return EmulateSmtp(&rec, input.c_str(), &sink_.sink);
  }
  // The client goes away: no reply reaches it from now on.
  void HangUp() { sink_.gone = true; }

  ConnectionRecord rec;
  std::string got;

 private:
  struct Capture {
    ReplySink sink;
    Dialogue* d;
    bool gone;
  } sink_{{[](ReplySink* self, const char* data, size_t len, long, const ConnectionRecord*) {
             Capture* c = reinterpret_cast<Capture*>(self);
             if (!c->gone) c->d->got.append(data, len);
             return c->gone ? 0 : 1;
           }},
          this, false};
};

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
  bool eof = false;  // the server ended the stream
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

  ConnectionRecord* Start(Client* c) {
    EXPECT_EQ(plat::socketpair(c->socks), 1);
    ConnectionRecord* r = (ConnectionRecord*)calloc(1, sizeof(ConnectionRecord));
    r->sock = c->socks[0];
    plat::setnonblocking(r->sock);  // as accepted sockets are
    textcopy(r->client_ip, c->ip);
    textcopy(r->thread_tag, kTag);
    EXPECT_EQ(loopstart(loop_, r), 1);
    client_socks_.push_back(c->socks[1]);
    return r;
  }

  // Runs the loop (a turn at least, so that each write is read on its own)
  // until c got `want` more bytes ending in `end` (and with `eof`, the end
  // of the stream); returns them.
  std::string Take(Client* c, size_t want, const std::string& end = "", bool eof = false) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    size_t from = c->got.size();
    for (bool first = true; std::chrono::steady_clock::now() < deadline; first = false) {
      size_t n = c->got.size();
      if (!first && n - from >= want && n >= end.size() &&
          c->got.compare(n - end.size(), end.size(), end) == 0 && c->eof >= eof)
        break;
      loopturn(loop_, 10);
      char buf[8192];
      while (!c->eof && plat::waitreadable(c->socks[1], 0) > 0) {
        long n = plat::recvsocket(c->socks[1], buf, sizeof buf);
        c->eof = n <= 0;
        if (n > 0) c->got.append(buf, (size_t)n);
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

// What the record holds, by the names dialogues.txt uses.
std::string Field(const ConnectionRecord& r, const std::string& name) {
  std::string signals, transactions;
  for (int i = 0; i < kSignalCount; i++)
    if (r.signals & (1u << i)) signals += std::string(signals.empty() ? "" : ",") + signalname(i);
  eachtransaction(&r, [&](const char* from, const char* to, int count, uint32_t more) {
    transactions += std::string(transactions.empty() ? "" : ";") + from + ">";
    for (int i = 0; i < count; to += strlen(to) + 1, i++) transactions += std::string(i ? "," : "") + to;
    if (more) transactions += "+" + std::to_string(more);
  });
  if (r.transactions.dropped) transactions += ";+" + std::to_string(r.transactions.dropped);
  const std::map<std::string, std::string> fields = {
      {"errors", std::to_string(r.error_count)}, {"rcpts", std::to_string(r.rcpt_count)},
      {"vrfys", std::to_string(r.vrfy_count)},   {"noops", std::to_string(r.noop_count)},
      {"quit", std::to_string(r.quit_seen)},     {"last_error", r.last_error},
      {"helo", r.helo},                          {"mail_from", r.mail_from},
      {"rcpt_to", r.rcpt_to},                    {"auth_data", r.auth_data},
      {"signals", signals},                      {"transactions", transactions}};
  auto it = fields.find(name);
  return it == fields.end() ? "unknown field " + name : it->second;
}

struct Step {
  std::string input, reply;
  int repeat = 1;
  bool closes = false;
};

TEST_F(OneLoop, Transcripts) {
  settings.TarpitTime = 0;
  std::vector<Step> steps;
  int blocks = 0;
  ForEachCase("dialogues.txt", [&](const std::string& line) {
    size_t gt = line.find("> ");
    if (line.compare(0, 3, "== ") == 0) {
      blocks++;
    } else if (gt != std::string::npos && line.find_first_not_of("0123456789") == gt) {
      Step s;
      s.repeat = gt ? atoi(line.c_str()) : 1;
      s.input = line.substr(gt + 2);
      s.input = s.input[0] == '"' ? Words(s.input)[0] : s.input + "\r\n";
      steps.push_back(s);
    } else if (line.compare(0, 2, "< ") == 0) {
      steps.back().reply += line.substr(2) + "\r\n";
    } else if (line == "closes") {
      steps.back().closes = true;
    } else if (line.compare(0, 7, "record ") == 0) {
      Client c("192.0.2.7");
      const ConnectionRecord* r = Start(&c);
      EXPECT_EQ(Take(&c, 4).substr(0, 4), "220 ");
      for (const Step& s : steps)
        for (int i = 0; i < s.repeat; i++) {
          plat::sendsocket(c.socks[1], s.input.data(), s.input.size());
          EXPECT_EQ(Take(&c, s.reply.size(), "", s.closes), s.reply) << s.input;
          EXPECT_EQ(c.eof, s.closes) << s.input;
        }
      steps.clear();
      std::vector<std::string> w = Words(line);
      for (size_t i = 1; i + 1 < w.size(); i += 2) EXPECT_EQ(Field(*r, w[i]), w[i + 1]) << w[i];
      plat::shutdownsend(c.socks[1]);  // the client hangs up; the session ends
      EXPECT_EQ(Take(&c, 0, "", true), "");
    }
  });
  EXPECT_GT(blocks, 20);
  EXPECT_EQ(loopcount(loop_), 0u);
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

// A client gone before the reply: the record still keeps the command. The
// notice before the sender reply finds it gone, and nothing more is sent.
TEST(SmtpDialogue, LostClient) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"HELO mx.example.org\r\n", {"helo", "mx.example.org"}},
      {"MAIL FROM:<a@b.example>\r\n", {"errors", "1", "mail_from", "", "quit", "0"}},
      {"QUIT\r\n", {"quit", "1"}}};
  for (const auto& [input, fields] : cases) {
    Dialogue d;
    d.HangUp();
    EXPECT_EQ(d.Say(input), SMTP_LOST) << input;
    for (size_t i = 0; i + 1 < fields.size(); i += 2) EXPECT_EQ(Field(d.rec, fields[i]), fields[i + 1]) << input;
  }
}

// Every stored text stays within its field and zero-terminated, and the
// echoed error keeps to the first line.
TEST(SmtpDialogue, LongArgumentsAreCut) {
  const std::string word(4090, 'w');
  Dialogue d;
  EXPECT_EQ(d.Say("EHLO " + word + "\r\n"), SMTP_CONTINUE);
  EXPECT_EQ(strlen(d.rec.helo), 260u);
  EXPECT_EQ(d.got.substr(0, 10), "250-Hello ");
  EXPECT_EQ(d.Say("AUTH PLAIN " + word), SMTP_CONTINUE);
  EXPECT_EQ(strlen(d.rec.auth_data), 260u);
  EXPECT_EQ(d.Say("MAIL FROM:<@a.b" + word + "\r\nmore"), SMTP_CONTINUE);
  EXPECT_EQ(d.got, "553 <@a.b" + std::string(255, 'w') + "... User address required\r\n");
  EXPECT_EQ(strlen(d.rec.last_error), 260u);
  EXPECT_EQ(d.Say("MAIL FROM:<a@b.example>" + word), SMTP_CONTINUE);
  EXPECT_EQ(strlen(d.rec.mail_from), 260u);
  EXPECT_EQ(d.Say("RCPT TO:<x@y.example>\r" + word), SMTP_CONTINUE);
  EXPECT_STREQ(d.rec.rcpt_to, "<x@y.example>");
}

}  // namespace
