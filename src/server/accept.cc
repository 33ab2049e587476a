#include "server/accept.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/log.h"
#include "common/settings.h"
#include "platform/error.h"
#include "platform/net.h"
#include "platform/sys.h"
#include "server/hysteresis.h"
#include "server/peerlimit.h"
#include "server/queue.h"
#include "server/engine.h"
#include "base/metrics.h"
#include "base/textbuf.h"
#include "smtp/session.h"

namespace {

// The queue-full hysteresis, shared by every thread that accepts: entered
// when the connections waiting beyond the capacity reach QueueSize, left
// when they are below four fifths of it again.
std::mutex adm_lock;
Hysteresis adm;
std::once_flag adm_once;

std::atomic<bool> paused{false};

// Queued connections that wait because the sessions held reach the
// capacity; those a worker is about to take do not count.
uint32_t waitingbeyondcap() {
  uint32_t queued = queuecount(conn_queue);
  uint32_t held = sessions_held.load();
  uint32_t room = held < session_cap ? session_cap - held : 0;
  return queued > room ? queued - room : 0;
}

void logepisodeend(const ConnectionRecord& r, uint32_t n, unsigned long rejected) {
  logmsg(LOG_INFO, "[accept] %s queue back to normal (%ld), %lu connection(s) rejected",
         r.client_ip, (long)n, rejected);
}

}  // namespace

AcceptResult acceptconnection(ConnectionRecord* r) {
  PeerAddr peer;
  SocketHandle sock = plat::acceptsocket(socket_listen, &peer);
  if (sock == kInvalidSocket) {
    int err = plat::lasterror();
    if (plat::wouldblock() || isstopping()) return kAcceptNone;
    if (plat::transientaccepterror(err)) {
      // Weather, not a fault: connections wait in the backlog meanwhile.
      if (!paused.exchange(true))
        logmsg(LOG_WARN, "[accept] accept() failed (Error code 0x%X), pausing", err);
      return kAcceptPause;
    }
    logmsg(LOG_CRIT, "[accept] accept() failed (Error code 0x%X)", err);
    failshutdown(kExitSockets);
    return kAcceptFailed;
  }
  if (paused.load() && paused.exchange(false)) logmsg(LOG_INFO, "[accept] accepting resumed");
  metrics::add(metrics::counters.accepted);
  memset(r, 0, sizeof *r);
  r->sock = sock;
  r->peer_addr = peer;
  r->conn_ms = plat::epochms();
  plat::utcfromms(r->conn_ms, &r->conn_time);
  plat::inetntoa(r->peer_addr.addr, r->client_ip, sizeof r->client_ip);
  logmsg(LOG_CONN, "[accept] %s Connection accepted", r->client_ip);
  return kAccepted;
}

void admitteddirectly(const ConnectionRecord& r) {
  if (!adm.episode()) return;
  std::lock_guard<std::mutex> g(adm_lock);
  if (adm.episode()) logepisodeend(r, waitingbeyondcap(), adm.end());
}

void queueconnection(ConnectionRecord* r) {
  {
    // QueueSize is final once the first connection comes.
    std::call_once(adm_once, [] { adm.setcap((uint32_t)settings.QueueSize, true); });
    std::lock_guard<std::mutex> g(adm_lock);
    uint32_t n = waitingbeyondcap();
    Hysteresis::Check c = adm.check(n);
    if (c.ended) logepisodeend(*r, n, c.refused);
    if (!c.admit) {
      if (c.began)
        logmsg(LOG_WARN, "[accept] %s queue full (%ld), rejecting requests", r->client_ip, (long)n);
      metrics::add(metrics::counters.refused[metrics::kRefusedQueueFull]);
      ResetConnection(r->sock);
      free(r);
      return;
    }
  }
  uint32_t addr = r->peer_addr.addr;
  if (!peertake(addr)) {
    // Beyond its address's limit: refused at once, without a session, and
    // still logged.
    textcopy(r->thread_tag, "[accept]");
    metrics::add(metrics::counters.refused[metrics::kRefusedPerAddress]);
    RefuseConnection(r);
    handover(r);
    return;
  }
  if (!queuepush(conn_queue, r)) {
    ResetConnection(r->sock);
    free(r);
    peerrelease(addr);
    return;
  }
  wakeworker();
}

void acceptloop() {
  while (!isstopping()) {
    ConnectionRecord* r = (ConnectionRecord*)malloc(sizeof(ConnectionRecord));
    if (r == nullptr) {
      logmsg(LOG_CRIT, "[accept] malloc(wrk) failed !");
      failshutdown(kExitResources);
      return;
    }
    AcceptResult rc = acceptconnection(r);
    if (rc == kAccepted) {
      queueconnection(r);
      continue;
    }
    free(r);
    if (rc == kAcceptPause) plat::sleepms(kAcceptPauseMs);
  }
}

void awaitstop() {
  workersaccept();
  while (!isstopping()) plat::sleepms(kStopCheckMs);
}
