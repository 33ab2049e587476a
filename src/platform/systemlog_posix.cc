#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
// The entries' source location (this file) tells an operator nothing and
// costs the journal three fields per line.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/metrics.h"
#include "base/textbuf.h"
#include "platform/systemlog.h"

namespace plat {

namespace {

constexpr const char* kJournalSocket = "/run/systemd/journal/socket";
constexpr const char* kSyslogSocket = "/dev/log";
// A syslog socket that is gone is looked for again at most this often.
constexpr int kReconnectSeconds = 1;
// Longest wait for a busy syslog socket before its line is dropped.
constexpr int kBusyWaitMs = 100;
// How long the sender lets lines gather after a batch.
constexpr int kGatherMs = 5;

// One entry in one allocation: the journal's "NAME=value" fields (MESSAGE
// first), each ended by a NUL, or the syslog message ready to send.
using Entry = std::string;
// Fields of a journal entry at most: the connection's and four of our own.
constexpr size_t kJournalFields = 40;

struct Sender {
  int kind = kSystemLogOff;
  std::string path;
  std::string host;
  int fd = -1;
  time_t retry = 0;
  std::mutex m;
  std::condition_variable cv;
  std::condition_variable drained;
  std::vector<Entry> queue;
  // Entries queued or taken by the sender and not yet delivered.
  std::atomic<size_t> pending{0};
  bool busy = false;
  bool idle = false;  // waiting for a line, not gathering them
  bool stopping = false;
  std::atomic<bool> abandon{false};
  std::thread thread;
};

std::atomic<Sender*> g_sender{nullptr};

void counted(bool ok) {
  metrics::add(ok ? metrics::counters.lines_written[metrics::kLogSystem]
                  : metrics::counters.lines_lost[metrics::kLogSystem]);
}

bool syslogconnect(Sender* s) {
  if (s->fd >= 0) return true;
  time_t now = time(nullptr);
  if (now < s->retry) return false;
  s->retry = now + kReconnectSeconds;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  sockaddr_un a = {};
  a.sun_family = AF_UNIX;
  textcopy(a.sun_path, s->path.c_str(), sizeof a.sun_path - 1);
  if (connect(fd, (sockaddr*)&a, sizeof a) != 0) {
    close(fd);
    return false;
  }
  s->fd = fd;
  return true;
}

bool deliver(Sender* s, const Entry& e) {
  if (s->kind == kSystemLogJournal) {
    iovec iov[kJournalFields];
    int n = 0;
    for (size_t at = 0; at < e.size() && n < (int)kJournalFields; n++) {
      size_t end = e.find('\0', at);
      if (end == std::string::npos) end = e.size();
      iov[n] = {(void*)(e.data() + at), end - at};
      at = end + 1;
    }
    return sd_journal_sendv(iov, n) >= 0;
  }
  if (!syslogconnect(s)) return false;
  // A busy logger gets a moment (this thread holds up nobody; the queue
  // takes the lines meanwhile), then the line is dropped.
  for (int tries = 0; tries < 2; tries++) {
    if (send(s->fd, e.data(), e.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return true;
    if (errno != EAGAIN && errno != EWOULDBLOCK) break;
    pollfd p = {s->fd, POLLOUT, 0};
    poll(&p, 1, kBusyWaitMs);
  }
  if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) {
    close(s->fd);
    s->fd = -1;
  }
  return false;
}

// Takes what is queued at once, and after each batch lets lines gather for
// a moment: under load this thread and the log daemon wake once per batch
// instead of once per line, which is what a line costs them most.
void run(Sender* s) {
  std::vector<Entry> batch;
  std::unique_lock<std::mutex> lock(s->m);
  for (;;) {
    s->idle = true;
    s->cv.wait(lock, [s] { return !s->queue.empty() || s->stopping; });
    s->idle = false;
    if (s->queue.empty()) return;
    batch.swap(s->queue);
    s->busy = true;
    lock.unlock();
    for (const Entry& e : batch) {
      // Past the stop's wait, what is left of the batch is lost, not sent.
      counted(!s->abandon.load() && deliver(s, e));
      s->pending--;
    }
    batch.clear();
    lock.lock();
    s->busy = false;
    if (s->queue.empty()) s->drained.notify_all();
    s->cv.wait_for(lock, std::chrono::milliseconds(kGatherMs), [s] { return s->stopping; });
  }
}

void stamp(char* out, size_t size) {
  timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm t;
  gmtime_r(&tv.tv_sec, &t);
  snprintf(out, size, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", t.tm_year + 1900, t.tm_mon + 1,
           t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, (long)tv.tv_usec);
}

}  // namespace

int systemlogstart(const char* where, const char* host) {
  if (g_sender != nullptr || where[0] == '\0' || strcmp(where, "0") == 0) return kSystemLogOff;
  Sender* s = new Sender;
  s->host = host;
  if (where[0] == '/') {
    s->kind = kSystemLogSyslog;
    s->path = where;
  } else if (access(kJournalSocket, W_OK) == 0) {
    s->kind = kSystemLogJournal;
  } else {
    s->kind = kSystemLogSyslog;
    s->path = kSyslogSocket;
  }
  s->thread = std::thread(run, s);
  g_sender = s;
  return s->kind;
}

void systemlogsend(const char* message, const LogField* fields, size_t count) {
  Sender* s = g_sender;
  if (s == nullptr) return;
  Entry e;
  if (s->kind == kSystemLogJournal) {
    e.reserve(1024);
    e += "MESSAGE=";
    for (const char* m = message; *m; m++) e += (unsigned char)*m < 32 ? ' ' : *m;
    static constexpr char kOwn[] = "\0SYSLOG_IDENTIFIER=nestrap\0SYSLOG_FACILITY=3\0PRIORITY=6";
    e.append(kOwn, sizeof kOwn - 1);
    for (size_t i = 0; i < count && i + 4 < kJournalFields; i++) {
      e += '\0';
      e += fields[i].name;
      e += '=';
      e += fields[i].value;
    }
  } else {
    char when[48];
    stamp(when, sizeof when);
    e = syslogformat(when, s->host.c_str(), (long)getpid(), message, fields, count);
  }
  std::lock_guard<std::mutex> lock(s->m);
  if (s->pending >= kSystemLogQueue || s->stopping) {
    counted(false);
    return;
  }
  s->queue.push_back(std::move(e));
  s->pending++;
  if (s->idle) s->cv.notify_one();
}

void systemlogstop() {
  Sender* s = g_sender;
  if (s == nullptr) return;
  {
    std::unique_lock<std::mutex> lock(s->m);
    s->drained.wait_for(lock, std::chrono::milliseconds(kSystemLogDrainMs),
                        [s] { return s->queue.empty() && !s->busy; });
    for (size_t i = 0; i < s->queue.size(); i++) counted(false);
    s->queue.clear();
    s->stopping = true;
    s->abandon = true;
    s->cv.notify_all();
  }
  s->thread.join();
  if (s->fd >= 0) close(s->fd);
  g_sender = nullptr;
  delete s;
}

}  // namespace plat
