// The command line, the settings file and the one-shot actions.
#include "server/options.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "analysis/listhealth.h"
#include "analysis/lists.h"
#include "base/text.h"
#include "base/textbuf.h"
#include "common/exitcode.h"
#include "common/log.h"
#include "common/settings.h"
#include "platform/error.h"
#include "platform/net.h"
#include "platform/svcmgr.h"
#include "platform/sys.h"
#include "platform/systemlog.h"
#include "report/report.h"
#include "report/trap.h"
#include "server/engine.h"
#include "server/getopt.h"
#include "server/metricspage.h"
#include "server/server.h"
#include "server/startup.h"
#include "service/service.h"

namespace {

constexpr const char* kOptions = "n:i:p:l:sw:b:q:r:t:v:xu:c:CTIUVhR:E:o:";
constexpr opt::LongName kLongNames[] = {{"version", 'V'}, {"help", 'h'}, {nullptr, 0}};


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

}  // namespace

void setinvocationdir(const char* dir) { textcopy(invocation_dir, sizeof invocation_dir, dir); }

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

bool isany(const char* ip) { return strncasecmp(ip, "any", 3) == 0; }


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

int configure(int argc, char** argv, const Options& o) {
  if (o.inifile != nullptr) {
    setdefaults();
    settings.LogPath[0] = '\0';  // no daily file yet: its directory is not known
    if (!usesettingsfile(o.inifile)) return kExitSetting;
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
  return kExitDone;
}

int oneshot(Action action) {
  // What these runs say is for the operator at the terminal, on standard
  // error only: a daily file begun now, perhaps by root, could shut out the
  // service that logs to the same directory later today.
  char logpath[sizeof settings.LogPath];
  textcopy(logpath, settings.LogPath);
  settings.LogPath[0] = '\0';
  int rc = kExitDone;
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
