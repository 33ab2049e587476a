// Windows keeps its plain append: the C runtime in text mode (CR LF line
// ends), one write per line, the result checked.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/logfile.h"

namespace plat {

int logopen(const char* path, LogFile* f, int* err) {
  f->handle = -1;
  int fd = _open(path, _O_WRONLY | _O_APPEND | _O_CREAT | _O_TEXT | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    *err = errno;
    return kLogFileOpenFailed;
  }
  f->handle = fd;
  return kLogFileOk;
}

int logappend(LogFile* f, const char* line, size_t len, int* err) {
  int n = _write((int)f->handle, line, (unsigned)len);
  // Text mode may count the carriage returns it added.
  if (n >= (int)len) return kLogFileOk;
  *err = n < 0 ? errno : ENOSPC;
  return kLogFileWriteFailed;
}

void logclose(LogFile* f) {
  if (f->handle >= 0) _close((int)f->handle);
  f->handle = -1;
}

}  // namespace plat
