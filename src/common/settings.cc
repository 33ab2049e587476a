#include "common/settings.h"

#include <cstdio>

#include "platform/net.h"
#include "dns/resolver.h"
#include "platform/sys.h"
#include "common/inifile.h"
#include "common/log.h"
#include "base/text.h"
#include "base/textbuf.h"
#include "nestrap_version.h"  // made at build time

ServerSettings settings;
const char* const kProgramVersion = NESTRAP_VERSION;

void setdefaults() {
  settings = ServerSettings{};
  textcopy(settings.ListenIP, "any");
  settings.ListenPort = kDefaultPort;
  settings.RxTimeOut = kDefaultRxTimeOut;
  settings.QuerySenderBase = 1;
  textcopy(settings.CYMRU_ORG, kDefaultCymruOrg);
  textcopy(settings.CYMRU_ASN, kDefaultCymruAsn);
  textcopy(settings.SB_SUFFIX, kDefaultSbSuffix);
  textcopy(settings.TLD_SUFFIX, kDefaultTldSuffix);
  textcopy(settings.BestGuess, kDefaultBestGuess);
  textcopy(settings.FallBack, kDefaultFallBack);
  settings.Threads = kDefaultThreads;
  settings.Backlog = kDefaultBacklog;
  settings.QueueSize = kDefaultQueueSize;
  settings.TarpitTime = kDefaultTarpit;
  settings.DnsCache = kDefaultDnsCache;
  settings.AnalysisBacklog = kDefaultAnalysisBacklog;
  if (!plat::getcurrentdir(settings.LogPath, sizeof settings.LogPath))
    textcopy(settings.LogPath, ".");
  settings.LogLevel = kDefaultLogLevel;
  settings.MaxSessions = kDefaultMaxSessions;
  settings.MaxSessionsPerAddress = kDefaultMaxSessionsPerAddress;
}

void writeconfig(const char* path, const char* logpath) {
  if (plat::fileexists(path)) return;
  FILE* f = fopen(path, "w");
  if (f == nullptr) return;
  char cwd[260 + 1];
  if (logpath != nullptr)
    textcopy(cwd, logpath);
  else if (!plat::getcurrentdir(cwd, sizeof cwd))
    textcopy(cwd, ".");
  fprintf(f,
          "; Nestrap settings\n"
          "\n"
          "; General settings\n"
          "[Listener]\n"
          "HostName=\n"
          "ListenIP=any\n"
          "ListenPort=%d\n"
          "RxTimeOut=%ld\n"
          "\n"
          "; Server options\n"
          "[Options]\n"
          "FakeSmtp=0\n"
          "LogHost=0\n"
          "QuerySenderBase=1\n"
          "\n"
          "; DNS info gathering\n"
          "[DNSinfo]\n"
          "CYMRU_ORG=%s\n"
          "CYMRU_ASN=%s\n"
          "SB_SUFFIX=%s\n"
          "TLD_SUFFIX=%s\n"
          "; Most DNS lists refuse queries that come through public or shared\n"
          "; resolvers, and their refusals then read as \"not listed\". Give the\n"
          "; decoy a recursive resolver of its own (unbound on 127.0.0.1, say):\n"
          "; remove the ';' below, then check with -T. Absent: the system's.\n"
          ";NameServer=127.0.0.1\n"
          "\n"
          "; SPF-v1 options\n"
          "[SPFv1]\n"
          "BestGuess=%s\n"
          "FallBack=%s\n"
          "UseWhitelist=0\n"
          "\n"
          "; Process tuning\n"
          "[Process]\n"
          "Threads=%d\n"
          "Backlog=%d\n"
          "QueueSize=%d\n"
          "TarpitTime=%ld\n"
          "\n"
          "; Logging\n"
          "[Logging]\n"
          "LogPath=%s\n"
          "LogLevel=%d\n"
          "\n",
          kDefaultPort, kDefaultRxTimeOut, kDefaultCymruOrg, kDefaultCymruAsn, kDefaultSbSuffix,
          kDefaultTldSuffix, kDefaultBestGuess, kDefaultFallBack, kDefaultThreads, kDefaultBacklog,
          kDefaultQueueSize, kDefaultTarpit, cwd, kDefaultLogLevel);
  fflush(f);
  fclose(f);
}

namespace {

// The reader's note of the first number that does not fit its key.
struct Misfit {
  char* text;
  size_t size;
  const char* section;
  bool seen;
};
Misfit g_misfit;

void section(const char* name) {
  g_misfit.section = name;
  inisetsection(name);
}

// A number of the file for a 32-bit key; one that does not fit is noted
// and gives the default rather than its wrap.
long number(const char* key, long def, bool unsigned32 = false) {
  char value[64];
  if (inigetstr(key, "", value, sizeof value) == 0) return def;
  if (numberfits(value, true, unsigned32)) return iniparseint(value, def);
  if (!g_misfit.seen && g_misfit.text != nullptr)
    textformat(g_misfit.text, g_misfit.size, "[%s] %s=%s", g_misfit.section, key, value);
  g_misfit.seen = true;
  return def;
}

int flag(long v) { return v != 0 ? 1 : 0; }

}  // namespace

int readconfig(const char* path, char* misfit, size_t misfitsize, const char* logpath) {
  g_misfit = Misfit{misfit, misfitsize, "", false};
  writeconfig(path, logpath);
  int bad = 0;
  int first = inisetfile(path, &bad);
  // Said once, not per line: a garbled file should not flood the start-up.
  if (first != 0)
    logmsg(LOG_WARN, "Settings file %s: line %d cannot be read (%d such line(s) ignored)", path,
           first, bad);
  ServerSettings& s = settings;

  section("Listener");
  inigetstr("HostName", "", s.HostName, 260);
  inigetstr("ListenIP", "any", s.ListenIP, 16);
  s.ListenPort = (int32_t)number("ListenPort", kDefaultPort);
  s.RxTimeOut = (uint32_t)number("RxTimeOut", kDefaultRxTimeOut, true);

  section("Options");
  s.FakeSmtp = flag(number("FakeSmtp", 0));
  s.LogHost = flag(number("LogHost", 0));
  s.QuerySenderBase = flag(number("QuerySenderBase", 1));

  section("DNSinfo");
  inigetstr("CYMRU_ORG", kDefaultCymruOrg, s.CYMRU_ORG, 260);
  inigetstr("CYMRU_ASN", kDefaultCymruAsn, s.CYMRU_ASN, 260);
  inigetstr("SB_SUFFIX", kDefaultSbSuffix, s.SB_SUFFIX, 260);
  inigetstr("TLD_SUFFIX", kDefaultTldSuffix, s.TLD_SUFFIX, 260);
  inigetstr("NameServer", "", s.NameServer, 260);
  s.DnsCache = (int32_t)number("DnsCache", kDefaultDnsCache);

  section("SPFv1");
  inigetstr("BestGuess", kDefaultBestGuess, s.BestGuess, 260);
  inigetstr("FallBack", kDefaultFallBack, s.FallBack, 260);
  s.UseWhitelist = flag(number("UseWhitelist", 0));

  section("Process");
  s.Threads = (int32_t)number("Threads", kDefaultThreads);
  s.Backlog = (int32_t)number("Backlog", kDefaultBacklog);
  s.QueueSize = (int32_t)number("QueueSize", kDefaultQueueSize);
  s.TarpitTime = (int32_t)number("TarpitTime", kDefaultTarpit);
  inigetstr("User", "", s.User, sizeof s.User);
  s.AnalysisBacklog = (int32_t)number("AnalysisBacklog", kDefaultAnalysisBacklog);
  s.MaxSessions = (int32_t)number("MaxSessions", kDefaultMaxSessions);
  s.MaxSessionsPerAddress =
      (int32_t)number("MaxSessionsPerAddress", kDefaultMaxSessionsPerAddress);

  section("Logging");
  inigetstr("LogPath", ".", s.LogPath, 260);
  s.LogLevel = (int32_t)number("LogLevel", kDefaultLogLevel);
  s.DebugOutput = flag(number("DebugOutput", 0));
  s.JsonLines = flag(number("JsonLines", 0));
  inigetstr("SystemLog", "", s.SystemLog, sizeof s.SystemLog);

  section("Metrics");
  inigetstr("Listen", "", s.MetricsListen, sizeof s.MetricsListen);
  return g_misfit.seen ? 0 : 1;
}

int localhostname(char* buf) {
  char name[260 + 1];
  char found[kTextCap + 1];
  uint32_t addr = 0xFFFFFFFFu;  // none
  int result = 0;
  if (plat::gethostname(name, sizeof name)) {
    if (plat::isipaddr(name)) addr = plat::inetaddr(name);
    else dns::resolver().HostAddress(name, &addr);
    if (addr != 0xFFFFFFFFu && dns::resolver().HostName(addr, found, sizeof found)) {
      textcopy(buf, kTextCap + 1, found);
      result = 1;
    }
  }
  if (buf[0] == '\0') textcopy(buf, kTextCap + 1, "localhost");
  return result;
}
