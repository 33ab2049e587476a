#include "common/log.h"

#include <strings.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "platform/error.h"
#include "platform/logfile.h"
#include "platform/sys.h"
#include "common/settings.h"
#include "base/metrics.h"
#include "base/text.h"
#include "base/textbuf.h"

namespace {

std::mutex g_log_lock;
// Room for the local date and time before a diagnostic line.
constexpr size_t kLinePrefixSize = 32;

const char* label(int level) {
  switch (level) {
    case 0: return "[CRIT]";
    case 1: return "[ERR ]";
    case 2: return "[WARN]";
    case 3: return "[INFO]";
    case 4: return "[LOG ]";
    case 5: return "[CONN]";
    case 6: return "[DATA]";
    case 8: return "[TRON]";
    default: return "[UNKN]";
  }
}

// Files get every control byte as a blank; the console keeps tab and line
// feed so that multi-line messages stay readable.
void cleanforfile(char* s) { blankcontrols(s, strlen(s)); }
void cleanforconsole(char* s) { blankcontrols(s, strlen(s), true); }

// A daily file that cannot be written is reported once when it starts
// failing and once when it works again, never once per lost line. The
// connection log and the diagnostic file fail and recover on their own.
struct Episode {
  std::atomic<bool> failing{false};
  std::atomic<unsigned long> lost{0};
};
Episode g_episodes[2];

void noteoutcome(const char* base, const char* path, int rc, int err) {
  int which = strcasecmp(base, "ipinfo") == 0 ? metrics::kLogConnection : metrics::kLogDiagnostic;
  Episode& e = g_episodes[which];
  metrics::add(rc == plat::kLogFileOk ? metrics::counters.lines_written[which]
                                      : metrics::counters.lines_lost[which]);
  if (rc == plat::kLogFileOk) {
    if (e.failing.exchange(false))
      logmsg(LOG_WARN, "Writing log file %s resumed, %lu line(s) lost", path, e.lost.exchange(0));
    return;
  }
  e.lost.fetch_add(1);
  if (e.failing.exchange(true)) return;
  char reason[256];
  if (rc == plat::kLogFileNotRegular)
    textcopy(reason, "not a regular file of its own");
  else
    plat::errortext(err, reason, sizeof reason);
  logmsg(LOG_ERR, "Cannot write log file %s (%s), its lines are lost until it works again", path,
         reason);
}

void dailypath(const char* base, const SysTime& t, char* path, size_t size,
               const char* ext = "log") {
  textformat(path, size, "%s%c%s%04d%02d%02d.%s", settings.LogPath, plat::kPathSep, base, t.year,
             t.month, t.day, ext);
}

// Log followers (fail2ban, tail -F) cannot know the date in a file name:
// "ipinfo.log" names today's connection file. The link is renewed with the
// first line written to a file it does not name yet (each day's first line,
// and the first after a start).
char g_linked[kLogPathSize];  // guarded by g_log_lock

void renewdailylink(const char* base, const char* path) {
  if (strcasecmp(base, "ipinfo") != 0 || strcmp(g_linked, path) == 0) return;
  const char* name = strrchr(path, plat::kPathSep);
  name = name ? name + 1 : path;
  char link[kLogPathSize];
  textformat(link, sizeof link, "%s%c%s.log", settings.LogPath, plat::kPathSep, base);
  if (plat::renewlink(name, link)) textcopy(g_linked, path);
}

// The connection log takes a line for every connection: its two files (the
// lines and the JSON lines) stay open between lines, each checked before a
// line to be still the file its name names. Guarded by g_log_lock.
plat::LogFile g_connfiles[2];

void vwritelog(const char* base, const char* format, va_list ap) {
  if (settings.LogPath[0] == '\0') return;
  SysTime t;
  plat::localnow(&t);
  char path[kLogPathSize];
  dailypath(base, t, path, sizeof path);
  char msg[kLogBufferSize];
  textvformat(msg, sizeof msg, format, ap);
  cleanforfile(msg);

  // The whole line goes out in one write, so that it lands whole or not at all.
  char line[kLogBufferSize + kLinePrefixSize];
  line[0] = '\0';
  if (strcasecmp(base, "ipinfo") != 0)
    textformat(line, sizeof line, "%04d-%02d-%02d|%02d:%02d:%02d|", t.year, t.month, t.day, t.hour,
               t.minute, t.second);
  textappend(line, sizeof line, msg);
  textappend(line, sizeof line, "\n");

  int rc, err;
  if (strcasecmp(base, "ipinfo") == 0) {
    std::lock_guard<std::mutex> guard(g_log_lock);
    rc = plat::logreopen(path, &g_connfiles[0]);
    if (rc == plat::kLogFileOk) rc = plat::logappend(&g_connfiles[0], line, strlen(line));
    if (rc == plat::kLogFileOk) renewdailylink(base, path);
    err = rc == plat::kLogFileOk ? 0 : plat::lasterror();
    if (!plat::kLogFilesStayOpen) plat::logclose(&g_connfiles[0]);
  } else {
    // Opening never blocks and is done before the lock is taken.
    plat::LogFile f;
    rc = plat::logopen(path, &f);
    if (rc == plat::kLogFileOk) {
      std::lock_guard<std::mutex> guard(g_log_lock);
      rc = plat::logappend(&f, line, strlen(line));
    }
    err = rc == plat::kLogFileOk ? 0 : plat::lasterror();
    plat::logclose(&f);
  }
  noteoutcome(base, path, rc, err);
}

}  // namespace

void writeconnection(const char* text, const char* json, size_t jsonlen) {
  if (json == nullptr) {
    writelog("ipinfo", "%s\n", text);
    return;
  }
  if (settings.LogPath[0] == '\0') return;
  SysTime t;
  plat::localnow(&t);
  char path[kLogPathSize], jpath[kLogPathSize];
  dailypath("ipinfo", t, path, sizeof path);
  dailypath("ipinfo", t, jpath, sizeof jpath, "jsonl");
  // The same bytes as writelog("ipinfo", "%s\n", text) writes.
  char msg[kLogBufferSize];
  textformat(msg, sizeof msg, "%s\n", text);
  cleanforfile(msg);
  char line[kLogBufferSize + kLinePrefixSize];
  textcopy(line, msg);
  textappend(line, sizeof line, "\n");
  std::string jline;
  try {
    jline.assign(json, jsonlen);
    jline += '\n';
  } catch (const std::bad_alloc&) {
    return;
  }

  std::unique_lock<std::mutex> guard(g_log_lock);
  plat::LogFile& f = g_connfiles[0];
  plat::LogFile& jf = g_connfiles[1];
  int rc = plat::logreopen(path, &f);
  int jrc = rc == plat::kLogFileOk ? plat::logreopen(jpath, &jf) : rc;
  if (jrc == plat::kLogFileOk) {
    long long size = plat::logsize(&f);
    rc = plat::logappend(&f, line, strlen(line));
    if (rc == plat::kLogFileOk) {
      jrc = plat::logappend(&jf, jline.data(), jline.size());
      // Never one line without the other.
      if (jrc != plat::kLogFileOk && plat::logtruncate(&f, size) == plat::kLogFileOk)
        rc = jrc;
      if (rc == plat::kLogFileOk) renewdailylink("ipinfo", path);
    } else {
      jrc = rc;
    }
  }
  int err = rc == plat::kLogFileOk && jrc == plat::kLogFileOk ? 0 : plat::lasterror();
  if (!plat::kLogFilesStayOpen) {
    plat::logclose(&f);
    plat::logclose(&jf);
  }
  guard.unlock();
  noteoutcome("ipinfo", rc != plat::kLogFileOk ? path : jpath,
              rc != plat::kLogFileOk ? rc : jrc, err);
}

void logfilepath(const char* base, char* path, size_t size) {
  SysTime t;
  plat::localnow(&t);
  dailypath(base, t, path, size);
}

void log_lock_init() {}
void log_lock_delete() {}

void writelog(const char* base, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  vwritelog(base, format, ap);
  va_end(ap);
}

void logmsg(int level, const char* format, ...) {
  // A message no channel takes costs nothing, not even its formatting.
  if (level > settings.LogLevel && settings.DebugOutput != 1) return;
  char msg[kLogBufferSize];
  va_list ap;
  va_start(ap, format);
  textvformat(msg, sizeof msg, format, ap);
  va_end(ap);

  char line[kLogBufferSize];
  textformat(line, sizeof line, "%s %s", label(level), msg);

  if (level <= settings.LogLevel) {
    writelog("nestrap", "%s\n", line);
    char console[kLogBufferSize];
    textcopy(console, line);
    cleanforconsole(console);
    // The journal stamps what it reads from standard error itself, and
    // takes a leading "<N>" as the line's syslog priority.
    static const bool journal = plat::stderrisjournal();
    static const int kPriority[] = {2, 3, 4, 6};  // crit, err, warning, info
    SysTime t;
    plat::utcnow(&t);
    if (journal)
      fprintf(stderr, "<%d>%s\n", level >= 0 && level <= 3 ? kPriority[level] : 7, console);
    else
      fprintf(stderr, "%04d-%02d-%02d %02d:%02d:%02d %s\n", t.year, t.month, t.day, t.hour,
              t.minute, t.second, console);
  }

  if (settings.DebugOutput != 1) return;
  char debug[kLogBufferSize];
  textformat(debug, sizeof debug, "[%s] %s", kProgramName, line);
  cleanforconsole(debug);
  plat::debugoutput(debug);
}
