// Service control: the process entry's events and the hooks servermain uses.
#pragma once

// 1 when the process runs as a system service, else 0 (console mode).
int servicemode();
// Installs / removes the service, printing the outcome on standard output.
void svcinstall();
void svcremove();
// Sets stop_event, waits 250 ms, sets done_event.
void signaldone();
// 1 when stop_event is set.
int stopsignalled();
// Sets stop_event.
void setstopevent();
