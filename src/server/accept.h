// Taking connections from the listening socket, on whichever thread
// accepts: the workers themselves where the platform shares a listener
// between them, one accept thread elsewhere. Connections beyond the session
// capacity wait in conn_queue, up to QueueSize, with a hysteresis.
#pragma once

#include "common/record.h"

enum AcceptResult {
  kAccepted,      // r holds the connection
  kAcceptNone,    // none waiting (or the listener is stopped)
  kAcceptPause,   // a passing shortage: try again after kAcceptPauseMs
  kAcceptFailed,  // the listener failed; a shutdown was initiated
};

// Accepting pauses this long after a shortage of descriptors or memory.
constexpr long kAcceptPauseMs = 100;

// Accepts one connection from socket_listen into r (cleared first; its
// time, address and address text filled). Logs the pause and its end once
// for all threads.
AcceptResult acceptconnection(ConnectionRecord* r);
// The connection goes to conn_queue for the first worker with room, or is
// reset when the queue is full (the episode logged once, its end with the
// count), or refused at once beyond its address's limit (and still logged).
// Takes r (allocated with malloc).
void queueconnection(ConnectionRecord* r);
// A connection was taken straight into a session: ends a queue-full
// episode as a queued one would.
void admitteddirectly(const ConnectionRecord& r);
// One thread accepts and hands each connection over through conn_queue:
// where the platform cannot share the listener between the workers.
void acceptloop();
// The workers accept for themselves; the calling thread waits for the stop.
void awaitstop();
