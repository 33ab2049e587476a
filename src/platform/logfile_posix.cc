#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/logfile.h"

namespace plat {

int logopen(const char* path, LogFile* f) {
  f->handle = -1;
  // Read access too: the last byte tells whether a line was torn before.
  int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0640);
  if (fd < 0) return kLogFileOpenFailed;
  // Only a plain file of its own: a FIFO would block the writer, a device or
  // a second name of another file (a hard link) would take lines elsewhere.
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    close(fd);
    errno = EINVAL;
    return kLogFileNotRegular;
  }
  f->handle = fd;
  // Not kept as seen: a file opened before its writer's lock may grow first.
  f->seen = -1;
  f->dev = (unsigned long long)st.st_dev;
  f->ino = (unsigned long long)st.st_ino;
  f->end = -1;
  return kLogFileOk;
}

const bool kLogFilesStayOpen = true;

int logreopen(const char* path, LogFile* f) {
  struct stat st;
  if (f->handle >= 0 && lstat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
      (unsigned long long)st.st_dev == f->dev && (unsigned long long)st.st_ino == f->ino) {
    f->seen = (long long)st.st_size;
    return kLogFileOk;
  }
  logclose(f);
  return logopen(path, f);
}

int logappend(LogFile* f, const char* line, size_t len) {
  int fd = (int)f->handle;
  long long known = logsize(f);
  f->seen = -1;
  if (known < 0) return kLogFileWriteFailed;
  off_t size = (off_t)known;
  char last = '\n';
  // Where this handle's last line ended, the last byte is its line break.
  if (size > 0 && size != f->end && pread(fd, &last, 1, size - 1) != 1) last = '\n';
  if (last != '\n') {
    if (write(fd, "\n", 1) != 1) {
      if (errno == 0) errno = ENOSPC;
      return kLogFileWriteFailed;
    }
    size++;
  }
  ssize_t n;
  do {
    n = write(fd, line, len);
  } while (n < 0 && errno == EINTR);
  if (n == (ssize_t)len) {
    f->end = (long long)size + (long long)len;
    return kLogFileOk;
  }
  f->end = -1;
  // A short write (the disk filled up) leaves part of a line: take it back.
  int err = n < 0 ? errno : ENOSPC;
  if (n > 0) (void)ftruncate(fd, size);
  errno = err;
  return kLogFileWriteFailed;
}

long long logsize(LogFile* f) {
  if (f->seen >= 0) return f->seen;
  struct stat st;
  return fstat((int)f->handle, &st) == 0 ? (long long)st.st_size : -1;
}

int logtruncate(LogFile* f, long long size) {
  f->end = -1;
  f->seen = -1;
  return size >= 0 && ftruncate((int)f->handle, (off_t)size) == 0 ? kLogFileOk : kLogFileWriteFailed;
}

void logclose(LogFile* f) {
  if (f->handle >= 0) close((int)f->handle);
  f->handle = -1;
  f->seen = -1;
}

bool renewlink(const char* target, const char* linkpath) {
  char tmp[4096];
  if (snprintf(tmp, sizeof tmp, "%s.%ld.tmp", linkpath, (long)getpid()) >= (int)sizeof tmp)
    return false;
  unlink(tmp);
  if (symlink(target, tmp) != 0) return false;
  if (rename(tmp, linkpath) == 0) return true;
  int err = errno;
  unlink(tmp);
  errno = err;
  return false;
}

}  // namespace plat
