#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "platform/error.h"
#include "platform/event.h"
#include "platform/sys.h"
#include "base/textbuf.h"

namespace plat {

const char kPathSep = '/';

const int kSigInt = SIGINT;
const int kSigTerm = SIGTERM;
const int kSigAbrt = SIGABRT;
const int kSigQuit = SIGQUIT;
const int kSigHup = SIGHUP;

int exepath(char* buf, size_t size) {
  if (size == 0) return 0;
  ssize_t n = readlink("/proc/self/exe", buf, size - 1);
  if (n <= 0) {
    buf[0] = '\0';
    return 0;
  }
  buf[n] = '\0';
  return 1;
}

int setcurrentdir(const char* dir) { return chdir(dir) == 0 ? 1 : 0; }

int getcurrentdir(char* buf, size_t size) {
  if (getcwd(buf, size) == nullptr) {
    if (size) buf[0] = '\0';
    return 0;
  }
  return 1;
}

namespace {

constexpr const char* kSyslogSocket = "/dev/log";
constexpr time_t kSyslogRetrySeconds = 10;

std::mutex syslog_lock;
int syslog_fd = -1;
time_t syslog_retry = 0;

// REQUIRES: syslog_lock held.
bool syslogconnect() {
  if (syslog_fd >= 0) return true;
  time_t now = time(nullptr);
  if (now < syslog_retry) return false;
  syslog_retry = now + kSyslogRetrySeconds;
  syslog_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (syslog_fd < 0) return false;
  struct sockaddr_un sa;
  memset(&sa, 0, sizeof sa);
  sa.sun_family = AF_UNIX;
  textcopy(sa.sun_path, sizeof sa.sun_path, kSyslogSocket);
  if (connect(syslog_fd, (struct sockaddr*)&sa, sizeof sa) != 0) {
    close(syslog_fd);
    syslog_fd = -1;
    return false;
  }
  return true;
}

}  // namespace

// Written straight to the system logger's socket without waiting: a busy or
// missing logger loses the message instead of holding up a session.
void debugoutput(const char* text) {
  char msg[9300];
  size_t len = textformat(msg, sizeof msg, "<%d>%s[%d]: %s", LOG_DAEMON | LOG_DEBUG,
                          programname(), (int)getpid(), text);
  std::lock_guard<std::mutex> g(syslog_lock);
  if (!syslogconnect()) return;
  if (send(syslog_fd, msg, len, MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno != EAGAIN &&
      errno != EWOULDBLOCK && errno != ENOBUFS) {
    close(syslog_fd);
    syslog_fd = -1;
  }
}

bool stderrisjournal() {
  const char* v = getenv("JOURNAL_STREAM");
  unsigned long long dev = 0, ino = 0;
  if (v == nullptr || sscanf(v, "%llu:%llu", &dev, &ino) != 2) return false;
  struct stat st;
  return fstat(2, &st) == 0 && (unsigned long long)st.st_dev == dev &&
         (unsigned long long)st.st_ino == ino;
}

uint32_t threadid() { return (uint32_t)syscall(SYS_gettid); }

void lowerprocesspriority() {
  errno = 0;
  int cur = getpriority(PRIO_PROCESS, 0);
  if (errno == 0) (void)setpriority(PRIO_PROCESS, 0, cur + 5);
}

void lowerthreadpriority() {
  // On Linux a thread id names the thread alone for setpriority().
  id_t tid = (id_t)syscall(SYS_gettid);
  errno = 0;
  int cur = getpriority(PRIO_PROCESS, tid);
  if (errno == 0) (void)setpriority(PRIO_PROCESS, tid, cur + 1);
}

void sleepms(long ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

long raisedescriptorlimit() {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
  if (rl.rlim_cur < rl.rlim_max) {
    rlim_t want = rl.rlim_max;
    rl.rlim_cur = want;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0) getrlimit(RLIMIT_NOFILE, &rl);
  }
  if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur > 0x7FFFFFFF) return 0x7FFFFFFF;
  return (long)rl.rlim_cur;
}

static void fill(SysTime* t, const struct tm& tm) {
  t->year = (uint16_t)(tm.tm_year + 1900);
  t->month = (uint16_t)(tm.tm_mon + 1);
  t->dayofweek = (uint16_t)tm.tm_wday;
  t->day = (uint16_t)tm.tm_mday;
  t->hour = (uint16_t)tm.tm_hour;
  t->minute = (uint16_t)tm.tm_min;
  t->second = (uint16_t)tm.tm_sec;
  t->millis = 0;
}

void utcnow(SysTime* t) {
  time_t now = time(nullptr);
  struct tm tm;
  gmtime_r(&now, &tm);
  fill(t, tm);
}

void localnow(SysTime* t) {
  time_t now = time(nullptr);
  struct tm tm;
  localtime_r(&now, &tm);
  fill(t, tm);
}

void socketinfo(char* desc, size_t descsize, char* status, size_t statussize, long* lo, long* hi) {
  textcopy(desc, descsize, "POSIX sockets");
  struct utsname u;
  if (uname(&u) == 0)
    textformat(status, statussize, "%s %s", u.sysname, u.release);
  else
    textcopy(status, statussize, "Running");
  *lo = 2;
  *hi = 2;
}

const int kErrInvalidParameter = EINVAL;
const int kErrNameTooLong = ENAMETOOLONG;
const int kErrNoMemory = ENOMEM;

int lasterror() { return errno; }
void setlasterror(int code) { errno = code; }

void errortext(int code, char* buf, size_t size) {
  char tmp[256];
  // GNU strerror_r may return a static string instead of filling tmp.
  const char* s = strerror_r(code, tmp, sizeof tmp);
  textcopy(buf, size, s);
}

static sigset_t shutdown_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGABRT);
  sigaddset(&set, SIGQUIT);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGUSR1);
  sigaddset(&set, SIGUSR2);
  return set;
}

void blocksignals() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  sigset_t set = shutdown_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

static std::atomic<void (*)(int)> stop_signal_handler{nullptr};
static std::atomic<void (*)(int)> reload_signal_handler{nullptr};

void setstopsignalhandler(void (*handler)(int)) { stop_signal_handler.store(handler); }
void setreloadsignalhandler(void (*handler)(int)) { reload_signal_handler.store(handler); }

void startsignalthread(void (*handler)(int)) {
  std::thread([handler] {
    sigset_t set = shutdown_signals();
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0) continue;
      if (sig == SIGUSR1 || sig == SIGUSR2) continue;
      if (sig == SIGHUP) {
        if (void (*reload)(int) = reload_signal_handler.load()) reload(sig);
        continue;
      }
      void (*stop)(int) = stop_signal_handler.load();
      if (sig == SIGTERM && stop != nullptr)
        stop(sig);
      else
        handler(sig);
    }
  }).detach();
}

const char* commandline() { return nullptr; }

const char* getenvvar(const char* name) { return getenv(name); }

}  // namespace plat
