// systemd as the service manager: the sd_notify protocol on NOTIFY_SOCKET for
// status reports, SIGTERM as the stop request, and a unit file plus systemctl
// for installing and removing.
//
// NAME_UNIT_DIR and NAME_SYSTEMCTL (NAME: the program's name in upper case)
// name another unit directory and another systemctl; the tests use them to
// stand in for the machine's systemd.
#include "platform/svcmgr.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/error.h"
#include "platform/privs.h"
#include "platform/sys.h"
#include "base/textbuf.h"

extern char** environ;

namespace plat {

// ---- Running as the service ------------------------------------------

namespace {

std::mutex notify_lock;
int notify_fd = -1;
struct sockaddr_un notify_addr;
socklen_t notify_addrlen = 0;
void (*control_handler)(int) = nullptr;

bool nonempty(const char* name) {
  const char* v = getenvvar(name);
  return v != nullptr && v[0] != '\0';
}

// systemd's stop and the machine's shutdown both arrive as SIGTERM.
void stoprequest(int) {
  if (control_handler != nullptr) control_handler(kSvcControlStop);
}

}  // namespace

int svcstartedbymanager() { return nonempty("NOTIFY_SOCKET") || nonempty("INVOCATION_ID") ? 1 : 0; }

int svcregister(const char* name, void (*handler)(int control)) {
  (void)name;  // systemd knows the unit by its own name
  const char* path = getenvvar("NOTIFY_SOCKET");
  if (path != nullptr && path[0] != '\0') {
    // "/path" or "@abstract"; nothing else is understood.
    size_t len = strlen(path);
    if ((path[0] != '/' && path[0] != '@') || len >= sizeof notify_addr.sun_path) {
      errno = EAFNOSUPPORT;
      return 0;
    }
    memset(&notify_addr, 0, sizeof notify_addr);
    notify_addr.sun_family = AF_UNIX;
    memcpy(notify_addr.sun_path, path, len);
    if (path[0] == '@') notify_addr.sun_path[0] = '\0';
    notify_addrlen = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + len);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    // Connected now, while the process may still be root: the socket file
    // is the service manager's, and the user the server switches to may not
    // reach it afterwards.
    if (connect(fd, (struct sockaddr*)&notify_addr, notify_addrlen) != 0) {
      int err = errno;
      close(fd);
      errno = err;
      return 0;
    }
    notify_fd = fd;
  }
  control_handler = handler;
  setstopsignalhandler(stoprequest);
  return 1;
}

int svcreport(SvcState state, int exitcode, unsigned checkpoint, unsigned waithint) {
  (void)waithint;  // systemd keeps its own start and stop time-outs
  char msg[128];
  switch (state) {
    case SvcState::StartPending:
      textformat(msg, sizeof msg, "STATUS=Starting (%u)", checkpoint);
      break;
    case SvcState::Running:
      textcopy(msg, sizeof msg, "READY=1\nSTATUS=Running");
      break;
    case SvcState::StopPending:
      textformat(msg, sizeof msg, "STOPPING=1\nSTATUS=Stopping (%u)", checkpoint);
      break;
    case SvcState::Stopped:
      textformat(msg, sizeof msg, "STATUS=Stopped, exit code %d", exitcode);
      break;
  }
  std::lock_guard<std::mutex> g(notify_lock);
  if (notify_fd < 0) return 1;  // started by systemd without the notify protocol
  ssize_t n = send(notify_fd, msg, strlen(msg), MSG_NOSIGNAL);
  return n == (ssize_t)strlen(msg) ? 1 : 0;
}

// ---- Installing and removing -----------------------------------------

const SvcWords kSvcWords = {"install and enable the systemd unit nestrap.service",
                            "stop and remove that systemd unit", "192.0.2.25", "/var/log/"};

int svcdefaultlogdir(const char* exedir, char* out, size_t size) {
  textformat(out, size, "%s/log", strcmp(exedir, "/") == 0 ? "" : exedir);
  return 1;
}

struct SvcHandle {
  char unitdir[1024];
  char unitname[128];
  char unitpath[1200];
};

namespace {

// The environment variable NAME_<what>, when set and not empty; else `fallback`.
const char* envoverride(const char* what, const char* fallback) {
  char name[128];
  size_t n = textformat(name, sizeof name, "%s_%s", programname(), what);
  for (size_t i = 0; i < n; i++) name[i] = (char)toupper((unsigned char)name[i]);
  const char* v = getenvvar(name);
  return v != nullptr && v[0] != '\0' ? v : fallback;
}

const char* unitdir() { return envoverride("UNIT_DIR", "/etc/systemd/system"); }

const char* systemctl() { return envoverride("SYSTEMCTL", "systemctl"); }

// Runs systemctl with up to three arguments; its standard output goes to
// `out` when given. Returns 1 when it ran and succeeded; otherwise 0 with
// errno set (EIO when it ran and failed).
int runsystemctl(const char* a1, const char* a2, const char* a3, char* out, size_t outsize) {
  const char* argv[] = {systemctl(), a1, a2, a3, nullptr};
  int pipefd[2] = {-1, -1};
  if (out != nullptr) {
    out[0] = '\0';
    if (pipe2(pipefd, O_CLOEXEC) != 0) return 0;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (out != nullptr) posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
  pid_t pid;
  int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, (char* const*)argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  if (out != nullptr) close(pipefd[1]);
  if (rc != 0) {
    if (out != nullptr) close(pipefd[0]);
    errno = rc;
    return 0;
  }
  if (out != nullptr) {
    size_t used = 0;
    char buf[256];
    for (;;) {
      ssize_t n = read(pipefd[0], buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      for (ssize_t i = 0; i < n && used + 1 < outsize; i++) out[used++] = buf[i];
    }
    out[used] = '\0';
    close(pipefd[0]);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return 0;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    errno = EIO;
    return 0;
  }
  return 1;
}

// Appends `text` to `out`, doubling what the unit file parser would expand
// ("$" only in command lines).
void appendunitvalue(char* out, size_t size, const char* text, bool quoted, bool exec = true) {
  for (const char* p = text; *p; p++) {
    char c[2] = {*p, '\0'};
    if (*p == '%')
      textappend(out, size, "%%");
    else if (quoted && (*p == '\\' || *p == '"')) {
      textappend(out, size, "\\");
      textappend(out, size, c);
    } else if (quoted && exec && *p == '$')
      textappend(out, size, "$$");
    else
      textappend(out, size, c);
  }
}

// The service's confinement: it binds its port with the one capability
// it needs, reads the program's directory and writes its log directory only.
constexpr const char* kSandbox =
    "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
    "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
    "NoNewPrivileges=yes\n"
    "ProtectSystem=strict\n"
    "ProtectHome=yes\n"
    "PrivateTmp=yes\n"
    "PrivateDevices=yes\n"
    "PrivateIPC=yes\n"
    "PrivateMounts=yes\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "ProtectClock=yes\n"
    "ProtectHostname=yes\n"
    "ProtectProc=invisible\n"
    "ProcSubset=pid\n"
    "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"
    "RestrictNamespaces=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "SystemCallFilter=@system-service\n"
    "SystemCallFilter=~@privileged\n"
    "SystemCallArchitectures=native\n"
    "RemoveIPC=yes\n"
    "DevicePolicy=closed\n"
    "UMask=0027\n";

// A path as one unit-file word: quoted when it holds what would split it
// (or, in a command line, expand).
void appendunitpath(char* out, size_t size, const char* path, bool exec) {
  bool quote = strpbrk(path, exec ? " \t\"'\\$" : " \t\"'\\") != nullptr;
  if (quote) textappend(out, size, "\"");
  appendunitvalue(out, size, path, quote, exec);
  if (quote) textappend(out, size, "\"");
}

bool unitcontent(char* out, size_t size, const char* display, const char* exepath,
                 const SvcAccount& account) {
  if (strpbrk(exepath, "\r\n") != nullptr || strpbrk(account.logdir, "\r\n") != nullptr ||
      strpbrk(account.settings, "\r\n") != nullptr)
    return false;
  char dir[1024];
  textcopy(dir, sizeof dir, exepath);
  char* slash = strrchr(dir, '/');
  if (slash == nullptr) return false;
  slash[slash == dir ? 1 : 0] = '\0';

  textformat(out, size, "# Written by \"%s -I\"; \"%s -U\" removes it.\n", programname(),
             programname());
  textappend(out, size, "[Unit]\nDescription=");
  appendunitvalue(out, size, display, false);
  textappend(out, size, "\nAfter=network-online.target\nWants=network-online.target\n\n");
  textappend(out, size, "[Service]\nType=notify\nExecStart=");
  appendunitpath(out, size, exepath, true);
  if (account.settings[0] != '\0') {
    textappend(out, size, " -c ");
    appendunitpath(out, size, account.settings, true);
  }
  textappend(out, size, " -l ");
  appendunitpath(out, size, account.logdir, true);
  textappend(out, size, "\nWorkingDirectory=");
  appendunitvalue(out, size, dir, false);
  // SIGHUP reloads the list files; a failed run is started again, unless
  // its settings are invalid (exit status 2), which a restart cannot mend.
  textappend(out, size, "\nExecReload=/bin/kill -HUP $MAINPID\nRestart=on-failure\n");
  textappend(out, size, "RestartPreventExitStatus=2\nUser=");
  appendunitvalue(out, size, account.user, false);
  textappend(out, size, "\nGroup=");
  appendunitvalue(out, size, account.group, false);
  textappend(out, size, "\nReadWritePaths=");
  appendunitpath(out, size, account.logdir, false);
  textappend(out, size, "\n");
  textappend(out, size, kSandbox);
  textappend(out, size, "\n[Install]\nWantedBy=multi-user.target\n");
  return true;
}

SvcHandle* newhandle(const char* name) {
  SvcHandle* h = (SvcHandle*)calloc(1, sizeof(SvcHandle));
  if (h == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  textcopy(h->unitdir, sizeof h->unitdir, unitdir());
  if (name != nullptr) {
    textformat(h->unitname, sizeof h->unitname, "%s.service", name);
    textformat(h->unitpath, sizeof h->unitpath, "%s/%s", h->unitdir, h->unitname);
  }
  return h;
}

}  // namespace

int svcaccount(const char* user, const char* fallback, const char* logpath, const char* exepath,
               SvcAccount* out, char* why, size_t whysize) {
  memset(out, 0, sizeof *out);
  const char* name = user != nullptr && user[0] != '\0' ? user : fallback;
  RunAs u;
  if (!lookupuser(name, &u)) {
    textformat(why, whysize,
               "no user \"%s\" to run the service as (useradd --system --user-group "
               "--no-create-home --shell /usr/sbin/nologin %s, or -u names another)",
               name, name);
    return 0;
  }
  textcopy(out->user, sizeof out->user, u.user);
  textcopy(out->group, sizeof out->group, u.group);

  // The program's directory stays read-only for the service: its logs go
  // to a directory of their own there unless the settings name another.
  char dir[1024];
  textcopy(dir, sizeof dir, exepath);
  char* slash = strrchr(dir, '/');
  if (slash != nullptr) slash[slash == dir ? 1 : 0] = '\0';
  char real[PATH_MAX], realdir[PATH_MAX];
  bool beside = logpath == nullptr || logpath[0] == '\0' ||
                (realpath(logpath, real) != nullptr && realpath(dir, realdir) != nullptr &&
                 strcmp(real, realdir) == 0);
  out->logmoved = beside && logpath != nullptr && logpath[0] != '\0';
  if (beside)
    svcdefaultlogdir(dir, out->logdir, sizeof out->logdir);
  else if (logpath[0] == '/')
    textcopy(out->logdir, sizeof out->logdir, logpath);
  else
    textformat(out->logdir, sizeof out->logdir, "%s/%s", dir, logpath);

  bool created = mkdir(out->logdir, 0750) == 0;
  int fd = open(out->logdir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  // A directory made now, or the program's own, goes to the user; one the
  // administrator named and made is left as it is.
  bool ok = fd >= 0 && (!(created || beside) || (fchown(fd, (uid_t)u.uid, (gid_t)u.gid) == 0 &&
                                                 fchmod(fd, 0750) == 0));
  int err = errno;
  if (fd >= 0) close(fd);
  if (!ok) {
    char text[256];
    errortext(err, text, sizeof text);
    textformat(why, whysize, "cannot prepare log directory %s - %s (0x%x)", out->logdir, text,
               (unsigned)err);
    return 0;
  }
  return 1;
}

SvcHandle* svcopenmanager() {
  const char* dir = unitdir();
  struct stat st;
  if (stat(dir, &st) != 0) return nullptr;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return nullptr;
  }
  // Installing needs the right to write units, as an administrator has.
  if (access(dir, W_OK) != 0) return nullptr;
  return newhandle(nullptr);
}

SvcHandle* svccreate(SvcHandle* manager, const char* name, const char* display,
                     const char* exepath, const SvcAccount& account) {
  (void)manager;
  SvcHandle* h = newhandle(name);
  if (h == nullptr) return nullptr;
  char content[8192];
  if (!unitcontent(content, sizeof content, display, exepath, account) ||
      strlen(content) + 1 >= sizeof content) {
    free(h);
    errno = EINVAL;
    return nullptr;
  }
  int fd = open(h->unitpath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    int err = errno;
    free(h);
    errno = err;
    return nullptr;
  }
  size_t len = strlen(content);
  bool written = write(fd, content, len) == (ssize_t)len;
  int err = errno;
  if (close(fd) != 0 && written) {
    written = false;
    err = errno;
  }
  if (written && runsystemctl("daemon-reload", nullptr, nullptr, nullptr, 0) &&
      runsystemctl("enable", h->unitname, nullptr, nullptr, 0))
    return h;
  // Leave nothing half-installed behind.
  if (written) err = errno;
  unlink(h->unitpath);
  runsystemctl("daemon-reload", nullptr, nullptr, nullptr, 0);
  free(h);
  errno = err;
  return nullptr;
}

SvcHandle* svcopen(SvcHandle* manager, const char* name) {
  (void)manager;
  SvcHandle* h = newhandle(name);
  if (h == nullptr) return nullptr;
  struct stat st;
  if (stat(h->unitpath, &st) != 0) {
    int err = errno;
    free(h);
    errno = err;
    return nullptr;
  }
  return h;
}

int svcquery(SvcHandle* service, SvcState* state) {
  char out[128];
  // is-active exits non-zero for every state but "active"; its text decides.
  if (!runsystemctl("is-active", service->unitname, nullptr, out, sizeof out) && errno != EIO)
    return 0;
  out[strcspn(out, " \t\r\n")] = '\0';
  if (strcmp(out, "active") == 0 || strcmp(out, "reloading") == 0 ||
      strcmp(out, "refreshing") == 0 || strcmp(out, "maintenance") == 0)
    *state = SvcState::Running;
  else if (strcmp(out, "activating") == 0)
    *state = SvcState::StartPending;
  else if (strcmp(out, "deactivating") == 0)
    *state = SvcState::StopPending;
  else if (strcmp(out, "inactive") == 0 || strcmp(out, "failed") == 0)
    *state = SvcState::Stopped;
  else {
    errno = EIO;
    return 0;
  }
  return 1;
}

int svcstop(SvcHandle* service, SvcState* state) {
  SvcState now;
  if (!svcquery(service, &now)) return 0;
  if (now != SvcState::Running && now != SvcState::StartPending) {
    *state = now;
    errno = ESRCH;  // not running: there is nothing to stop
    return 0;
  }
  if (!runsystemctl("stop", "--no-block", service->unitname, nullptr, 0)) return 0;
  *state = SvcState::StopPending;
  return 1;
}

int svcdelete(SvcHandle* service) {
  if (!runsystemctl("disable", service->unitname, nullptr, nullptr, 0)) return 0;
  if (unlink(service->unitpath) != 0) return 0;
  return runsystemctl("daemon-reload", nullptr, nullptr, nullptr, 0);
}

void svcclose(SvcHandle* handle) { free(handle); }

}  // namespace plat
