// The server's main routine and the shared stop control.
#pragma once
#include <atomic>
#include <cstdint>

#include "common/record.h"

// Runs the server; returns the process exit code (0 done, 1 usage,
// 2 invalid setting, 3 sockets, 4 queue creation or other resources,
// 5 SPF set-up, 6 threads, 7 -C, -I or -U failed).
int servermain(int argc, char** argv);
// The working directory the program was started in, before the process entry
// moved to the program's own; a relative -c path is taken from there.
void setinvocationdir(const char* dir);

constexpr int kExitSockets = 3;
constexpr int kExitResources = 4;
constexpr int kExitThreads = 6;
constexpr int kExitOneShot = 7;

// Most worker threads the settings may ask for.
constexpr int kMaxThreads = 256;

extern std::atomic<uint32_t> shutdown_flag;
extern std::atomic<uint32_t> active_threads;
// Sessions the workers hold, and the most they may hold at once.
extern std::atomic<uint32_t> sessions_held;
extern uint32_t session_cap;
// Exit code of a shutdown a failure caused (0: none).
extern std::atomic<int> failure_exit;
extern SocketHandle socket_listen;

// Thread routines.
void workerthread();
void loggerthread();
// Initiates the shutdown: logs, raises shutdown_flag, sets the stop event and
// closes socket_listen (exactly once, whoever calls).
void initshutdown(int sig);
// SIGHUP: the logger thread reloads the list files before its next record.
void requestreload(int sig);
// A shutdown caused by a failure: the process then exits with code.
void failshutdown(int code);
// A finished record goes to the logger, or is written at once past the
// pipeline's cap; never waits for the logger.
void handover(ConnectionRecord* r);
// Tells a worker that a connection waits in conn_queue.
void wakeworker();
// From now on every worker watches socket_listen and accepts for itself.
// REQUIRES: socket_listen listens, non-blocking, and pollers share it.
void workersaccept();
// Releases the workers' event loops once every worker has ended.
void releaseworkers();
// Waits until the shutdown in progress has closed socket_listen, so that the
// main thread's shutdown steps follow the initiating thread's.
void awaitlistenerclosed();
// Non-zero once a shutdown was initiated; turns a pending service stop into one.
uint32_t isstopping();
