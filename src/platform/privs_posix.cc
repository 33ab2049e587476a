#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "platform/privs.h"
#include "base/textbuf.h"

namespace plat {

namespace {

constexpr size_t kPwBufferSize = 16384;

// True when the status line `key` (CapEff:, CapPrm:, ...) of this thread is
// all zero bits.
bool nocapabilities() {
  FILE* f = fopen("/proc/thread-self/status", "re");
  if (f == nullptr) return false;
  char line[256];
  int zero = 0;
  while (fgets(line, sizeof line, f) != nullptr) {
    for (const char* key : {"CapEff:", "CapPrm:", "CapAmb:"}) {
      size_t n = strlen(key);
      if (strncmp(line, key, n) != 0) continue;
      unsigned long long v = ~0ull;
      if (sscanf(line + n, "%llx", &v) == 1 && v == 0) zero++;
    }
  }
  fclose(f);
  return zero == 3;
}

}  // namespace

int lookupuser(const char* name, RunAs* out) {
  if (name == nullptr || name[0] == '\0') return 0;
  char buf[kPwBufferSize];
  struct passwd pw;
  struct passwd* found = nullptr;
  if (getpwnam_r(name, &pw, buf, sizeof buf, &found) != 0 || found == nullptr) return 0;
  textcopy(out->user, sizeof out->user, pw.pw_name);
  out->uid = (long)pw.pw_uid;
  out->gid = (long)pw.pw_gid;
  struct group gr;
  struct group* g = nullptr;
  char gbuf[kPwBufferSize];
  if (getgrgid_r(pw.pw_gid, &gr, gbuf, sizeof gbuf, &g) == 0 && g != nullptr)
    textcopy(out->group, sizeof out->group, gr.gr_name);
  else
    textformat(out->group, sizeof out->group, "%ld", out->gid);
  return 1;
}

int runasuser(const char* named, const char* fallback, RunAs* out) {
  memset(out, 0, sizeof *out);
  bool root = geteuid() == 0;
  if (named != nullptr && named[0] != '\0') {
    if (!lookupuser(named, out)) return kRunAsUnknown;
    return root && out->uid != 0 ? kRunAsUser : kRunAsNone;
  }
  if (!root) return kRunAsNone;
  return lookupuser(fallback, out) && out->uid != 0 ? kRunAsUser : kRunAsRoot;
}

void nonewprivileges() { (void)prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0); }

int giveto(const char* path, const RunAs& u) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? 1 : 0;
  struct stat st;
  int ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
           fchown(fd, (uid_t)u.uid, (gid_t)u.gid) == 0;
  close(fd);
  return ok;
}

int switchuser(const RunAs& u) {
  // glibc applies each of these to every thread of the process.
  if (initgroups(u.user, (gid_t)u.gid) != 0 || setgid((gid_t)u.gid) != 0 ||
      setuid((uid_t)u.uid) != 0)
    return 0;
  // Leaving uid 0 for good clears every capability; make sure of both. The
  // raw call tries this thread only, so that a success could not spread.
  if (syscall(SYS_setuid, 0) == 0 || geteuid() == 0 || getegid() == 0 || !nocapabilities()) {
    errno = EPERM;
    return 0;
  }
  return 1;
}

int dirwritable(const char* path) { return access(path, W_OK | X_OK) == 0 ? 1 : 0; }

int isroot() { return geteuid() == 0 ? 1 : 0; }

int currentuser(RunAs* out) {
  memset(out, 0, sizeof *out);
  char buf[kPwBufferSize];
  struct passwd pw;
  struct passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr)
    return lookupuser(pw.pw_name, out);
  out->uid = (long)geteuid();
  out->gid = (long)getegid();
  textformat(out->user, sizeof out->user, "%ld", out->uid);
  textformat(out->group, sizeof out->group, "%ld", out->gid);
  return 0;
}

int dirwritableas(const char* path, const RunAs& u) {
  // The groups are looked up here: the child only makes system calls, as
  // a child of a process that may have threads must.
  gid_t groups[256];
  int n = (int)(sizeof groups / sizeof groups[0]);
  if (getgrouplist(u.user, (gid_t)u.gid, groups, &n) < 0) n = 0;
  pid_t pid = fork();
  if (pid < 0) return 0;
  if (pid == 0) {
    int ok = setgroups((size_t)n, groups) == 0 && setgid((gid_t)u.gid) == 0 &&
             setuid((uid_t)u.uid) == 0 && access(path, W_OK | X_OK) == 0;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return 0;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
}

int makedirfor(const char* path, const RunAs& u) {
  if (mkdir(path, 0750) != 0) return 0;
  int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  int ok = fd >= 0 && fchown(fd, (uid_t)u.uid, (gid_t)u.gid) == 0 && fchmod(fd, 0750) == 0;
  int err = errno;
  if (fd >= 0) close(fd);
  errno = err;
  return ok;
}

}  // namespace plat
