// Service control: the service's main routine, control handler and runner
// thread, the stop and done events shared with the server core, installing
// and removing the service, and the command-line splitter.
#include "service/service.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/error.h"
#include "platform/event.h"
#include "platform/svcmgr.h"
#include "platform/sys.h"
#include "common/exitcode.h"
#include "common/settings.h"
#include "base/textbuf.h"

using plat::SvcState;

namespace {

constexpr char kServiceName[] = "nestrap";
constexpr char kDisplayName[] = "Bogus SMTP for MX sandwich";

constexpr unsigned kPendingHintMs = 3000;
constexpr long kStopPollMs = 250;
constexpr long kDoneWaitMs = 2500;
constexpr long kStopReportMs = 1000;
constexpr size_t kExePathMax = 512;

// stop_event: a stop was requested, or servermain has finished.
// done_event: servermain has returned.
// ready_event: servermain accepts connections.
// Never destroyed: threads of a server that failed to start may still test
// stop_event while the process ends.
plat::Event& stop_event = *new plat::Event;
plat::Event& done_event = *new plat::Event;
plat::Event& ready_event = *new plat::Event;

int service_mode = 0;
std::atomic<int> service_exit_code{0};
int svc_argc = 0;
char** svc_argv = nullptr;
int (*svc_run)(int, char**) = nullptr;

// The status last reported; written by the service's main routine and the
// control handler, which run on different threads.
std::mutex status_lock;
SvcState cur_state = SvcState::StartPending;
unsigned checkpoint_counter = 0;

char errbuf[256];

int reportlocked(SvcState state, int exitcode, unsigned waithint) {
  cur_state = state;
  unsigned checkpoint = 0;
  if (state == SvcState::Running || state == SvcState::Stopped)
    checkpoint_counter = 0;
  else
    checkpoint = ++checkpoint_counter;
  return plat::svcreport(state, exitcode, checkpoint, waithint);
}

int svcstatus(SvcState state, int exitcode, unsigned waithint) {
  std::lock_guard<std::mutex> g(status_lock);
  return reportlocked(state, exitcode, waithint);
}

void svchandler(int control) {
  std::lock_guard<std::mutex> g(status_lock);
  unsigned hint = 0;
  if (control == plat::kSvcControlStop || control == plat::kSvcControlShutdown) {
    cur_state = SvcState::StopPending;
    hint = kPendingHintMs;
    stop_event.set();
  } else if (control == plat::kSvcControlInterrogate) {
    hint = cur_state == SvcState::StopPending ? kPendingHintMs : 0;
  }
  reportlocked(cur_state, 0, hint);
}

void svcrunner() {
  stop_event.reset();
  done_event.reset();
  service_exit_code = svc_run(svc_argc, svc_argv);
  stop_event.set();
  done_event.set();
}

// Returns false when the service manager could not be reached.
bool svcmain() {
  if (!plat::svcregister(kServiceName, svchandler)) return false;
  if (!svcstatus(SvcState::StartPending, 0, kPendingHintMs)) return false;
  std::thread(svcrunner).detach();
  // Running is reported once servermain listens, so that a start-up failure
  // goes straight from starting to stopped with its exit code.
  bool ready = false;
  while (!stop_event.wait(1)) {
    if (ready) {
      plat::sleepms(kStopPollMs);
      continue;
    }
    if (!ready_event.wait(kStopPollMs)) continue;
    ready = true;
    std::lock_guard<std::mutex> g(status_lock);
    if (cur_state == SvcState::StartPending && !reportlocked(SvcState::Running, 0, 0))
      return false;
  }
  while (!done_event.wait(kDoneWaitMs)) {
  }
  svcstatus(SvcState::Stopped, service_exit_code, 0);
  return true;
}

}  // namespace

int servicemode() { return service_mode; }

void setservicemode(int mode) { service_mode = mode; }

void svcsetargs(int argc, char** argv) {
  svc_argc = argc;
  svc_argv = argv;
}

int svcdispatch(int (*run)(int, char**)) {
  svc_run = run;
  return svcmain() ? service_exit_code.load() : kExitNoService;
}

void signaldone() {
  stop_event.set();
  plat::sleepms(kStopPollMs);
  done_event.set();
}

void signalready() { ready_event.set(); }

int stopsignalled() { return stop_event.isset() ? 1 : 0; }

void setstopevent() { stop_event.set(); }

int svcinstall(const char* settingsfile) {
  char path[kExePathMax + 1];
  if (!plat::exepath(path, sizeof path) || strlen(path) >= kExePathMax) {
    if (path[0] != '\0') plat::setlasterror(plat::kErrNameTooLong);
    printf("Unable to install %s - %s\n", kDisplayName, plat::lasterrortext(errbuf, 255));
    return 0;
  }
  plat::SvcHandle* manager = plat::svcopenmanager();
  if (manager == nullptr) {
    printf("OpenSCManager failed - %s\n", plat::lasterrortext(errbuf, 255));
    return 0;
  }
  plat::SvcAccount account;
  char why[600];
  if (!plat::svcaccount(settings.User, kDefaultUser, settings.LogPath, path, &account, why,
                        sizeof why)) {
    printf("CreateService failed - %s\n", why);
    plat::svcclose(manager);
    return 0;
  }
  if (settingsfile != nullptr && strlen(settingsfile) >= sizeof account.settings) {
    plat::setlasterror(plat::kErrNameTooLong);
    printf("CreateService failed - %s\n", plat::lasterrortext(errbuf, 255));
    plat::svcclose(manager);
    return 0;
  }
  if (settingsfile != nullptr) textcopy(account.settings, settingsfile);
  plat::SvcHandle* service = plat::svccreate(manager, kServiceName, kDisplayName, path, account);
  if (service != nullptr) {
    printf("%s installed (%s).\n", kDisplayName, path);
    if (account.logmoved)
      printf("It logs to %s: set LogPath=%s in the settings file to match.\n", account.logdir,
             account.logdir);
    plat::svcclose(service);
  } else {
    printf("CreateService failed - %s\n", plat::lasterrortext(errbuf, 255));
  }
  plat::svcclose(manager);
  return service != nullptr ? 1 : 0;
}

int svcremove() {
  plat::SvcHandle* manager = plat::svcopenmanager();
  if (manager == nullptr) {
    printf("OpenSCManager failed - %s\n", plat::lasterrortext(errbuf, 255));
    return 0;
  }
  plat::SvcHandle* service = plat::svcopen(manager, kServiceName);
  if (service == nullptr) {
    printf("OpenService failed - %s\n", plat::lasterrortext(errbuf, 255));
    plat::svcclose(manager);
    return 0;
  }
  SvcState state;
  if (plat::svcstop(service, &state)) {
    printf("Stopping %s.", kDisplayName);
    fflush(stdout);
    plat::sleepms(kStopReportMs);
    while (plat::svcquery(service, &state) && state == SvcState::StopPending) {
      printf(".");
      fflush(stdout);
      plat::sleepms(kStopReportMs);
    }
    printf(state == SvcState::Stopped ? "\n%s stopped.\n" : "\n%s failed to stop.\n",
           kDisplayName);
  }
  int removed = plat::svcdelete(service);
  if (!removed)
    printf("DeleteService failed - %s\n", plat::lasterrortext(errbuf, 255));
  else
    printf("%s removed.\n", kDisplayName);
  fflush(stdout);
  plat::svcclose(service);
  plat::svcclose(manager);
  return removed;
}

// ---- Command-line splitter -------------------------------------------

namespace {

bool isblank_(char c) { return c == ' ' || c == '\t'; }

// One pass over the text; with `out` null it only counts. Each argument is
// written zero-terminated into `out` and its start stored in `argv`.
int splitcmdline(const char* text, char* out, char** argv) {
  int argc = 0;
  size_t n = 0;  // characters written to out
  const char* s = text;
  auto put = [&](char c) {
    if (out != nullptr) out[n] = c;
    n++;
  };
  auto begin = [&]() {
    if (out != nullptr) argv[argc] = out + n;
    argc++;
  };

  // The program name: quoted as a whole, or up to the first blank.
  begin();
  if (*s == '"') {
    s++;
    while (*s != '\0' && *s != '"') put(*s++);
    if (*s == '"') s++;
  } else {
    while (*s != '\0' && !isblank_(*s)) put(*s++);
  }
  put('\0');
  while (isblank_(*s)) s++;
  if (*s == '\0') return argc;

  begin();
  int q = 0;             // 1 while quoting is open
  size_t backslash = 0;  // backslashes just copied
  while (*s != '\0') {
    if (isblank_(*s) && q == 0) {
      put('\0');
      while (isblank_(*s)) s++;
      if (*s == '\0') return argc;
      begin();
      backslash = 0;
      continue;
    }
    if (*s == '\\') {
      put(*s++);
      backslash++;
      continue;
    }
    if (*s != '"') {
      put(*s++);
      backslash = 0;
      continue;
    }
    // A run of double quotes; 2n backslashes before it leave n, 2n+1 leave
    // n and make the first quote a literal one.
    n -= backslash / 2;
    if (backslash % 2 == 1) {
      n--;
      put('"');
    } else {
      q++;
    }
    backslash = 0;
    s++;
    while (*s == '"') {
      s++;
      if (++q == 3) {
        put('"');
        q = 0;
      }
    }
    if (q == 2) q = 0;
  }
  put('\0');
  return argc;
}

}  // namespace

char** cmdlinetoargv(const char* text, int* count) {
  if (count == nullptr || text == nullptr || text[0] == '\0') {
    plat::setlasterror(plat::kErrInvalidParameter);
    return nullptr;
  }
  int argc = splitcmdline(text, nullptr, nullptr);
  size_t ptrbytes = sizeof(char*) * (size_t)(argc + 1);
  char** argv = (char**)malloc(ptrbytes + strlen(text) + 1);
  if (argv == nullptr) {
    plat::setlasterror(plat::kErrNoMemory);
    return nullptr;
  }
  splitcmdline(text, (char*)argv + ptrbytes, argv);
  argv[argc] = nullptr;
  *count = argc;
  return argv;
}
