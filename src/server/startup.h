// Starting the server, step by step, and releasing what the start made.
// Each step returns kExitDone, or the exit code that ends the start.
#pragma once
#include <vector>

#include "analysis/listhealth.h"
#include "platform/privs.h"

// Checks the settings and the user to run as, readies sockets and DNS and
// logs the summary.
int prepare(plat::RunAs* runas, int* who);
// Loads and checks the DNS lists, makes the queues, sets up SPF and starts
// the threads.
int startwork(std::vector<ZoneCheck>* listhealth);
// The metrics page and the connection lines to the system's log, both
// optional.
int startoutputs();
// Binds and opens the listening socket, then gives up root.
int openlistener(int who, const plat::RunAs& runas);
// Waits for the threads to end, releases what the start made and logs the
// answer cache's figures. Returns the exit code.
int cleanshutdown();
// The NameServer setting, when there is one, for every DNS question.
void usenameserver();
