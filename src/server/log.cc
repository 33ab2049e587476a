#include "server/log.h"

#include <strings.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "platform/sys.h"
#include "server/settings.h"
#include "server/textbuf.h"

namespace {

std::mutex g_log_lock;

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

// Clients and DNS answers can put terminal control sequences into logged
// text. Files get every control byte as a blank; the console keeps tab and
// line feed so that multi-line messages stay readable.
void cleanforfile(char* s) {
  for (; *s; ++s) {
    unsigned char c = (unsigned char)*s;
    if (c < 0x20 || c == 0x7F) *s = ' ';
  }
}

void cleanforconsole(char* s) {
  for (; *s; ++s) {
    unsigned char c = (unsigned char)*s;
    if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F) *s = ' ';
  }
}

void vwritelog(const char* base, const char* format, va_list ap) {
  if (settings.LogPath[0] == '\0') return;
  SysTime t;
  plat::localnow(&t);
  char path[600];
  textformat(path, sizeof path, "%s%c%s%04d%02d%02d.log", settings.LogPath, plat::kPathSep, base,
             t.year, t.month, t.day);
  char msg[kLogBufferSize];
  textvformat(msg, sizeof msg, format, ap);
  cleanforfile(msg);

  std::lock_guard<std::mutex> guard(g_log_lock);
  FILE* f = fopen(path, "a");
  if (f == nullptr) return;
  if (strcasecmp(base, "ipinfo") != 0)
    fprintf(f, "%04d-%02d-%02d|%02d:%02d:%02d|", t.year, t.month, t.day, t.hour, t.minute,
            t.second);
  fprintf(f, "%s\n", msg);
  fclose(f);
}

}  // namespace

void log_lock_init() {}
void log_lock_delete() {}

void writelog(const char* base, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  vwritelog(base, format, ap);
  va_end(ap);
}

void logmsg(int level, const char* format, ...) {
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
    SysTime t;
    plat::utcnow(&t);
    fprintf(stderr, "%04d-%02d-%02d %02d:%02d:%02d %s\n", t.year, t.month, t.day, t.hour, t.minute,
            t.second, console);
  }

  char debug[kLogBufferSize];
  textformat(debug, sizeof debug, "[%s] %s", kProgramName, line);
  cleanforconsole(debug);
  plat::debugoutput(debug);
}
