// The Windows service control manager.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/svcmgr.h"
#include "base/textbuf.h"

namespace plat {

// ---- Running as the service ------------------------------------------

namespace {

// The service's name, as svcregister got it.
char service_name[256];

std::atomic<void (*)(int)> g_handler{nullptr};
SERVICE_STATUS_HANDLE g_status = nullptr;
DWORD g_registererror = 0;
std::atomic<DWORD> g_dispatcherror{0};
// Set when the service's main routine has registered its handler (or failed
// to), and when the final status has been reported.
HANDLE g_registered = nullptr;
HANDLE g_stopped = nullptr;

VOID WINAPI controlhandler(DWORD control) {
  void (*h)(int) = g_handler.load();
  if (h != nullptr) h((int)control);
}

// Runs on the dispatcher's thread. The status reports come from the
// program's own service routine on another thread; this one stays until the
// service has reported that it stopped.
VOID WINAPI servicemain(DWORD, LPSTR*) {
  g_status = RegisterServiceCtrlHandlerA(service_name, controlhandler);
  if (g_status == nullptr) g_registererror = GetLastError();
  SetEvent(g_registered);
  if (g_status != nullptr) WaitForSingleObject(g_stopped, INFINITE);
}

DWORD nativestate(SvcState s) {
  switch (s) {
    case SvcState::StartPending: return SERVICE_START_PENDING;
    case SvcState::Running: return SERVICE_RUNNING;
    case SvcState::StopPending: return SERVICE_STOP_PENDING;
    case SvcState::Stopped: return SERVICE_STOPPED;
  }
  return SERVICE_STOPPED;
}

SvcState programstate(DWORD s) {
  switch (s) {
    case SERVICE_START_PENDING: return SvcState::StartPending;
    case SERVICE_RUNNING: return SvcState::Running;
    case SERVICE_STOP_PENDING: return SvcState::StopPending;
    case SERVICE_STOPPED: return SvcState::Stopped;
    default: return SvcState::Running;  // continue / pause states
  }
}

SC_HANDLE sc(SvcHandle* h) { return (SC_HANDLE)(void*)h; }
SvcHandle* handle(SC_HANDLE h) { return (SvcHandle*)(void*)h; }

}  // namespace

// A process with a console was started by a user; a service has none. An
// empty title (as Wine's consoles have) reads as 0 characters without an
// error, and is still a console.
int svcstartedbymanager() {
  char title[2048];
  SetLastError(0);
  if (GetConsoleTitleA(title, 2047) != 0) return 0;
  return GetLastError() != 0 ? 1 : 0;
}

int svcregister(const char* name, void (*handler)(int control)) {
  textcopy(service_name, sizeof service_name, name);
  g_handler.store(handler);
  g_registered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g_stopped = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (g_registered == nullptr || g_stopped == nullptr) return 0;
  // The dispatcher blocks until the service has stopped, so it gets a thread
  // of its own and the caller carries on as the service's main routine.
  std::thread([] {
    static SERVICE_TABLE_ENTRYA table[] = {{service_name, servicemain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
      g_dispatcherror = GetLastError();
      SetEvent(g_registered);
    }
  }).detach();
  WaitForSingleObject(g_registered, INFINITE);
  if (g_dispatcherror.load() != 0) {
    SetLastError(g_dispatcherror.load());
    return 0;
  }
  if (g_status == nullptr) {
    SetLastError(g_registererror);
    return 0;
  }
  return 1;
}

int svcreport(SvcState state, int exitcode, unsigned checkpoint, unsigned waithint) {
  if (g_status == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  SERVICE_STATUS st;
  st.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  st.dwCurrentState = nativestate(state);
  st.dwControlsAccepted =
      state == SvcState::StartPending ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
  st.dwWin32ExitCode = (DWORD)exitcode;
  st.dwServiceSpecificExitCode = 0;
  st.dwCheckPoint = checkpoint;
  st.dwWaitHint = waithint;
  BOOL ok = SetServiceStatus(g_status, &st);
  if (state == SvcState::Stopped) SetEvent(g_stopped);
  return ok ? 1 : 0;
}

// ---- Installing and removing -----------------------------------------

SvcHandle* svcopenmanager() {
  return handle(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

const SvcWords kSvcWords = {"install program as a windows service",
                            "stop/uninstall the window service", "11.22.33.44", "d:\\"};

// The service runs as LocalSystem and writes beside the program.
int svcdefaultlogdir(const char*, char*, size_t) { return 0; }

int svcaccount(const char*, const char*, const char*, const char*, SvcAccount* out, char*,
               size_t) {
  memset(out, 0, sizeof *out);
  return 1;
}

SvcHandle* svccreate(SvcHandle* manager, const char* name, const char* display,
                     const char* exepath, const SvcAccount&) {
  return handle(CreateServiceA(sc(manager), name, display, SERVICE_ALL_ACCESS,
                               SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                               SERVICE_ERROR_NORMAL, exepath, nullptr, nullptr, "TcpIp\0",
                               nullptr, nullptr));
}

SvcHandle* svcopen(SvcHandle* manager, const char* name) {
  return handle(OpenServiceA(sc(manager), name, SERVICE_ALL_ACCESS));
}

int svcstop(SvcHandle* service, SvcState* state) {
  SERVICE_STATUS st;
  if (!ControlService(sc(service), SERVICE_CONTROL_STOP, &st)) return 0;
  *state = programstate(st.dwCurrentState);
  return 1;
}

int svcquery(SvcHandle* service, SvcState* state) {
  SERVICE_STATUS st;
  if (!QueryServiceStatus(sc(service), &st)) return 0;
  *state = programstate(st.dwCurrentState);
  return 1;
}

int svcdelete(SvcHandle* service) { return DeleteService(sc(service)) ? 1 : 0; }

void svcclose(SvcHandle* h) {
  if (h != nullptr) CloseServiceHandle(sc(h));
}

}  // namespace plat
