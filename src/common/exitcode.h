// The process exit statuses, each named here once. The tables of the
// operator guide and the manual page are checked against this list.
#pragma once

enum ExitCode : int {
  kExitDone = 0,       // done, or a clean stop
  kExitUsage = 1,      // a wrong command line; -T with a zone that fails; -o not written
  kExitSetting = 2,    // an invalid setting, log directory or -c directory
  kExitSockets = 3,    // the listener or the metrics page cannot be set up, or accept failed
  kExitResources = 4,  // no memory, or the queues cannot be made
  kExitSpf = 5,        // the SPF evaluator cannot be set up
  kExitThreads = 6,    // a thread cannot be started
  kExitOneShot = 7,    // -C, -I or -U failed
  kExitNoService = -1, // started as a service, but the service manager cannot be reached
};
