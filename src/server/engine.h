// The engine's own state and threads, shared by the files of src/server
// only: nothing outside the engine includes this header.
#pragma once
#include <atomic>
#include <cstdint>

#include "common/exitcode.h"
#include "common/record.h"

// Most worker threads the settings may ask for.
constexpr int kMaxThreads = 256;
// How often a thread that waits looks for a service stop.
constexpr long kStopCheckMs = 100;

extern std::atomic<uint32_t> shutdown_flag;
extern std::atomic<uint32_t> active_threads;
// Sessions the workers hold, and the most they may hold at once.
extern std::atomic<uint32_t> sessions_held;
extern uint32_t session_cap;
extern SocketHandle socket_listen;

// Thread routines.
void workerthread();
void loggerthread();
// SIGHUP: the logger thread reloads the list files before its next record.
void requestreload(int sig);
// A finished record goes to the logger, or is written at once past the
// pipeline's cap; never waits for the logger.
void handover(ConnectionRecord* r);
// Tells a worker that a connection waits in conn_queue.
void wakeworker();
// For a stop: wakes every worker and the logger (the logger once and for all).
void wakeall();
// From now on every worker watches socket_listen and accepts for itself.
// REQUIRES: socket_listen listens, non-blocking, and pollers share it.
void workersaccept();
// Releases the workers' event loops once every worker has ended.
void releaseworkers();

// The stop chain (stop.cc).
// Initiates the shutdown: logs, raises shutdown_flag, sets the stop event,
// wakes every thread and closes socket_listen (exactly once, whoever calls).
void initshutdown(int sig);
// A shutdown caused by a failure: the process then exits with code.
void failshutdown(ExitCode code);
// Non-zero once a shutdown was initiated; turns a pending service stop into one.
uint32_t isstopping();
// Waits until the shutdown in progress has closed socket_listen, so that the
// main thread's shutdown steps follow the initiating thread's.
void awaitlistenerclosed();
// The exit code of the failure that caused the shutdown, else kExitDone.
ExitCode stopexitcode();
