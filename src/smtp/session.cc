#include "smtp/session.h"

#include <cstring>
#include <new>

#include "platform/error.h"
#include "platform/eventloop.h"
#include "platform/net.h"
#include "platform/sys.h"
#include "common/log.h"
#include "common/settings.h"
#include "base/textbuf.h"
#include "smtp/commands.h"
#include "smtp/reply.h"

namespace {

constexpr size_t kDrainBufferSize = 3072;
// Room for everything one input can bring out: a notice and one reply, each
// at most a dialogue text; a client that does not read stops being read.
constexpr size_t kOutputCap = 8192;
// Input kept for the emulation: room for a line SMTP allows (RFC 5321
// 4.5.3.1.4: 1,000 bytes with its CR LF) and what a client sent behind it.
constexpr size_t kMaxLineLength = 1000;
constexpr size_t kInputCap = 2 * kMaxLineLength + 48;
// What a session takes out of its input next.
enum Taken { kNoLine, kLine, kLongLine };
// Finished sessions a loop keeps for its next ones, so that a new session
// needs no allocation while connections come and go.
constexpr uint32_t kSpareSessions = 64;

// The session's timers: the response delay, the read time-out (also for
// bytes the client does not take) and the wait for the last bytes at close.
enum TimerClass { kTimerTarpit = 0, kTimerRead = 1, kTimerDrain = 2 };

long timerlength(int cls) {
  switch (cls) {
    case kTimerTarpit: return settings.TarpitTime;
    case kTimerRead: return (long)settings.RxTimeOut;
    default: return (long)(settings.RxTimeOut / 2);
  }
}

enum State { kBanner, kReading, kWriting, kDraining };
enum Next { kReadOn, kCloseAfter };

struct Session;

}  // namespace

struct SessionLoop {
  plat::EventLoop* events;
  SessionDone done;
  void* ctx;
  Session* all;  // every session held, for a stop
  uint32_t count;
  Session* spare;  // finished sessions kept for the next ones
  uint32_t spares;
  plat::Watch listener;
  void (*ready)(void*);
  void* readyctx;
  char line[kLineBufferSize];
};

namespace {

struct Session {
  ReplySink sink;  // first: the emulation's replies come in through it
  SessionLoop* loop;
  ConnectionRecord* r;
  Session* prev;  // in loop->all
  Session* next;
  plat::Watch watch;
  plat::Timer timer;
  plat::Output out;  // held bytes wait for the response delay
  int state;
  int after;
  bool lost;
  bool heldlog;  // the first held line is logged when it goes
  int64_t started;
  uint32_t inputs;
  char outbuf[kOutputCap];
  bool firstread;  // the first input is still to come
  bool skipping;   // in a line too long to keep: dropped up to its end
  char lastbyte;   // the last byte dropped while skipping
  size_t inlen;
  char in[kInputCap];
};

void signal(Session* s, uint32_t bit) { s->r->signals |= bit; }

// The client went away before it said QUIT or got the 421.
void earlyclose(Session* s) {
  if (s->r->quit_seen == 0) signal(s, kSignalEarlyClose);
}

// An HTTP request line, a TLS record (handshake or alert) or bytes no
// command holds, in the part of the first input up to its first line end.
bool nonsmtp(const char* data, size_t n) {
  static const char* const kMethods[] = {"GET ", "POST ", "HEAD ", "PUT ", "OPTIONS ",
                                         "CONNECT ", "DELETE ", "TRACE ", "PATCH "};
  for (const char* m : kMethods)
    if (n >= strlen(m) && memcmp(data, m, strlen(m)) == 0) return true;
  for (size_t i = 0; i < n && data[i] != '\n'; i++) {
    unsigned char c = (unsigned char)data[i];
    if ((c < 0x20 && c != '\t' && c != '\r') || c >= 0x7F) return true;
  }
  return false;
}

void disarm(Session* s) { plat::timerdisarm(s->loop->events, &s->timer); }

void arm(Session* s, int cls) { plat::timerarm(s->loop->events, &s->timer, cls, timerlength(cls)); }

// Registers, changes or drops the loop's interest in the session's socket.
void watch(Session* s, int events) {
  if (!plat::watchset(s->loop->events, &s->watch, events)) {
    logmsg(LOG_ERR, "%s %s cannot watch the connection (0x%X)", s->r->thread_tag,
           s->r->client_ip, plat::lasterror());
    s->lost = true;
  }
}

}  // namespace

int socketerrorlevel(int err) { return plat::peererror(err) ? LOG_CONN : LOG_ERR; }

namespace {

void logstep(const Session* s, const char* step) {
  logmsg(LOG_CONN, "%s %s %s", s->r->thread_tag, s->r->client_ip, step);
}

void finish(Session* s) {
  logstep(s, "Session terminated.");
  s->r->duration_ms = plat::epochms() - s->r->conn_ms;
  disarm(s);
  SessionLoop* l = s->loop;
  (s->prev ? s->prev->next : l->all) = s->next;
  if (s->next) s->next->prev = s->prev;
  l->count--;
  ConnectionRecord* r = s->r;
  if (l->spares < kSpareSessions) {
    s->next = l->spare;
    l->spare = s;
    l->spares++;
  } else {
    delete s;
  }
  l->done(r, l->ctx);
}

void closed(Session* s, bool ok) {
  logstep(s, ok ? "Socket closed." : "Error closing socket.");
  finish(s);
}

// The client is gone, silent or past a stop: reset the connection.
void disconnected(Session* s) {
  logstep(s, "Remote disconnected !");
  logstep(s, "Closing socket...");
  plat::watchclosing(s->loop->events, &s->watch);
  closed(s, ResetConnection(s->r->sock) == 1);
}

// Orderly close: send side shut, then one read of whatever the client still
// sends (up to half the read time-out) before the socket goes.
void closegracefully(Session* s) {
  logstep(s, "Closing socket...");
  if (!plat::shutdownsend(s->r->sock)) {
    int err = plat::lasterror();
    logmsg(socketerrorlevel(err), "*** ShutdownConnection: error during shutdown() 0x%X", err);
    plat::watchclosing(s->loop->events, &s->watch);
    plat::closesocket(s->r->sock);
    closed(s, false);
    return;
  }
  s->state = kDraining;
  watch(s, plat::kPollIn);
  if (s->lost) {
    disconnected(s);
    return;
  }
  arm(s, kTimerDrain);
}

void enddrain(Session* s, bool readable) {
  if (readable) {
    char drain[kDrainBufferSize];
    plat::recvsocket(s->r->sock, drain, sizeof drain - 1);
  }
  plat::watchclosing(s->loop->events, &s->watch);
  bool ok = plat::closesocket(s->r->sock) == 1;
  if (!ok) {
    int err = plat::lasterror();
    logmsg(socketerrorlevel(err), "*** ShutdownConnection: error during closesocket() 0x%X", err);
  }
  closed(s, ok);
}

// Sends what may go now. Returns 0 when the client is gone.
int flush(Session* s) {
  if (plat::outputflush(&s->out, s->r->sock)) return 1;
  s->lost = true;
  earlyclose(s);
  return 0;
}

int sessionput(ReplySink* self, const char* data, size_t len, long delay_ms,
               const ConnectionRecord* log) {
  Session* s = reinterpret_cast<Session*>(self);
  if (s->lost) return 0;
  bool holds = delay_ms > 0 && !s->out.held;
  if (!plat::outputput(&s->out, data, len, delay_ms > 0)) {
    s->lost = true;
    return 0;
  }
  if (holds) s->heldlog = log != nullptr;
  if (s->out.held) return 1;
  if (log != nullptr) LogDialogLine(log, data);
  return flush(s);
}

// After each step: waits for what the session needs next.
void settle(Session* s) {
  if (s->lost) {
    disconnected(s);
    return;
  }
  if (plat::outputpending(&s->out)) {
    s->state = kWriting;
    watch(s, plat::outputunsent(&s->out) ? plat::kPollOut : -1);
    // Held bytes go when the response delay is over; bytes a client does
    // not take are as good as a silent client.
    if (!s->out.held)
      arm(s, kTimerRead);
    else if (s->timer.cls != kTimerTarpit)
      arm(s, kTimerTarpit);
    if (s->lost) disconnected(s);
    return;
  }
  if (s->after == kCloseAfter) {
    closegracefully(s);
    return;
  }
  s->state = kReading;
  watch(s, plat::kPollIn);
  if (s->lost) {
    disconnected(s);
    return;
  }
  arm(s, kTimerRead);
}

void sendbanner(Session* s) {
  if (plat::pendingbytes(s->r->sock) > 0) signal(s, kSignalPregreet);
  logstep(s, "Sending banner message");
  char date[128];
  plat::gmtdate(date);
  char banner[kLineBufferSize];
  textformat(banner, sizeof banner, "220 %s ESMTP Sendmail 8.2.0/8.2.0; %s", settings.HostName,
             date);
  if (SendReply(&s->sink, banner, SMTP_CONTINUE) == SMTP_LOST) {
    disconnected(s);
    return;
  }
  logstep(s, "Waiting for client input");
  s->after = kReadOn;
  settle(s);
}

// What the single read of tempfail mode shows of the client's manners.
void tempfailsignals(Session* s, const char* input, size_t n) {
  const char* lf = (const char*)memchr(input, '\n', n);
  size_t line = lf ? (size_t)(lf - input) + 1 : n;
  if (lf && (lf == input || lf[-1] != '\r')) signal(s, kSignalBareLf);
  if (line > kMaxLineLength) signal(s, kSignalLongLine);
  if (line < n) signal(s, kSignalPipelining);
}

void tempfail(Session* s, char* input) {
  if (ExtractHeloArgument(input, s->r->helo, sizeof s->r->helo)) logstep(s, input);
  logstep(s, "Sending tempfail message");
  if (SendReply(&s->sink, kTempfailText, SMTP_CLOSE) == SMTP_LOST) {
    disconnected(s);
    return;
  }
  s->after = kCloseAfter;
  settle(s);
}

void dropinput(Session* s, size_t n) {
  memmove(s->in, s->in + n, s->inlen - n);
  s->inlen -= n;
}

// Takes the next line out of the input. kLine: the line, its line end
// included, is in `line`, zero-terminated. kLongLine: a line longer than
// SMTP allows has ended (its head was logged when it was found too long).
int takeline(Session* s, char* line) {
  const char* lf = (const char*)memchr(s->in, '\n', s->inlen);
  if (s->skipping) {
    if (lf == nullptr) {
      if (s->inlen > 0) s->lastbyte = s->in[s->inlen - 1];
      s->inlen = 0;
      return kNoLine;
    }
    size_t n = (size_t)(lf - s->in) + 1;
    if ((n >= 2 ? lf[-1] : s->lastbyte) != '\r') signal(s, kSignalBareLf);
    dropinput(s, n);
    s->skipping = false;
    return kLongLine;
  }
  size_t n = lf ? (size_t)(lf - s->in) + 1 : s->inlen;
  if (n > kMaxLineLength) {
    signal(s, kSignalLongLine);
    memcpy(line, s->in, kMaxLineLength);
    line[kMaxLineLength] = '\0';
    LogDialogLine(s->r, line);
    if (lf) {
      if (lf[-1] != '\r') signal(s, kSignalBareLf);
      dropinput(s, n);
      return kLongLine;
    }
    s->skipping = true;
    return takeline(s, line);
  }
  if (lf == nullptr) return kNoLine;
  if (lf == s->in || lf[-1] != '\r') signal(s, kSignalBareLf);
  memcpy(line, s->in, n);
  line[n] = '\0';
  dropinput(s, n);
  return kLine;
}

// Answers one line; false when the client is gone.
bool answer(Session* s, int taken, const char* line) {
  s->inputs++;
  s->r->inputs = s->inputs;
  int rc;
  if (s->inputs > kMaxDialogueInputs || plat::nowms() - s->started >= kMaxDialogueMs)
    rc = RefuseOverLimit(s->r, taken == kLine ? line : "", &s->sink);
  else if (taken == kLongLine)
    rc = RefuseLongLine(s->r, &s->sink);
  else
    rc = EmulateSmtp(s->r, line, &s->sink);
  if (rc == SMTP_LOST) {
    disconnected(s);
    return false;
  }
  s->after = rc == SMTP_CONTINUE ? kReadOn : kCloseAfter;
  return true;
}

// Answers the whole lines of the input in order, each once the reply to the
// one before has gone out, then waits for what comes next.
void answerlines(Session* s) {
  char* line = s->loop->line;
  while (!s->lost && !plat::outputpending(&s->out) && s->after == kReadOn) {
    int taken = takeline(s, line);
    if (taken == kNoLine) break;
    // More bytes behind this line: the client did not wait for the reply.
    if (s->inlen > 0) signal(s, kSignalPipelining);
    if (!answer(s, taken, line)) return;
  }
  settle(s);
}

void readinput(Session* s) {
  char* line = s->loop->line;
  char* to = line;
  size_t room = kLineBufferSize - 1;
  if (settings.FakeSmtp == 1) {
    to = s->in + s->inlen;
    room = sizeof s->in - s->inlen;
  } else {
    memset(line, 0, kLineBufferSize);
  }
  long n = plat::recvsocket(s->r->sock, to, room);
  if (n < 0 && plat::wouldblock()) return;
  if (n <= 0) {
    earlyclose(s);
    disconnected(s);
    return;
  }
  disarm(s);
  if (s->firstread && nonsmtp(to, (size_t)n)) signal(s, kSignalNonSmtp);
  s->firstread = false;
  if (settings.FakeSmtp == 1) {
    s->inlen += (size_t)n;
    answerlines(s);
  } else {
    s->r->inputs = 1;
    tempfailsignals(s, line, (size_t)n);
    tempfail(s, line);
  }
}

void onevent(void* ctx, int events) {
  Session* s = (Session*)ctx;
  switch (s->state) {
    case kReading:
      readinput(s);
      break;
    case kDraining:
      enddrain(s, true);
      break;
    case kWriting:
      if ((events & (plat::kPollOut | plat::kPollErr)) == 0) break;
      if (!plat::outputunsent(&s->out)) {
        watch(s, -1);  // an error while only held bytes wait shows when they go
        break;
      }
      if (!flush(s)) {
        disconnected(s);
        return;
      }
      answerlines(s);
      break;
    default:
      // Nothing is read or written before the banner: the error shows when
      // the banner goes, as it did when the session slept.
      watch(s, -1);
      break;
  }
}

void ontimer(void* ctx, int cls) {
  Session* s = (Session*)ctx;
  if (s->state == kBanner) {
    sendbanner(s);
  } else if (s->state == kDraining) {
    enddrain(s, false);
  } else if (cls == kTimerTarpit && s->out.held) {
    const char* first = plat::outputrelease(&s->out);
    // Bytes that came while the reply waited: the next command did not.
    if (plat::pendingbytes(s->r->sock) > 0) signal(s, kSignalPipelining);
    if (s->heldlog) LogDialogLine(s->r, first);
    flush(s);
    answerlines(s);
  } else {
    disconnected(s);
  }
}

void listenerready(void* ctx, int) {
  SessionLoop* l = (SessionLoop*)ctx;
  l->ready(l->readyctx);
}

}  // namespace

SessionLoop* loopcreate(SessionDone done, void* ctx) {
  SessionLoop* l = new (std::nothrow) SessionLoop;
  if (l == nullptr) return nullptr;
  l->events = plat::eventloopcreate();
  if (l->events == nullptr) {
    delete l;
    return nullptr;
  }
  l->done = done;
  l->ctx = ctx;
  l->all = nullptr;
  l->count = 0;
  l->ready = nullptr;
  l->readyctx = nullptr;
  l->spare = nullptr;
  l->spares = 0;
  return l;
}

void loopfree(SessionLoop* l) {
  if (l == nullptr) return;
  plat::eventloopfree(l->events);
  while (Session* s = l->spare) {
    l->spare = s->next;
    delete s;
  }
  delete l;
}

int loopstart(SessionLoop* l, ConnectionRecord* r) {
  if (r->sock == kInvalidSocket) return 0;
  Session* s = l->spare;
  if (s != nullptr) {
    l->spare = s->next;
    l->spares--;
  } else {
    s = new (std::nothrow) Session;
    if (s == nullptr) return 0;
  }
  s->sink.put = sessionput;
  s->loop = l;
  s->r = r;
  s->watch = {r->sock, onevent, s};
  s->timer = {ontimer, s};
  s->out = {s->outbuf, sizeof s->outbuf};
  s->lost = s->heldlog = false;
  s->started = plat::nowms();
  s->inputs = 0;
  s->firstread = true;
  s->skipping = false;
  s->lastbyte = '\0';
  s->inlen = 0;
  s->after = kReadOn;
  s->prev = nullptr;
  s->next = l->all;
  if (l->all) l->all->prev = s;
  l->all = s;
  l->count++;

  logstep(s, "Session started");
  // Only the JSON line carries the address the client reached.
  if (settings.JsonLines == 1) plat::localaddress(r->sock, &r->server_addr);
  r->helo[0] = '\0';
  if (settings.FakeSmtp == 1) {
    r->mail_from[0] = '\0';
    r->rcpt_to[0] = '\0';
    r->rset_seen = 0;
    r->error_count = 0;
    r->rcpt_count = 0;
    r->vrfy_count = 0;
    r->noop_count = 0;
  }
  s->state = kBanner;
  if (settings.TarpitTime > 0)
    arm(s, kTimerTarpit);
  else
    sendbanner(s);
  return 1;
}

void loopturn(SessionLoop* l, long max_wait_ms) { plat::eventloopturn(l->events, max_wait_ms); }

int loopwatchlistener(SessionLoop* l, SocketHandle s, void (*ready)(void*), void* ctx) {
  l->ready = ready;
  l->readyctx = ctx;
  l->listener = {s, listenerready, l};
  return plat::watchlistener(l->events, &l->listener);
}

void loopunwatchlistener(SessionLoop* l, SocketHandle) {
  plat::watchset(l->events, &l->listener, -1);
}

void loopwake(SessionLoop* l) { plat::eventloopwake(l->events); }

void loopstopall(SessionLoop* l) {
  while (l->all != nullptr) {
    Session* s = l->all;
    if (s->state == kDraining)
      enddrain(s, false);
    else
      disconnected(s);
  }
}

uint32_t loopcount(const SessionLoop* l) { return l->count; }

int ResetConnection(SocketHandle s) {
  if (s == kInvalidSocket) {
    logmsg(LOG_ERR, "*** ShutdownConnection: invalid socket !!!");
    return 0;
  }
  plat::setabortive(s);
  if (!plat::closesocket(s)) {
    int err = plat::lasterror();
    logmsg(socketerrorlevel(err), "*** ShutdownConnection Err: 0x%X", err);
    return 0;
  }
  return 1;
}

void RefuseConnection(ConnectionRecord* r) {
  char reply[kDialogTextCap + 3];
  textformat(reply, sizeof reply, "%s\r\n", kTempfailText);
  // A fresh connection's send buffer takes the line; a client that cannot
  // take it now is not waited for (the socket is non-blocking).
  plat::sendsocket(r->sock, reply, strlen(reply));
  RecordError(r, kTempfailText);
  plat::shutdownsend(r->sock);
  plat::closesocket(r->sock);
}

int ExtractHeloArgument(char* input, char* helo, size_t helosize) {
  textreplace(input, '\t', ' ');
  textreplace(input, '|', ' ');
  char* end = strchr(input, '\r');
  if (end == nullptr) end = strchr(input, '\n');
  if (end == nullptr) return 0;
  *end = '\0';
  const char* sp = strchr(input, ' ');
  if (sp != nullptr) {
    while (*sp == ' ') sp++;
    textcopy(helo, helosize, sp, kTextCap);
  }
  return 1;
}
