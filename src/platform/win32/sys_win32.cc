// Process, clock, thread and console services over the Windows API.
#include <windows.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

#include "platform/error.h"
#include "platform/event.h"
#include "platform/sys.h"
#include "base/textbuf.h"

namespace plat {

const char kPathSep = '\\';

// The C runtime's numbers: SIGINT 2, SIGTERM 15, SIGABRT 22.
const int kSigInt = SIGINT;
const int kSigTerm = SIGTERM;
const int kSigAbrt = SIGABRT;
// No such signals reach a Windows process.
const int kSigQuit = -3;
const int kSigHup = -1;

int exepath(char* buf, size_t size) {
  if (size == 0) return 0;
  DWORD cap = size > 0x7FFFFFFF ? 0x7FFFFFFF : (DWORD)size;
  DWORD n = GetModuleFileNameA(nullptr, buf, cap);
  // A full buffer means the path was cut.
  if (n == 0 || n >= cap) {
    buf[0] = '\0';
    return 0;
  }
  return 1;
}

int setcurrentdir(const char* dir) { return SetCurrentDirectoryA(dir) ? 1 : 0; }

int getcurrentdir(char* buf, size_t size) {
  if (size == 0) return 0;
  DWORD cap = size > 0x7FFFFFFF ? 0x7FFFFFFF : (DWORD)size;
  DWORD n = GetCurrentDirectoryA(cap, buf);
  if (n == 0 || n >= cap) {
    buf[0] = '\0';
    return 0;
  }
  return 1;
}

void debugoutput(const char* text) { OutputDebugStringA(text); }

bool stderrisjournal() { return false; }

uint32_t threadid() { return (uint32_t)GetCurrentThreadId(); }

void lowerprocesspriority() { (void)SetPriorityClass(GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS); }

void lowerthreadpriority() { (void)SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL); }

void sleepms(long ms) {
  if (ms > 0) Sleep((DWORD)ms);
}

// Sockets are kernel handles without a per-process count limit.
long raisedescriptorlimit() { return 0; }

static void fill(SysTime* t, const SYSTEMTIME& st) {
  t->year = st.wYear;
  t->month = st.wMonth;
  t->dayofweek = st.wDayOfWeek;
  t->day = st.wDay;
  t->hour = st.wHour;
  t->minute = st.wMinute;
  t->second = st.wSecond;
  t->millis = 0;
}

void utcnow(SysTime* t) {
  SYSTEMTIME st;
  GetSystemTime(&st);
  fill(t, st);
}

void localnow(SysTime* t) {
  SYSTEMTIME st;
  GetLocalTime(&st);
  fill(t, st);
}

const int kErrInvalidParameter = ERROR_INVALID_PARAMETER;
const int kErrNameTooLong = ERROR_FILENAME_EXCED_RANGE;
const int kErrNoMemory = ERROR_NOT_ENOUGH_MEMORY;

int lasterror() { return (int)GetLastError(); }
void setlasterror(int code) { SetLastError((DWORD)code); }

void errortext(int code, char* buf, size_t size) {
  char* text = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, (DWORD)code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                           (LPSTR)&text, 0, nullptr);
  if (n == 0 || text == nullptr) {
    textformat(buf, size, "error %d", code);
    return;
  }
  // The system's texts end with a line end.
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) text[--n] = '\0';
  textcopy(buf, size, text);
  LocalFree(text);
}

// The runtime calls a signal handler on its own thread for a console
// interrupt (and on the raising thread for raise/abort), so the handler may
// log and close sockets. It resets the disposition to the default before each
// call, hence the re-install.
namespace {
void (*volatile g_handler)(int) = nullptr;
void (*volatile g_stophandler)(int) = nullptr;

void trampoline(int sig) {
  signal(sig, trampoline);
  void (*stop)(int) = g_stophandler;
  void (*handler)(int) = g_handler;
  if (sig == SIGTERM && stop != nullptr)
    stop(sig);
  else if (handler != nullptr)
    handler(sig);
}
}  // namespace

void blocksignals() {}

void setstopsignalhandler(void (*handler)(int)) { g_stophandler = handler; }

void setreloadsignalhandler(void (*)(int)) {}

void startsignalthread(void (*handler)(int)) {
  g_handler = handler;
  signal(SIGINT, trampoline);
  signal(SIGTERM, trampoline);
  signal(SIGABRT, trampoline);
}

const char* commandline() { return GetCommandLineA(); }

const char* getenvvar(const char* name) { return getenv(name); }

}  // namespace plat
