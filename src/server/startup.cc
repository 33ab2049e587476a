// Start-up: the settings checked, the user, the lists, queues, SPF,
// threads, outputs and the listener, in that order; and their release.
#include "server/startup.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <thread>

#include "analysis/lists.h"
#include "base/textbuf.h"
#include "common/exitcode.h"
#include "common/log.h"
#include "common/settings.h"
#include "dns/cache.h"
#include "dns/nameservers.h"
#include "dns/resolver.h"
#include "platform/error.h"
#include "platform/net.h"
#include "platform/sys.h"
#include "platform/systemlog.h"
#include "server/engine.h"
#include "server/metricspage.h"
#include "server/options.h"
#include "server/pipeline.h"
#include "server/queue.h"
#include "service/service.h"
#include "spf/wrenspf.h"

namespace {

// One answer cache for the whole process, in front of the resolver; made
// once, its figures are logged at the end.
dns::CachingResolver* answer_cache = nullptr;

constexpr long kThreadStartPauseMs = 79;
// Descriptors kept aside from the session capacity: logs, DNS, the listener.
constexpr long kReservedDescriptors = 32;

void summary(int service_mode) {
  char desc[257], status[129];
  long lo = 0, hi = 0;
  plat::socketinfo(desc, sizeof desc, status, sizeof status, &lo, &hi);
  const ServerSettings& s = settings;
  logmsg(LOG_INFO, "* Winsock info....: %s %s (%ld.%ld)", desc, status, lo, hi);
  logmsg(LOG_INFO, "* hostname........: %s", s.HostName);
  logmsg(LOG_INFO, "* listen on.......: %s:%d", s.ListenIP, s.ListenPort);
  logmsg(LOG_INFO, "* SMTP emulation..: %s", s.FakeSmtp == 1 ? "On" : "Off");
  logmsg(LOG_INFO, "* Service mode....: %s", service_mode == 1 ? "On" : "Off");
  logmsg(LOG_INFO, "* workers.........: %ld", (long)s.Threads);
  logmsg(LOG_INFO, "* backlog.........: %ld", (long)s.Backlog);
  logmsg(LOG_INFO, "* queue size......: %ld", (long)s.QueueSize);
  logmsg(LOG_INFO, "* rx timeout......: %ld", (long)s.RxTimeOut);
  logmsg(LOG_INFO, "* tarpit time.....: %ld", (long)s.TarpitTime);
  logmsg(LOG_INFO, "* log path........: %s", s.LogPath);
  logmsg(LOG_INFO, "* verbosity.......: %d", s.LogLevel);
  logmsg(LOG_INFO, "* CYMRU info......: %s", s.CYMRU_ORG);
  logmsg(LOG_INFO, "* CYMRU ASN.......: %s", s.CYMRU_ASN);
  logmsg(LOG_INFO, "* SenderBase......: %s", s.SB_SUFFIX);
  logmsg(LOG_INFO, "* Country.........: %s", s.TLD_SUFFIX);
}

int setupspf() {
  logmsg(LOG_INFO, "Initializing SPF library...");
  if (SpfInit(0, 0, 1) != 0) {
    logmsg(LOG_CRIT, "Cannot initialize SPF cache");
    return kExitSpf;
  }
  if (SpfSetLocalHost(settings.HostName) != 0) {
    logmsg(LOG_CRIT, "Cannot set SPF local host");
    return kExitSpf;
  }
  if (SpfSetBestGuess(settings.BestGuess, settings.FallBack) != 0) {
    logmsg(LOG_CRIT, "Cannot set SPF best guess policy");
    return kExitSpf;
  }
  logmsg(LOG_TRON, "SPF best guess    : %s", settings.BestGuess);
  logmsg(LOG_TRON, "SPF guess fallback: %s", settings.FallBack);
  if (settings.UseWhitelist == 1) {
    char record[300];
    textformat(record, sizeof record, "v=spf1 include:%s", kTrustedForwarderZone);
    if (SpfSetWhitelist(record) != 0) {
      logmsg(LOG_CRIT, "Cannot set up SPF whitelisting");
      return kExitSpf;
    }
    logmsg(LOG_TRON, "SPF whitelist (trusted forwarders) enabled");
  }
  return kExitDone;
}

// Started as root: today's daily files created so far go to the user, then
// the whole process becomes that user for good. Either way the log directory
// must take the files of the process as it now runs.
bool dropprivileges(int who, const plat::RunAs& u) {
  if (who == plat::kRunAsUser) {
    for (const char* base : {"nestrap", "ipinfo"}) {
      char path[kLogPathSize];
      logfilepath(base, path, sizeof path);
      plat::giveto(path, u);
    }
    if (!plat::switchuser(u)) {
      logmsg(LOG_CRIT, "Cannot switch to user %s (Error code 0x%X)", u.user,
             (unsigned)plat::lasterror());
      return false;
    }
    logmsg(LOG_INFO, "Running as user %s (uid %ld, gid %ld)", u.user, u.uid, u.gid);
  }
  if (settings.LogPath[0] != '\0' && !plat::dirwritable(settings.LogPath))
    logmsg(LOG_ERR, "Log directory %s is not writable for this process: its lines are lost",
           settings.LogPath);
  return true;
}

// The user the server runs as once listening: the one named, or the one
// it is started as.
plat::RunAs effectiveuser(int who, const plat::RunAs& runas) {
  plat::RunAs as = runas;
  if (who != plat::kRunAsUser) plat::currentuser(&as);
  return as;
}

// Started as root, a missing log directory is made for the user the server
// will run as, before the first line is logged. Returns true when made.
bool makelogdir(int who, const plat::RunAs& runas) {
  const char* dir = settings.LogPath;
  if (dir[0] == '\0' || who == plat::kRunAsUnknown || !plat::isroot() || plat::fileexists(dir))
    return false;
  return plat::makedirfor(dir, effectiveuser(who, runas)) == 1;
}

// The daily files must take the lines of the user the server will run as: a
// decoy that cannot write its connection lines observes nothing, so it does
// not start.
bool logdirready(int who, const plat::RunAs& runas) {
  const char* dir = settings.LogPath;
  if (dir[0] == '\0') return true;  // file logging is off
  plat::RunAs as = effectiveuser(who, runas);
  bool ok = who == plat::kRunAsUser ? plat::dirwritableas(dir, as) : plat::dirwritable(dir);
  if (!ok)
    logmsg(LOG_ERR,
           "Log directory %s is not writable for user %s: give it to the user (chown %s %s), "
           "or name another directory (-l) or user (-u)",
           dir, as.user, as.user, dir);
  return ok;
}

// Sets the session capacity: the setting, within the descriptors the
// process may open (the soft limit raised to the hard one first).
void setcapacity() {
  long cap = settings.MaxSessions;
  long limit = plat::raisedescriptorlimit();
  if (limit > 0) {
    logmsg(LOG_INFO, "Descriptor limit: %ld", limit);
    // The queue may take half of the descriptors, never the sessions' room.
    long queue = (limit - kReservedDescriptors) / 2;
    if (queue < kMinQueueSize) queue = kMinQueueSize;
    if (settings.QueueSize > queue) {
      settings.QueueSize = (int32_t)queue;
      logmsg(LOG_WARN, "Queue size lowered to %ld by the descriptor limit", queue);
    }
    long room = limit - settings.QueueSize - kReservedDescriptors;
    if (room < settings.Threads) room = settings.Threads;
    if (cap > room) {
      cap = room;
      logmsg(LOG_WARN, "Session capacity lowered to %ld by the descriptor limit", cap);
    }
  }
  session_cap = (uint32_t)cap;
}

// Starts the workers and the logger. A thread the system refuses ends the
// start-up: those already running are stopped again.
bool startthreads() {
  logmsg(LOG_INFO, "Creating %ld worker threads...", (long)settings.Threads);
  try {
    // Ready before a session can end: workers hand their records to it.
    pipelinestart(kAnalysisThreads,
                  settings.AnalysisBacklog < 0 ? 0 : (uint32_t)settings.AnalysisBacklog, answer_cache);
    for (int i = 0; i < settings.Threads; i++) {
      std::thread(workerthread).detach();
      plat::sleepms(kThreadStartPauseMs);
    }
    logmsg(LOG_INFO, "Creating the logger thread...");
    std::thread(loggerthread).detach();
  } catch (const std::exception& e) {  // refused, or no memory for its stack
    logmsg(LOG_CRIT, "Cannot create thread: %s", e.what());
    initshutdown(plat::kSigAbrt);
    while (active_threads.load() != 0) plat::sleepms(kThreadStartPauseMs);
    return false;
  }
  plat::sleepms(kThreadStartPauseMs);
  return true;
}

void useanswercache() {
  if (settings.DnsCache > 0 && answer_cache == nullptr && dns::available()) {
    answer_cache = new dns::CachingResolver(dns::resolver(), (size_t)settings.DnsCache);
    dns::setresolver(answer_cache);
  }
}

bool makequeue(const char* name, WorkQueue** q) {
  logmsg(LOG_INFO, "Initializing %s queue...", name);
  *q = queuecreate();
  if (*q != nullptr) return true;
  logmsg(LOG_CRIT, "Cannot initialize %s queue !", name);
  return false;
}

}  // namespace

int prepare(plat::RunAs* runas, int* who) {
  int service_mode = servicemode();
  *who = plat::runasuser(settings.User, kDefaultUser, runas);
  bool madelogdir = makelogdir(*who, *runas);
  logmsg(LOG_INFO, "#### %s v. %s starting ####", kProgramName, kProgramVersion);

  if (!validate()) return kExitSetting;
  if (*who == plat::kRunAsUnknown) {
    logmsg(LOG_ERR, "Unknown user \"%s\" to run as", settings.User);
    return kExitSetting;
  }
  if ((uint32_t)settings.LogLevel > 9u) {
    logmsg(LOG_WARN, "Invalid log level defaulting to %d", kDefaultLogLevel);
    settings.LogLevel = kDefaultLogLevel;
  }
  if (*who == plat::kRunAsRoot)
    logmsg(LOG_WARN, "Running as root: there is no user \"%s\" (-u or User= names another)",
           kDefaultUser);
  if (madelogdir)
    logmsg(LOG_INFO, "Log directory %s created for user %s", settings.LogPath,
           effectiveuser(*who, *runas).user);
  if (!logdirready(*who, *runas)) return kExitSetting;
  // The server never starts programs; none of its threads may gain rights.
  plat::nonewprivileges();
  if (!plat::socketstartup()) {
    logmsg(LOG_CRIT, "Unable to initialize Winsock (ERR 0x%X).", (unsigned)plat::lasterror());
    return kExitSockets;
  }
  usenameserver();
  useanswercache();

  if (settings.HostName[0] == '\0') localhostname(settings.HostName);

  summary(service_mode);
  return kExitDone;
}

int startwork(std::vector<ZoneCheck>* listhealth) {
  loadalllists();
  // Bounded by kListCheckBoundMs: a dead list cannot hold up the start.
  logmsg(LOG_INFO, "Checking the DNS lists...");
  *listhealth = checklists();
  logchecks(*listhealth);

  if (!makequeue("connection", &conn_queue) || !makequeue("logger", &log_queue)) return kExitResources;
  int rc = setupspf();
  if (rc != 0) return rc;

  plat::lowerprocesspriority();

  setcapacity();
  if (!startthreads()) {
    releaseworkers();
    return kExitThreads;
  }
  return kExitDone;
}

int openlistener(int who, const plat::RunAs& runas) {
  logmsg(LOG_INFO, "Setting up listen socket on %s:%d ...", settings.ListenIP, settings.ListenPort);
  uint32_t addr = isany(settings.ListenIP) ? 0 : plat::inetaddr(settings.ListenIP);
  SocketHandle s = plat::tcpsocket();
  logmsg(LOG_INFO, "Binding listen socket to %s:%d ...", settings.ListenIP, settings.ListenPort);
  if (!plat::bindsocket(s, addr, (uint16_t)settings.ListenPort)) {
    int err = plat::lasterror();
    logmsg(LOG_CRIT, "Couldn't bind to socket_listen! Aborting.");
    logmsg(LOG_CRIT, "(Error code 0x%X)", err);
    if (s != kInvalidSocket) plat::closesocket(s);
    return kExitSockets;
  }
  socket_listen = s;
  logmsg(LOG_INFO, "Setting up signal handlers...");
  plat::setreloadsignalhandler(requestreload);
  plat::startsignalthread(initshutdown);
  logmsg(LOG_INFO, "Starting listen socket %s:%d ...", settings.ListenIP, settings.ListenPort);
  if (!plat::listensocket(s, settings.Backlog)) {
    logmsg(LOG_CRIT, "Couldn't listen on server socket ! Aborting.");
    plat::closesocket(s);
    return kExitSockets;
  }
  if (!dropprivileges(who, runas)) {
    plat::closesocket(s);
    return kExitSetting;
  }
  logmsg(LOG_INFO, "Listening for connections on %s:%d", settings.ListenIP, settings.ListenPort);
  logmsg(LOG_INFO, "Waiting for incoming connections...");
  return kExitDone;
}

int startoutputs() {
  if (settings.MetricsListen[0] != '\0' && !metricsstart(settings.MetricsListen)) return kExitSockets;
  // Syslog names the machine that sends, whatever name the banner shows.
  char host[260 + 1];
  if (!plat::gethostname(host, sizeof host)) textcopy(host, settings.HostName);
  int kind = plat::systemlogstart(settings.SystemLog, host);
  const char* path = settings.SystemLog[0] == '/' ? settings.SystemLog : "/dev/log";
  if (kind == plat::kSystemLogJournal)
    logmsg(LOG_INFO, "Connection lines to the system log: the journal");
  else if (kind == plat::kSystemLogSyslog)
    logmsg(LOG_INFO, "Connection lines to the system log: syslog at %s", path);
  else if (settings.SystemLog[0] != '\0' && strcmp(settings.SystemLog, "0") != 0)
    logmsg(LOG_WARN, "This build sends no connection lines to a system log");
  return kExitDone;
}

int cleanshutdown() {
  logmsg(LOG_INFO, "Starting clean shutdown...");
  logmsg(LOG_INFO, "Waiting for %ld active threads to terminate...", (long)active_threads.load());
  while (active_threads.load() != 0) plat::sleepms(kThreadStartPauseMs);
  releaseworkers();
  metricsstop();
  plat::systemlogstop();
  if (socket_listen != kInvalidSocket) plat::releaselistener(socket_listen);
  logmsg(LOG_INFO, "Releasing data queues...");
  if (queuefree(conn_queue)) conn_queue = nullptr;
  if (queuefree(log_queue)) log_queue = nullptr;
  stoplistrecheck();
  if (answer_cache != nullptr) {
    dns::CachingResolver::Stats st = answer_cache->stats();
    logmsg(LOG_INFO, "DNS cache: %llu hits, %llu misses, %lu answers kept", (unsigned long long)st.hits,
           (unsigned long long)st.misses, (unsigned long)st.entries);
  }
  logmsg(LOG_INFO, "Releasing allocated memory...");
  freealllists();
  logmsg(LOG_INFO, "All done, exiting");
  log_lock_delete();
  signaldone();
  return stopexitcode();
}

void usenameserver() {
  if (settings.NameServer[0] != '\0' && !dns::setnameservers(settings.NameServer))
    logmsg(LOG_WARN, "Invalid NameServer setting ignored: %s", settings.NameServer);
}
