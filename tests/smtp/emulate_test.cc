// Dialogues driven through EmulateSmtp over a socket pair: the replies the
// client receives, the results, and what the record keeps for the log.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/net.h"
#include "server/settings.h"
#include "base/textbuf.h"
#include "smtp/commands.h"
#include "smtp/emulate.h"

namespace {

const char kIp[] = "192.0.2.7";
const std::string kTempfail =
    "421 4.2.1 Service temporarily unavailable, closing transmission channel.\r\n";
const std::string kEhloReply =
    "250-Hello mx.example.org ([192.0.2.7]), nice to meet you.\r\n250-HELP\r\n250-VRFY\r\n"
    "250-EXPN\r\n250-NOOP\r\n250 AUTH PLAIN\r\n";
const std::string kHelpReply =
    "214-This is sendmail version 8.2.0\r\n"
    "214-Supported commands:\r\n"
    "214-      HELO    EHLO    MAIL   RCPT     DATA\r\n"
    "214-      VRFY    EXPN    RSET   HELP     NOOP\r\n"
    "214-      QUIT\r\n"
    "214-For local information send email to Postmaster at your site.\r\n"
    "214 End of HELP info\r\n";

// Follows every input's replies on the server's side; replies never hold a
// NUL (a command ends at one), and a stream keeps the order, so everything
// before it is the reply, however the platform's pair delivers the bytes.
const char kEndOfReply = '\0';

class Dialogue {
 public:
  Dialogue() {
    settings.TarpitTime = 0;
    EXPECT_EQ(plat::socketpair(socks_), 1);
    memset(&rec, 0, sizeof rec);
    rec.sock = socks_[0];
    textcopy(rec.client_ip, kIp);
    textcopy(rec.thread_tag, "[0001-0001]");
  }
  ~Dialogue() {
    plat::closesocket(socks_[0]);
    if (socks_[1] != kInvalidSocket) plat::closesocket(socks_[1]);
  }
  // Feeds one input; returns the result and leaves what the client got in `got`.
  int Say(const std::string& input) {
    int rc = EmulateSmtp(&rec, input.c_str());
    got.clear();
    if (socks_[1] == kInvalidSocket) return rc;
    if (plat::sendsocket(socks_[0], &kEndOfReply, 1) != 1) {
      ADD_FAILURE() << "cannot mark the end of the reply";
      return rc;
    }
    char buf[8192];
    for (;;) {
      if (plat::waitreadable(socks_[1], 30000) < 1) {
        ADD_FAILURE() << "reply does not end: " << got;
        break;
      }
      long n = plat::recvsocket(socks_[1], buf, sizeof buf);
      if (n <= 0) {
        ADD_FAILURE() << "pair closed while reading: " << got;
        break;
      }
      got.append(buf, (size_t)n);
      if (got.back() == kEndOfReply) {
        got.pop_back();
        break;
      }
    }
    return rc;
  }
  // The client goes away with a reset, so that the next reply fails on any
  // kind of pair.
  void HangUp() {
    plat::setabortive(socks_[1]);
    plat::closesocket(socks_[1]);
    socks_[1] = kInvalidSocket;
  }

  ConnectionRecord rec;
  std::string got;

 private:
  SocketHandle socks_[2] = {kInvalidSocket, kInvalidSocket};
};

struct Step {
  std::string input;
  std::string reply;  // everything the client receives for this input
  int result;
  int repeat = 1;
};

// Record fields after the dialogue; a null text is not checked.
struct Outcome {
  uint32_t errors, rcpts, vrfys, noops;
  int quit_seen;
  const char* last_error;
  const char* helo = nullptr;
  const char* mail_from = nullptr;
  const char* rcpt_to = nullptr;
  const char* auth_data = nullptr;
};

struct Script {
  const char* name;
  std::vector<Step> steps;
  Outcome out;
};

const int C = SMTP_CONTINUE;
const int X = SMTP_CLOSE;

std::vector<Script> Scripts() {
  const std::string hello = "250 Hello mx.example.org ([192.0.2.7]), nice to meet you.\r\n";
  return {
      {"well-behaved client ends with the DATA refusal",
       {{"EHLO mx.example.org\r\n", kEhloReply, C},
        {"AUTH PLAIN AHVzZXIAcGFzcw==\r\n", "235 ok, go ahead (#2.0.0)\r\n", C},
        {"MAIL FROM:<a@b.example> SIZE=1234\r\n", "250 <a@b.example>... Sender ok\r\n", C},
        {"RCPT TO:<x@y.example>\r\n", "250 <x@y.example>... Recipient ok\r\n", C},
        {"RCPT TO:<z@y.example>\r\n", "250 <z@y.example>... Recipient ok\r\n", C},
        {"DATA\r\n", kTempfail, X}},
       {0, 2, 0, 0, 1, "", "mx.example.org", "<a@b.example>", "<x@y.example>",
        "AHVzZXIAcGFzcw=="}},
      {"invalid HELO is greeted but counted and recorded",
       {{"HELO localhost\r\n", "250 Hello localhost ([192.0.2.7]), nice to meet you.\r\n", C},
        {"helo -bad.example\r\n", "250 Hello -bad.example ([192.0.2.7]), nice to meet you.\r\n",
         C}},
       {2, 0, 0, 0, 0, "501 Invalid HELO", "-bad.example"}},
      {"valid HELO after an invalid one keeps the recorded note",
       {{"HELO [192.0.2.1]\r\n", "250 Hello [192.0.2.1] ([192.0.2.7]), nice to meet you.\r\n", C},
        {"HELO mx.example.org\r\n", hello, C}},
       {1, 0, 0, 0, 0, "501 Invalid HELO", "mx.example.org"}},
      {"commands without their argument",
       {{"HELO\r\n", "501 HELO needs argument\r\n", C},
        {"ehlo \r\n", "501 EHLO needs argument\r\n", C},
        {"auth plain\r\n", "501 AUTH PLAIN needs argument\r\n", C},
        {"VRFY\r\n", "501 VRFY needs argument\r\n", C},
        {"EXPN\r\n", "501 EXPN needs argument\r\n", C}},
       {5, 0, 2, 0, 0, "501 EXPN needs argument", ""}},
      {"MAIL and RCPT without argument",
       {{"HELO mx.example.org\r\n", hello, C},
        {"MAIL FROM:\r\n", "501 MAIL FROM: needs argument\r\n", C},
        {"MAIL FROM:<>\r\n", "250 <>... Sender ok\r\n", C},
        {"RCPT TO: \r\n", "501 RCPT TO: needs argument\r\n", C}},
       {2, 0, 0, 0, 0, "501 RCPT TO: needs argument", nullptr, "<>", ""}},
      {"second AUTH PLAIN",
       {{"AUTH PLAIN first=\r\n", "235 ok, go ahead (#2.0.0)\r\n", C},
        {"AUTH PLAIN second=\r\n", "503 AUTH PLAIN already authenticated\r\n", C}},
       {1, 0, 0, 0, 0, "503 AUTH PLAIN already authenticated", nullptr, nullptr, nullptr,
        "first="}},
      {"AUTH LOGIN and blank lines are unrecognised",
       {{"AUTH LOGIN\r\n", "500 Command unrecognized\r\n", C},
        {"\r\n", "500 Command unrecognized\r\n", C},
        {" HELO mx.example.org\r\n", "500 Command unrecognized\r\n", C}},
       {3, 0, 0, 0, 0, "500 Command unrecognized", "", nullptr, nullptr, ""}},
      {"MAIL before HELO gets the continuation notice",
       {{"MAIL FROM:<a@b.example>\r\n",
         "250-HELO/EHLO Command not issued, proceeding anyway\r\n"
         "250 <a@b.example>... Sender ok\r\n",
         C}},
       {1, 0, 0, 0, 0, "", "", "<a@b.example>"}},
      {"sender checks and nested MAIL",
       {{"HELO mx.example.org\r\n", hello, C},
        {"MAIL FROM:<a@localhost>\r\n",
         "553 <a@localhost>... Domain name required for sender address\r\n", C},
        {"MAIL FROM:<@b.example>\r\n", "553 <@b.example>... User address required\r\n", C},
        {"mail from:<Mixed@B.example>\r\n", "250 <Mixed@B.example>... Sender ok\r\n", C},
        {"MAIL FROM:<c@d.example>\r\n", "503 Nested MAIL command\r\n", C}},
       {3, 0, 0, 0, 0, "503 Nested MAIL command", nullptr, "<Mixed@B.example>", ""}},
      {"RCPT before MAIL is refused without counting",
       {{"HELO mx.example.org\r\n", hello, C},
        {"RCPT TO:<x@y.example>\r\n", "503 Need MAIL before RCPT\r\n", C}},
       {0, 0, 0, 0, 0, "503 Need MAIL before RCPT", nullptr, "", ""}},
      {"rejected recipients and the first accepted one",
       {{"HELO mx.example.org\r\n", hello, C},
        {"MAIL FROM:<a@b.example>\r\n", "250 <a@b.example>... Sender ok\r\n", C},
        {"RCPT TO:<nodomain>\r\n", "553 <nodomain>... User unknown\r\n", C},
        {"RCPT TO:<@y.example>\r\n", "553 <@y.example>... User address required\r\n", C},
        {"rcpt to:<First@y.example>\r\n", "250 <First@y.example>... Recipient ok\r\n", C},
        {"RCPT TO:<second@y.example>\r\n", "250 <second@y.example>... Recipient ok\r\n", C}},
       {2, 2, 0, 0, 0, "553 <@y.example>... User address required", nullptr, nullptr,
        "<First@y.example>"}},
      {"only rejected recipients: the last one is kept",
       {{"HELO mx.example.org\r\n", hello, C},
        {"MAIL FROM:<a@b.example>\r\n", "250 <a@b.example>... Sender ok\r\n", C},
        {"RCPT TO:<one>\r\n", "553 <one>... User unknown\r\n", C},
        {"RCPT TO:<two>\r\n", "553 <two>... User unknown\r\n", C}},
       {2, 0, 0, 0, 0, "553 <two>... User unknown", nullptr, nullptr, "<two>"}},
      {"RSET starts a new transaction",
       {{"HELO mx.example.org\r\n", hello, C},
        {"MAIL FROM:<a@b.example>\r\n", "250 <a@b.example>... Sender ok\r\n", C},
        {"RCPT TO:<x@y.example>\r\n", "250 <x@y.example>... Recipient ok\r\n", C},
        {"RSET now\r\n", "501 Invalid argument\r\n", C},
        {"RSET\r\n", "250 OK\r\n", C},
        {"RCPT TO:<x2@y.example>\r\n", "503 Need MAIL before RCPT\r\n", C},
        {"DATA\r\n", "471 Bad or missing RCPT command\r\n", C},
        {"MAIL FROM:<c@d.example>\r\n", "250 <c@d.example>... Sender ok\r\n", C},
        {"RCPT TO:<n@y.example>\r\n", "250 <n@y.example>... Recipient ok\r\n", C}},
       {0, 1, 0, 0, 0, "503 Need MAIL before RCPT", nullptr, "<c@d.example>", "<n@y.example>"}},
      {"DATA without recipients, then DATA again",
       {{"HELO mx.example.org\r\n", hello, C},
        {"DATA\r\n", "471 Bad or missing RCPT command\r\n", C},
        {"DATA\r\n", kTempfail, X}},
       {0, 1, 0, 0, 1, ""}},
      {"QUIT",
       {{"quit\r\n", "221 closing connection.\r\n", X}},
       {0, 0, 0, 0, 1, ""}},
      {"VRFY and EXPN answers",
       {{"VRFY <a@b.example>\r\n", "251 User not local; will forward to <a@b.example>\r\n", C},
        {"VRFY root\r\n", "252 Cannot VRFY user; try RCPT to attempt delivery (or try finger)\r\n",
         C},
        {"EXPN root\r\n", "250 root\r\n", C},
        {"EXPN list@b.example\r\n", "250 list@b.example\r\n", C},
        {"EXPN @b.example\r\n", "553 @b.example... User address required\r\n", C},
        {"VRFY <@b.example>\r\n", "553 <@b.example>... User address required\r\n", C}},
       {2, 0, 6, 0, 0, "553 <@b.example>... User address required"}},
      {"HELP",
       {{"HELP me\r\n", kHelpReply, C}},
       {0, 0, 0, 0, 0, ""}},
      {"NOOP limit",
       {{"NOOP\r\n", "250 OK\r\n", C, 6},
        {"NOOP\r\n", "451 max NOOP exceeded\r\n", X}},
       {0, 0, 0, 6, 1, "451 max NOOP exceeded"}},
      {"VRFY and EXPN share their limit",
       {{"VRFY\r\n", "501 VRFY needs argument\r\n", C, 5},
        {"HELO mx.example.org\r\n", hello, C},
        {"EXPN root\r\n", "250 root\r\n", C, 6},
        {"VRFY root\r\n", "451 max recipient verification exceeded\r\n", X}},
       {5, 0, 11, 0, 1, "451 max recipient verification exceeded"}},
      {"the sixth error is answered, the next input is not",
       {{"XYZZY\r\n", "500 Command unrecognized\r\n", C, 6},
        {"QUIT\r\n", "550 Max errors exceeded\r\n", X}},
       {6, 0, 0, 0, 0, "500 Command unrecognized"}},
      {"the error limit is checked before recognition",
       {{"HELO localhost\r\n", "250 Hello localhost ([192.0.2.7]), nice to meet you.\r\n", C, 6},
        {"NOOP\r\n", "550 Max errors exceeded\r\n", X}},
       {6, 0, 0, 0, 0, "501 Invalid HELO"}},
      {"101 recipients, the 102nd closes",
       {{"HELO mx.example.org\r\n", hello, C},
        {"MAIL FROM:<a@b.example>\r\n", "250 <a@b.example>... Sender ok\r\n", C},
        {"RCPT TO:<r@y.example>\r\n", "250 <r@y.example>... Recipient ok\r\n", C, 100},
        {"RCPT TO:<bad>\r\n", "553 <bad>... User unknown\r\n", C},
        {"RCPT TO:<r@y.example>\r\n", "250 <r@y.example>... Recipient ok\r\n", C},
        {"RCPT TO:<bad>\r\n", "553 <bad>... User unknown\r\n", C},
        {"RCPT TO:<last@y.example>\r\n", "452 too many recipients\r\n", X}},
       {2, 101, 0, 0, 1, "452 too many recipients", nullptr, nullptr, "<r@y.example>"}},
      {"two commands in one chunk: only the first is answered",
       {{"NOOP\r\nQUIT\r\n", "250 OK\r\n", C}},
       {0, 0, 0, 1, 0, ""}},
      {"a NUL ends the command",
       {{std::string("HELO mx.exa") + '\0' + "mple.org\r\n",
         "250 Hello mx.exa ([192.0.2.7]), nice to meet you.\r\n", C}},
       {0, 0, 0, 0, 0, "", "mx.exa"}},
  };
}

TEST(SmtpDialogue, Scripts) {
  for (const Script& s : Scripts()) {
    SCOPED_TRACE(s.name);
    Dialogue d;
    for (const Step& step : s.steps) {
      for (int i = 0; i < step.repeat; ++i) {
        SCOPED_TRACE(step.input);
        EXPECT_EQ(d.Say(step.input), step.result);
        EXPECT_EQ(d.got, step.reply);
      }
    }
    const Outcome& o = s.out;
    EXPECT_EQ(d.rec.error_count, o.errors);
    EXPECT_EQ(d.rec.rcpt_count, o.rcpts);
    EXPECT_EQ(d.rec.vrfy_count, o.vrfys);
    EXPECT_EQ(d.rec.noop_count, o.noops);
    EXPECT_EQ(d.rec.quit_seen, o.quit_seen);
    EXPECT_STREQ(d.rec.last_error, o.last_error);
    if (o.helo) {
      EXPECT_STREQ(d.rec.helo, o.helo);
    }
    if (o.mail_from) {
      EXPECT_STREQ(d.rec.mail_from, o.mail_from);
    }
    if (o.rcpt_to) {
      EXPECT_STREQ(d.rec.rcpt_to, o.rcpt_to);
    }
    if (o.auth_data) {
      EXPECT_STREQ(d.rec.auth_data, o.auth_data);
    }
  }
}

TEST(SmtpDialogue, LostClient) {
  {
    Dialogue d;
    d.HangUp();
    EXPECT_EQ(d.Say("HELO mx.example.org\r\n"), SMTP_LOST);
    EXPECT_STREQ(d.rec.helo, "mx.example.org");
  }
  {
    // The notice before the sender reply finds the client gone: nothing more is sent.
    Dialogue d;
    d.HangUp();
    EXPECT_EQ(d.Say("MAIL FROM:<a@b.example>\r\n"), SMTP_LOST);
    EXPECT_EQ(d.rec.error_count, 1u);
    EXPECT_STREQ(d.rec.mail_from, "");
    EXPECT_EQ(d.rec.quit_seen, 0);
  }
  {
    Dialogue d;
    d.HangUp();
    EXPECT_EQ(d.Say("QUIT\r\n"), SMTP_LOST);
    EXPECT_EQ(d.rec.quit_seen, 1);
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
