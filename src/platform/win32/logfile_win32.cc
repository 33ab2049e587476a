// The C runtime's files in text mode (CR LF line ends), one write per line,
// the result checked. Windows has no FIFOs or symbolic links that an ordinary
// user could plant in the log directory, so the plain open stays.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "platform/logfile.h"

namespace plat {

int logopen(const char* path, LogFile* f, int* err) {
  f->handle = -1;
  int fd = _open(path, _O_RDWR | _O_APPEND | _O_CREAT | _O_TEXT | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    *err = errno;
    return kLogFileOpenFailed;
  }
  f->handle = fd;
  return kLogFileOk;
}

int logappend(LogFile* f, const char* line, size_t len, int* err) {
  int fd = (int)f->handle;
  long long size = _filelengthi64(fd);
  if (size < 0) {
    *err = errno;
    return kLogFileWriteFailed;
  }
  char last = '\n';
  if (size > 0 && (_lseeki64(fd, size - 1, SEEK_SET) < 0 || _read(fd, &last, 1) != 1))
    last = '\n';
  if (last != '\n' && _write(fd, "\n", 1) < 1) {
    *err = errno == 0 ? ENOSPC : errno;
    return kLogFileWriteFailed;
  }
  if (last != '\n') size = _filelengthi64(fd);
  int n = _write(fd, line, (unsigned)len);
  // Text mode may count the carriage returns it added.
  if (n >= (int)len) return kLogFileOk;
  *err = n < 0 ? errno : ENOSPC;
  if (n > 0 && size >= 0) (void)_chsize_s(fd, size);
  return kLogFileWriteFailed;
}

void logclose(LogFile* f) {
  if (f->handle >= 0) _close((int)f->handle);
  f->handle = -1;
}

}  // namespace plat
