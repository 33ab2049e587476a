// How the server stops. Three causes meet in initshutdown: a signal
// (SIGINT, SIGTERM, SIGQUIT, through the signal thread), a stop from the
// service manager (its stop event, turned into a shutdown by whichever of
// the main thread and the logger looks first, see isstopping) and a failure
// (failshutdown, which notes its exit code before anything else runs).
//
// The order that follows: initshutdown raises shutdown_flag, sets the stop
// event, wakes every thread and closes the listener, once. The workers close
// their sessions and hand in the records; the logger writes what was handed
// in once every worker has ended; the main thread waits for the listener to
// be closed, then for every thread, releases what the start made
// (cleanshutdown) and returns the failure's exit code, or kExitDone.
#include "common/log.h"
#include "platform/net.h"
#include "platform/sys.h"
#include "base/textbuf.h"
#include "server/engine.h"
#include "service/service.h"

std::atomic<uint32_t> shutdown_flag{0};

namespace {

// Longest the main thread waits for the thread that initiated a shutdown to
// close the listener.
constexpr long kListenerCloseWaitMs = 1000;

std::atomic<int> failure_exit{kExitDone};
std::atomic<int> stop_seen{0};
std::atomic<int> listener_closed{0};

}  // namespace

void initshutdown(int sig) {
  char name[16];
  if (sig == plat::kSigInt)
    textcopy(name, "SIGINT");
  else if (sig == plat::kSigTerm)
    textcopy(name, "SIGTERM");
  else if (sig == plat::kSigAbrt)
    textcopy(name, "SIGABRT");
  else if (sig == plat::kSigQuit)
    textcopy(name, "SIGQUIT");
  else
    textformat(name, sizeof name, "0x%X", (unsigned)sig);
  logmsg(LOG_INFO, "%s: initiating shutdown sequence...", name);
  shutdown_flag.fetch_add(1);
  setstopevent();
  wakeall();
  logmsg(LOG_INFO, "Closing server socket...");
  // Several paths can initiate a shutdown; the socket is closed once only.
  if (socket_listen != kInvalidSocket && listener_closed.exchange(1) == 0)
    plat::closelistener(socket_listen);
}

void failshutdown(ExitCode code) {
  int none = kExitDone;
  failure_exit.compare_exchange_strong(none, code);
  initshutdown(plat::kSigAbrt);
}

uint32_t isstopping() {
  uint32_t f = shutdown_flag.load();
  if (f != 0) return f;
  if (!stopsignalled()) return 0;
  // initshutdown sets the stop event too, after it raised the flag: a
  // shutdown under way since the first look is not started a second time.
  f = shutdown_flag.load();
  if (f != 0) return f;
  if (stop_seen.exchange(1) != 0) return 1;
  initshutdown(plat::kSigTerm);
  return 1;
}

void awaitlistenerclosed() {
  for (long waited = 0; listener_closed.load() == 0; waited++) {
    // A shutdown initiated before the listener existed left it open.
    if (waited == kListenerCloseWaitMs) {
      if (listener_closed.exchange(1) == 0) plat::closelistener(socket_listen);
      return;
    }
    plat::sleepms(1);
  }
}

ExitCode stopexitcode() { return (ExitCode)failure_exit.load(); }
