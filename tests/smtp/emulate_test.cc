// The transcripts of dialogues.txt played by a client against a session on
// its event loop (replies, the close and what the record keeps for the log),
// and EmulateSmtp alone: a client that went away, and arguments longer than
// their fields.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/net.h"
#include "common/settings.h"
#include "base/textbuf.h"
#include "smtp/commands.h"
#include "smtp/session.h"
#include "common/recordlists.h"
#include "util/words.h"

namespace {

const char kIp[] = "192.0.2.7";

// One input at a time straight to the emulation; the replies are kept.
class Dialogue {
 public:
  Dialogue() {
    settings.TarpitTime = 0;
    memset(&rec, 0, sizeof rec);
    textcopy(rec.client_ip, kIp);
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

// A session on an event loop of its own over a socket pair, and its client.
class Session {
 public:
  Session() {
    settings.TarpitTime = 0;
    settings.FakeSmtp = 1;
    settings.RxTimeOut = 30000;
    loop_ = loopcreate([](ConnectionRecord*, void* self) { ((Session*)self)->ended_ = true; }, this);
    EXPECT_EQ(plat::socketpair(socks_), 1);
    rec = (ConnectionRecord*)calloc(1, sizeof(ConnectionRecord));
    rec->sock = socks_[0];
    plat::setnonblocking(rec->sock);  // as accepted sockets are
    textcopy(rec->client_ip, kIp);
    textcopy(rec->thread_tag, "[0001-0001]");
    EXPECT_EQ(loopstart(loop_, rec), 1);
    EXPECT_EQ(Say("", 4, false).substr(0, 4), "220 ");
  }
  ~Session() {
    plat::closesocket(socks_[1]);
    for (int i = 0; i < 3000 && !ended_; i++) loopturn(loop_, 10);
    EXPECT_TRUE(ended_);
    loopfree(loop_);
    free(rec);
  }
  // Writes input, runs the loop until `want` bytes came (and with `closes`,
  // the server's end of the stream) and returns them.
  std::string Say(const std::string& input, size_t want, bool closes) {
    plat::sendsocket(socks_[1], input.data(), input.size());
    std::string got;
    char buf[8192];
    bool eof = false;
    for (int i = 0; i == 0 || (i < 3000 && (got.size() < want || eof != closes)); i++) {
      loopturn(loop_, 10);
      for (long n; !eof && plat::waitreadable(socks_[1], 0) > 0; eof = n <= 0)
        if ((n = plat::recvsocket(socks_[1], buf, sizeof buf)) > 0) got.append(buf, (size_t)n);
    }
    EXPECT_EQ(eof, closes) << input;
    return got;
  }

  ConnectionRecord* rec;

 private:
  SessionLoop* loop_;
  bool ended_ = false;
  SocketHandle socks_[2] = {kInvalidSocket, kInvalidSocket};
};

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

TEST(SmtpDialogue, Transcripts) {
  std::ifstream in(SMTP_DIALOGUES_FILE);
  ASSERT_TRUE(in.good());
  std::vector<Step> steps;
  int n = 0, blocks = 0;
  for (std::string line; std::getline(in, line);) {
    SCOPED_TRACE(std::string(SMTP_DIALOGUES_FILE) + ":" + std::to_string(++n));
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
      Session d;
      for (const Step& s : steps)
        for (int i = 0; i < s.repeat; i++)
          EXPECT_EQ(d.Say(s.input, s.reply.size(), s.closes), s.reply) << s.input;
      steps.clear();
      std::vector<std::string> w = Words(line);
      for (size_t i = 1; i + 1 < w.size(); i += 2) EXPECT_EQ(Field(*d.rec, w[i]), w[i + 1]) << w[i];
    }
  }
  EXPECT_GT(blocks, 20);
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
