// servermain: start-up, the accept loop and the shutdown sequence.
#include "server/server.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <exception>
#include <thread>
#include <vector>

#include "analysis/listhealth.h"
#include "analysis/lists.h"
#include "dns/cache.h"
#include "platform/error.h"
#include "platform/net.h"
#include "platform/poller.h"
#include "platform/privs.h"
#include "dns/nameservers.h"
#include "dns/resolver.h"
#include "platform/svcmgr.h"
#include "platform/sys.h"
#include "platform/systemlog.h"
#include "server/accept.h"
#include "server/getopt.h"
#include "server/metricspage.h"
#include "server/peerlimit.h"
#include "server/pipeline.h"
#include "common/log.h"
#include "server/queue.h"
#include "common/settings.h"
#include "base/metrics.h"
#include "base/text.h"
#include "base/textbuf.h"
#include "service/service.h"
#include "smtp/session.h"
#include "spf/wrenspf.h"
#include "report/report.h"
#include "report/trap.h"

namespace {

constexpr long kThreadStartPauseMs = 79;
// How often the main thread looks for a service stop while the workers accept.
constexpr long kStopCheckMs = 100;
// Descriptors kept aside from the session capacity: logs, DNS, the listener.
constexpr long kReservedDescriptors = 32;
constexpr long kMinQueueSize = 5;
constexpr const char* kOptions = "n:i:p:l:sw:b:q:r:t:v:xu:c:CTIUVhR:E:o:";
constexpr opt::LongName kLongNames[] = {{"version", 'V'}, {"help", 'h'}, {nullptr, 0}};

void usage() {
  const char* p = kProgramName;
  const plat::SvcWords& w = plat::kSvcWords;
  printf("%s version %s\n", p, kProgramVersion);
  printf("Nestrap server for \"MX sandwich\"\n");
  printf("Written by \"Tarsel\"\n");
  printf("\n");
  printf("Usage: %s [options]\n", p);
  printf("\n");
  printf("option  argument    description\n");
  printf("------  ----------  ----------------------------------------\n");
  printf("-n      hostname    hostname for banner (default=real name)\n");
  printf("-i      bind addr   IP to listen on or \"any\" (default=any)\n");
  printf("-p      port        port to listen on (default=25)\n");
  printf("-l      path        log files path (default=.)\n");
  printf("-s                  simulate a real SMTP (default=NO)\n");
  printf("-w      count       number of worker threads (default=%d)\n", kDefaultThreads);
  printf("-b      size        server socket backlog size (default=%d)\n", kDefaultBacklog);
  printf("-q      size        max requests queue size (default=%d)\n", kDefaultQueueSize);
  printf("-r      millisec    socket read timeout (default=%ld)\n", kDefaultRxTimeOut);
  printf("-t      millisec    response delay time (default=%ld)\n", kDefaultTarpit);
  printf("-v      level       logging level 0...9 (default=%d)\n", kDefaultLogLevel);
  printf("-x                  add local hostname/ip to the log records\n");
  printf("-u      user        run as this user once listening (default=%s)\n", kDefaultUser);
  printf("-c      file        settings file, list files beside it\n");
  printf("                    (default=%s.ini beside the program)\n", p);
  printf("-C                  initialize config files and exit\n");
  printf("-T                  test the DNS lists, print a table and exit\n");
  printf("-R      days        print a report of the last days' connections\n");
  printf("-E      format      print the trapped addresses (plain, postfix, rbldnsd, nft)\n");
  printf("-o      file        -R: also write an HTML page; -E: replace this file\n");
  printf("-I                  %s\n", w.install);
  printf("-U                  %s\n", w.remove);
  printf("-V, --version       show the version and exit\n");
  printf("-h, --help          show this help text\n");
  printf("\n");
  printf("e.g. : %s -i %s -p 25 -l %s%s\n", p, w.address, w.logdir, p);
  printf("       %s -i any -p 25 -l . -w 20 -b 40 -v 9\n", p);
  printf("       %s -Cv 9\n", p);
  fflush(stdout);
}

enum class Action { Run, Configure, CheckLists, Install, Remove, Help, Version, Report, Export };

// What -R, -E and -o asked for.
struct ReportRequest {
  int days = 0;
  const char* format = nullptr;
  const char* output = nullptr;
};
ReportRequest report_request;

// The first setting or option whose number does not fit its field.
char misfit[128];
// The directory the program was started from: a relative -c names a file
// there, although the program runs in its own directory.
char invocation_dir[1024];
// The settings file.
char inipath[sizeof invocation_dir + 300];

// An option's number, read as atoi reads it; one that does not fit its
// field is noted rather than wrapped.
long optnumber(char letter, bool unsigned32 = false) {
  if (!numberfits(opt::optarg, false, unsigned32) && misfit[0] == '\0')
    textformat(misfit, sizeof misfit, "-%c %s", letter, opt::optarg);
  return atol(opt::optarg);
}

// What the command line asks for, beyond the values it sets.
struct Options {
  Action action = Action::Run;
  const char* inifile = nullptr;  // -c
  const char* logpath = nullptr;  // -l
  int errors = 0;
};

// Scans the options; with `apply` they also set their values. The first
// scan, before any file is read, reports the errors and decides the action.
Options scanoptions(int argc, char** argv, bool apply) {
  Options o;
  bool configure = false, testlists = false, help = false, version = false;
  Action svc = Action::Run;
  opt::getoptreset();
  opt::opterr = apply ? 0 : 1;
  if (!apply) report_request = ReportRequest{};
  int c;
  while (argc > 0 && (c = opt::getopt(argc, argv, kOptions, kLongNames)) != -1) {
    if (!apply) {
      switch (c) {
        case 'c': o.inifile = opt::optarg; break;
        case 'l': o.logpath = opt::optarg; break;
        case 'C': configure = true; break;
        case 'T': testlists = true; break;
        case 'I': svc = Action::Install; break;
        case 'U': svc = Action::Remove; break;
        case 'V': version = true; break;
        case 'h': help = true; break;
        case 'R':
          // Beyond the range either way: the report says the period is invalid.
          report_request.days = (int)std::clamp(atol(opt::optarg), -1L, (long)kMaxReportDays + 1);
          svc = Action::Report;
          break;
        case 'E':
          report_request.format = opt::optarg;
          svc = Action::Export;
          break;
        case 'o': report_request.output = opt::optarg; break;
        case '?': o.errors++; break;
      }
      continue;
    }
    switch (c) {
      case 'n': textcopy(settings.HostName, opt::optarg, 260); break;
      case 'i': textcopy(settings.ListenIP, opt::optarg, 15); break;
      case 'p': settings.ListenPort = (int32_t)optnumber('p'); break;
      case 'l': textcopy(settings.LogPath, opt::optarg, 260); break;
      case 's': settings.FakeSmtp = 1; break;
      case 'w': settings.Threads = (int32_t)optnumber('w'); break;
      case 'b': settings.Backlog = (int32_t)optnumber('b'); break;
      case 'q': settings.QueueSize = (int32_t)optnumber('q'); break;
      case 'r': settings.RxTimeOut = (uint32_t)optnumber('r', true); break;
      case 't': settings.TarpitTime = (int32_t)optnumber('t'); break;
      case 'v': settings.LogLevel = (int32_t)optnumber('v'); break;
      case 'x': settings.LogHost = 1; break;
      case 'u': textcopy(settings.User, opt::optarg, kUserNameCap); break;
    }
  }
  // -o names where a report or a list goes; alone it would be ignored silently.
  if (!apply && report_request.output != nullptr && svc != Action::Report && svc != Action::Export)
    o.errors++;
  o.action = help ? Action::Help : version ? Action::Version : configure ? Action::Configure
           : testlists ? Action::CheckLists : svc;
  return o;
}

void usenameserver() {
  if (settings.NameServer[0] != '\0' && !dns::setnameservers(settings.NameServer))
    logmsg(LOG_WARN, "Invalid NameServer setting ignored: %s", settings.NameServer);
}

bool isany(const char* ip) { return strncasecmp(ip, "any", 3) == 0; }

// Validates the settings; logs the first failure. Returns true when valid.
bool validate() {
  if (misfit[0] != '\0') {
    logmsg(LOG_ERR, "Invalid setting %s: the number does not fit", misfit);
    return false;
  }
  const char* msg = nullptr;
  uint32_t addr = 0;
  uint16_t port = 0;
  if (plat::inetaddr(settings.ListenIP) == 0xFFFFFFFFu && !isany(settings.ListenIP))
    msg = "Invalid listen address, use either an IP or \"any\"";
  else if (settings.ListenPort < 1 || settings.ListenPort > 65534)
    msg = "invalid listen port";
  else if (settings.Threads < 2)
    msg = "Invalid thread count (min=2)";
  else if (settings.Threads > kMaxThreads)
    msg = "Invalid thread count (max=256)";
  else if (settings.MaxSessions < 1)
    msg = "Invalid session capacity (min=1)";
  else if (settings.MaxSessionsPerAddress < 0)
    msg = "Invalid sessions per address (min=0)";
  else if (settings.Backlog < 1)
    msg = "Invalid backlog size (min=1)";
  else if (settings.QueueSize < kMinQueueSize)
    msg = "Invalid queue size (min=5)";
  else if (settings.RxTimeOut < 1000u)
    msg = "Invalid socket read timeout (min=1000)";
  else if (settings.MetricsListen[0] != '\0' &&
           !parsemetricslisten(settings.MetricsListen, &addr, &port))
    msg = "Invalid metrics address, use address:port";
  else if (!plat::systemlogvalid(settings.SystemLog))
    msg = "Invalid SystemLog setting, use 0, 1 or the path of a syslog socket";
  if (msg == nullptr) return true;
  logmsg(LOG_ERR, "%s", msg);
  return false;
}

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
    return 5;
  }
  if (SpfSetLocalHost(settings.HostName) != 0) {
    logmsg(LOG_CRIT, "Cannot set SPF local host");
    return 5;
  }
  if (SpfSetBestGuess(settings.BestGuess, settings.FallBack) != 0) {
    logmsg(LOG_CRIT, "Cannot set SPF best guess policy");
    return 5;
  }
  logmsg(LOG_TRON, "SPF best guess    : %s", settings.BestGuess);
  logmsg(LOG_TRON, "SPF guess fallback: %s", settings.FallBack);
  if (settings.UseWhitelist == 1) {
    char record[300];
    textformat(record, sizeof record, "v=spf1 include:%s", kTrustedForwarderZone);
    if (SpfSetWhitelist(record) != 0) {
      logmsg(LOG_CRIT, "Cannot set up SPF whitelisting");
      return 5;
    }
    logmsg(LOG_TRON, "SPF whitelist (trusted forwarders) enabled");
  }
  return 0;
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

// Writes the list files that are missing. Returns false when one of them,
// or the settings file, is still missing afterwards.
bool writedefaultfiles() {
  std::vector<const char*> files;
  for (const ListFile& l : kListFiles) {
    freelist(loadlist(l.path, l.defaults));
    files.push_back(l.path);
  }
  files.push_back(inipath);
  bool all = true;
  for (const char* f : files) {
    if (plat::fileexists(f)) continue;
    logmsg(LOG_ERR, "Cannot write %s", f);
    all = false;
  }
  return all;
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

// One thread accepts and hands each connection over through conn_queue:
// where the platform cannot share the listener between the workers.
void acceptloop() {
  while (!isstopping()) {
    ConnectionRecord* r = (ConnectionRecord*)malloc(sizeof(ConnectionRecord));
    if (r == nullptr) {
      logmsg(LOG_CRIT, "[accept] malloc(wrk) failed !");
      failshutdown(kExitResources);
      return;
    }
    AcceptResult rc = acceptconnection(r);
    if (rc == kAccepted) {
      queueconnection(r);
      continue;
    }
    free(r);
    if (rc == kAcceptPause) plat::sleepms(kAcceptPauseMs);
  }
}

// The workers accept for themselves; this thread waits for the stop.
void awaitstop() {
  workersaccept();
  while (!isstopping()) plat::sleepms(kStopCheckMs);
}

// Starts the workers and the logger. A thread the system refuses ends the
// start-up: those already running are stopped again.
bool startthreads() {
  logmsg(LOG_INFO, "Creating %ld worker threads...", (long)settings.Threads);
  try {
    // Ready before a session can end: workers hand their records to it.
    pipelinestart(kAnalysisThreads,
                  settings.AnalysisBacklog < 0 ? 0 : (uint32_t)settings.AnalysisBacklog);
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

// The settings file -c named (empty: none).
char settings_file[sizeof inipath];

bool isabsolute(const char* path) {
  if (path[0] == '/' || path[0] == plat::kPathSep) return true;
  return plat::kPathSep == '\\' && path[0] != '\0' && path[1] == ':';
}

// Makes the directory of the settings file named by -c the current one, where
// the list files are read and relative paths start; its path into inipath.
// False (after saying why) when that directory cannot be entered.
bool usesettingsfile(const char* name) {
  if (isabsolute(name) || invocation_dir[0] == '\0')
    textcopy(inipath, name);
  else
    textformat(inipath, sizeof inipath, "%s%c%s", invocation_dir, plat::kPathSep, name);
  char dir[sizeof inipath];
  textcopy(dir, inipath);
  char* cut = strrchr(dir, plat::kPathSep);
  char* slash = strrchr(dir, '/');
  if (cut == nullptr || (slash != nullptr && slash > cut)) cut = slash;
  if (cut == nullptr) return true;
  cut[cut == dir ? 1 : 0] = '\0';
  if (plat::setcurrentdir(dir)) return true;
  logmsg(LOG_ERR, "Cannot enter the settings file's directory %s (Error code 0x%X)", dir,
         (unsigned)plat::lasterror());
  return false;
}

// Reads the settings: the defaults, then the .ini file (-c, else the one in
// the working directory), then the options. A settings file written now
// records the -l given, or for -I the log directory the service will use.
// Returns 0, or the exit code.
int configure(int argc, char** argv, const Options& o) {
  if (o.inifile != nullptr) {
    setdefaults();
    settings.LogPath[0] = '\0';  // no daily file yet: its directory is not known
    if (!usesettingsfile(o.inifile)) return 2;
    textcopy(settings_file, inipath);
  }
  setdefaults();
  char cwd[260 + 1];
  if (o.inifile == nullptr) {
    if (plat::getcurrentdir(cwd, sizeof cwd))
      textformat(inipath, sizeof inipath, "%s%c%s.ini", cwd, plat::kPathSep, kProgramName);
    else
      textformat(inipath, sizeof inipath, "%s.ini", kProgramName);
  }
  char servicelogs[sizeof cwd + 8];
  const char* logpath = o.logpath;
  if (logpath == nullptr && o.action == Action::Install && plat::getcurrentdir(cwd, sizeof cwd) &&
      plat::svcdefaultlogdir(cwd, servicelogs, sizeof servicelogs))
    logpath = servicelogs;
  misfit[0] = '\0';
  readconfig(inipath, misfit, sizeof misfit, logpath);
  scanoptions(argc, argv, true);
  return 0;
}

// The options that act and exit instead of serving. Returns the exit code.
int oneshot(Action action) {
  // What these runs say is for the operator at the terminal, on standard
  // error only: a daily file begun now, perhaps by root, could shut out the
  // service that logs to the same directory later today.
  char logpath[sizeof settings.LogPath];
  textcopy(logpath, settings.LogPath);
  settings.LogPath[0] = '\0';
  int rc = 0;
  switch (action) {
    case Action::Configure:
      logmsg(LOG_INFO, "%s: initializing configuration...", kProgramName);
      if (!writedefaultfiles()) rc = kExitOneShot;
      logmsg(LOG_INFO, "%s: all done, exiting.", kProgramName);
      break;
    case Action::CheckLists:
      usenameserver();
      loadalllists();
      rc = printchecks(checklists());
      freealllists();
      break;
    case Action::Install:
      logmsg(LOG_INFO, "Installing %s as a service...", kProgramName);
      // The service cannot write beside the program: its files are made now.
      if (!writedefaultfiles()) rc = kExitOneShot;
      textcopy(settings.LogPath, logpath);  // the service's log directory
      if (!svcinstall(settings_file[0] != '\0' ? settings_file : nullptr)) rc = kExitOneShot;
      break;
    case Action::Remove:
      logmsg(LOG_INFO, "Uninstalling %s service...", kProgramName);
      if (!svcremove()) rc = kExitOneShot;
      break;
    case Action::Report:
      rc = reportmain(logpath, report_request.days, report_request.output);
      break;
    case Action::Export:
      rc = exportmain(logpath, report_request.format, report_request.output);
      break;
    case Action::Run:
    case Action::Help:
    case Action::Version:
      break;
  }
  log_lock_delete();
  return rc;
}

// One answer cache for the whole process, in front of the resolver; made
// once, its figures are logged at the end.
dns::CachingResolver* answer_cache = nullptr;

void useanswercache() {
  if (settings.DnsCache > 0 && answer_cache == nullptr && dns::available()) {
    answer_cache = new dns::CachingResolver(dns::resolver(), (size_t)settings.DnsCache);
    dns::setresolver(answer_cache);
  }
}

// Checks the settings and the user to run as, readies sockets and DNS and
// logs the summary. Returns 0 or the exit code.
int prepare(plat::RunAs* runas, int* who) {
  int service_mode = servicemode();
  *who = plat::runasuser(settings.User, kDefaultUser, runas);
  bool madelogdir = makelogdir(*who, *runas);
  logmsg(LOG_INFO, "#### %s v. %s starting ####", kProgramName, kProgramVersion);

  if (!validate()) return 2;
  if (*who == plat::kRunAsUnknown) {
    logmsg(LOG_ERR, "Unknown user \"%s\" to run as", settings.User);
    return 2;
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
  if (!logdirready(*who, *runas)) return 2;
  // The server never starts programs; none of its threads may gain rights.
  plat::nonewprivileges();
  if (!plat::socketstartup()) {
    logmsg(LOG_CRIT, "Unable to initialize Winsock (ERR 0x%X).", (unsigned)plat::lasterror());
    return 3;
  }
  usenameserver();
  useanswercache();

  if (settings.HostName[0] == '\0') localhostname(settings.HostName);

  summary(service_mode);
  return 0;
}

bool makequeue(const char* name, WorkQueue** q) {
  logmsg(LOG_INFO, "Initializing %s queue...", name);
  *q = queuecreate();
  if (*q != nullptr) return true;
  logmsg(LOG_CRIT, "Cannot initialize %s queue !", name);
  return false;
}

// Loads and checks the DNS lists, makes the queues, sets up SPF and starts
// the threads. Returns 0 or the exit code.
int startwork(std::vector<ZoneCheck>* listhealth) {
  loadalllists();
  // Bounded by kListCheckBoundMs: a dead list cannot hold up the start.
  logmsg(LOG_INFO, "Checking the DNS lists...");
  *listhealth = checklists();
  logchecks(*listhealth);

  if (!makequeue("connection", &conn_queue) || !makequeue("logger", &log_queue)) return 4;
  int rc = setupspf();
  if (rc != 0) return rc;

  plat::lowerprocesspriority();

  setcapacity();
  if (!startthreads()) {
    releaseworkers();
    return kExitThreads;
  }
  return 0;
}

// Binds and opens the listening socket, then gives up root. Returns 0 or the
// exit code.
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
    return 3;
  }
  socket_listen = s;
  logmsg(LOG_INFO, "Setting up signal handlers...");
  plat::setreloadsignalhandler(requestreload);
  plat::startsignalthread(initshutdown);
  logmsg(LOG_INFO, "Starting listen socket %s:%d ...", settings.ListenIP, settings.ListenPort);
  if (!plat::listensocket(s, settings.Backlog)) {
    logmsg(LOG_CRIT, "Couldn't listen on server socket ! Aborting.");
    plat::closesocket(s);
    return 3;
  }
  if (!dropprivileges(who, runas)) {
    plat::closesocket(s);
    return 2;
  }
  logmsg(LOG_INFO, "Listening for connections on %s:%d", settings.ListenIP, settings.ListenPort);
  logmsg(LOG_INFO, "Waiting for incoming connections...");
  return 0;
}

// The metrics page and the connection lines to the system's log, both
// optional. Returns 0 or the exit code.
int startoutputs() {
  if (settings.MetricsListen[0] != '\0' && !metricsstart(settings.MetricsListen)) return 3;
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
  return 0;
}

// Waits for the threads to end, releases what the start made and logs the
// answer cache's figures. Returns the exit code.
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
  return failure_exit.load();
}

}  // namespace

void setinvocationdir(const char* dir) { textcopy(invocation_dir, sizeof invocation_dir, dir); }

int servermain(int argc, char** argv) {
  // Shutdown signals go to the signal thread only; block them before any
  // thread exists so that every thread inherits the mask.
  plat::blocksignals();

  // The command line is checked before any file is read or written: a
  // wrong option, -h or -V leaves no trace.
  Options o = scanoptions(argc, argv, false);
  if (o.errors != 0 || o.action == Action::Help) {
    usage();
    return o.errors != 0 ? 1 : 0;
  }
  if (o.action == Action::Version) {
    printf("%s %s\n", kProgramName, kProgramVersion);
    fflush(stdout);
    return 0;
  }
  int rc = configure(argc, argv, o);
  if (rc != 0) return rc;
  log_lock_init();
  if (o.action != Action::Run) return oneshot(o.action);

  plat::RunAs runas;
  int who = plat::kRunAsNone;
  rc = prepare(&runas, &who);
  std::vector<ZoneCheck> listhealth;
  if (rc == 0) rc = startwork(&listhealth);
  if (rc == 0) rc = startoutputs();
  if (rc == 0) rc = openlistener(who, runas);
  if (rc != 0) return rc;

  signalready();
  startlistrecheck(listhealth);
  if (plat::pollersharesaccept() && plat::setnonblocking(socket_listen))
    awaitstop();
  else
    acceptloop();
  awaitlistenerclosed();
  return cleanshutdown();
}
