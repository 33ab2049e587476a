// The server's main routine and the shared stop control.
#pragma once
#include <atomic>
#include <cstdint>

#include "server/record.h"

// Runs the server; returns the process exit code (0 done, 1 usage,
// 2 invalid setting, 3 sockets, 4 queue creation, 5 SPF set-up).
int servermain(int argc, char** argv);

extern std::atomic<uint32_t> shutdown_flag;
extern std::atomic<uint32_t> active_threads;
extern std::atomic<uint32_t> busy_workers;
extern SocketHandle socket_listen;

// Thread routines.
void workerthread();
void loggerthread();
// Initiates the shutdown: logs, raises shutdown_flag, sets the stop event and
// closes socket_listen (exactly once, whoever calls).
void initshutdown(int sig);
// SIGHUP: the logger thread reloads the list files before its next record.
void requestreload(int sig);
// Non-zero once a shutdown was initiated; turns a pending service stop into one.
uint32_t isstopping();
