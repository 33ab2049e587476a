// The C runtime's files in text mode (CR LF line ends), one write per line,
// the result checked. Windows has no FIFOs or symbolic links that an ordinary
// user could plant in the log directory, so the plain open stays.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <windows.h>

#include <cstdio>

#include "platform/logfile.h"

namespace plat {

int logopen(const char* path, LogFile* f) {
  f->handle = -1;
  int fd = _open(path, _O_RDWR | _O_APPEND | _O_CREAT | _O_TEXT | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
  // The runtime's failed CreateFile left the system's reason as the last error.
  if (fd < 0) return kLogFileOpenFailed;
  f->handle = fd;
  return kLogFileOk;
}

const bool kLogFilesStayOpen = false;

int logreopen(const char* path, LogFile* f) {
  logclose(f);
  return logopen(path, f);
}

int logappend(LogFile* f, const char* line, size_t len) {
  int fd = (int)f->handle;
  long long size = _filelengthi64(fd);
  if (size < 0) return kLogFileWriteFailed;
  char last = '\n';
  if (size > 0 && (_lseeki64(fd, size - 1, SEEK_SET) < 0 || _read(fd, &last, 1) != 1))
    last = '\n';
  if (last != '\n') {
    int w = _write(fd, "\n", 1);
    if (w < 1) {
      // A failed WriteFile left its reason; nothing written means a full disk.
      if (w == 0) SetLastError(ERROR_DISK_FULL);
      return kLogFileWriteFailed;
    }
  }
  if (last != '\n') size = _filelengthi64(fd);
  int n = _write(fd, line, (unsigned)len);
  // Text mode may count the carriage returns it added.
  if (n >= (int)len) return kLogFileOk;
  DWORD err = n < 0 ? GetLastError() : ERROR_DISK_FULL;
  if (n > 0 && size >= 0) (void)_chsize_s(fd, size);
  SetLastError(err);
  return kLogFileWriteFailed;
}

long long logsize(LogFile* f) { return _filelengthi64((int)f->handle); }

int logtruncate(LogFile* f, long long size) {
  return size >= 0 && _chsize_s((int)f->handle, size) == 0 ? kLogFileOk : kLogFileWriteFailed;
}

void logclose(LogFile* f) {
  if (f->handle >= 0) _close((int)f->handle);
  f->handle = -1;
}

// Symbolic links need a privilege most Windows accounts lack; followers of
// the daily files on Windows read the dated names.
bool renewlink(const char*, const char*) { return false; }

}  // namespace plat
