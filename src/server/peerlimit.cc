#include "server/peerlimit.h"

#include <mutex>
#include <unordered_map>

#include "common/log.h"
#include "common/settings.h"
#include "platform/net.h"

namespace {

struct Peer {
  uint32_t held = 0;
  uint32_t refused = 0;  // in the current episode
};

std::mutex g_lock;
// Only addresses holding a place or in an episode: its size is bounded by
// the connections held and queued.
std::unordered_map<uint32_t, Peer> g_peers;

uint32_t limit() {
  return settings.MaxSessionsPerAddress > 0 ? (uint32_t)settings.MaxSessionsPerAddress : 0;
}

}  // namespace

bool peertake(uint32_t addr) {
  if (limit() == 0) return true;
  uint32_t held;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    Peer& p = g_peers[addr];
    if (p.held < limit()) {
      p.held++;
      return true;
    }
    if (p.refused++ != 0) return false;
    held = p.held;
  }
  char ip[32];
  plat::inetntoa(addr, ip, sizeof ip);
  logmsg(LOG_WARN, "[accept] %s holds %lu sessions, its limit: refusing more", ip,
         (unsigned long)held);
  return false;
}

void peerrelease(uint32_t addr) {
  if (limit() == 0) return;
  uint32_t refused = 0;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_peers.find(addr);
    if (it == g_peers.end()) return;
    Peer& p = it->second;
    if (p.held > 0) p.held--;
    if (p.held < limit()) {
      refused = p.refused;
      p.refused = 0;
    }
    if (p.held == 0) g_peers.erase(it);
  }
  if (refused == 0) return;
  char ip[32];
  plat::inetntoa(addr, ip, sizeof ip);
  logmsg(LOG_INFO, "[accept] %s within its session limit again, %lu connection(s) refused", ip,
         (unsigned long)refused);
}
