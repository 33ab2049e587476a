// The operating system's service manager, as the service control needs it:
// running under it (status reports, stop requests) and installing, stopping
// and removing the program's service.
#pragma once
#include <cstddef>

namespace plat {

// Service states as reported to and read from the service manager.
enum class SvcState { StartPending, Running, StopPending, Stopped };

// Control requests handed to the service's control handler.
constexpr int kSvcControlStop = 1;
constexpr int kSvcControlInterrogate = 4;
constexpr int kSvcControlShutdown = 5;

// ---- Running as the service ------------------------------------------

// 1 when the service manager started this process as its service.
int svcstartedbymanager();
// Connects to the service manager as the service `name`; its stop requests
// reach `handler` as control codes. Returns 1 on success, 0 with the last
// error set.
int svcregister(const char* name, void (*handler)(int control));
// Reports a status to the service manager. Returns 1 on success.
int svcreport(SvcState state, int exitcode, unsigned checkpoint, unsigned waithint);

// ---- Installing and removing -----------------------------------------
// Every call that fails returns 0 (or null) with the last error set (error.h).

// How the usage text speaks of this system's service manager: the -I and -U
// descriptions and the example's address and log directory (the program's
// name follows it).
struct SvcWords {
  const char* install;
  const char* remove;
  const char* address;
  const char* logdir;
};
extern const SvcWords kSvcWords;

// The log directory of a service installed from `exedir` when the settings
// name none of their own: "log" below `exedir` where the service may not
// write beside the program (returns 1); returns 0 where it may.
int svcdefaultlogdir(const char* exedir, char* out, size_t size);

struct SvcHandle;

// Who the installed service runs as and the one directory it writes (empty
// where the service manager decides the account, as on Windows).
struct SvcAccount {
  char user[64];
  char group[64];
  char logdir[1024];
  char settings[1024];  // the settings file to pass with -c (empty: none)
  // The settings name the program's own directory for the logs, which the
  // service may not write: it logs to `logdir` instead.
  bool logmoved;
};

// Prepares the service's account: the user `user` (else `fallback`) must
// exist; the log directory is `logpath`, or "log" beside the executable when
// `logpath` is empty or the executable's own directory; it is created when
// missing and given to the user. Returns 1; 0 with the reason in `why`.
int svcaccount(const char* user, const char* fallback, const char* logpath, const char* exepath,
               SvcAccount* out, char* why, size_t whysize);

// Opens the service manager with the rights to create and delete services.
SvcHandle* svcopenmanager();
// Registers the service `name` for the executable `exepath`: started
// automatically after the network is up, in its own process, under `account`.
SvcHandle* svccreate(SvcHandle* manager, const char* name, const char* display,
                     const char* exepath, const SvcAccount& account);
SvcHandle* svcopen(SvcHandle* manager, const char* name);
// Asks the service to stop. Returns 1 when it took the request (it was
// running), with its state at that moment in `state`.
int svcstop(SvcHandle* service, SvcState* state);
int svcquery(SvcHandle* service, SvcState* state);
int svcdelete(SvcHandle* service);
void svcclose(SvcHandle* handle);

}  // namespace plat
