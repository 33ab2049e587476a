#include "analysis/listhealth.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <exception>
#include <thread>

#include "analysis/lists.h"
#include "dns/resolver.h"
#include "platform/sys.h"
#include "base/metrics.h"
#include "common/exitcode.h"
#include "common/log.h"
#include "base/ipv4.h"
#include "base/textbuf.h"

namespace {

// The entries every list must and must not hold, as query name prefixes.
constexpr const char* kAddressTest = "2.0.0.127";
constexpr const char* kAddressNever = "1.0.0.127";
constexpr const char* kDomainTest = "test";
constexpr const char* kDomainNever = "invalid";

// One question of a check: its status and its first A answer.
struct Probe {
  int status = dns::kStatusOk;
  int hasaddr = 0;
  uint8_t addr[4] = {};
};

Probe ask(const char* prefix, const char* zone) {
  char name[sizeof(ListZone::zone) + 16];
  textformat(name, sizeof name, "%s.%s", prefix, zone);
  dns::RecordList records;
  Probe p;
  // The check wants the zone's answer of now, not the answer cache's.
  p.status = dns::resolver().Query(name, dns::kTypeA, dns::kOptTreatAsFqdn | dns::kOptBypassCache,
                                   &records);
  if (p.status != dns::kStatusOk) return p;
  for (const dns::Record& r : records) {
    if (r.section != dns::Section::Answer || r.type != dns::kTypeA) continue;
    memcpy(p.addr, r.addr, 4);
    p.hasaddr = 1;
    break;
  }
  return p;
}

int silent(const Probe& p) {
  return p.status != dns::kStatusOk && p.status != dns::kStatusNameError &&
         p.status != dns::kStatusNoRecords;
}

void statustext(const Probe& p, char* buf, size_t size) {
  switch (p.status) {
    case dns::kStatusOk: textcopy(buf, size, p.hasaddr ? "" : "no A record"); break;
    case dns::kStatusNameError: textcopy(buf, size, "NXDOMAIN"); break;
    case dns::kStatusNoRecords: textcopy(buf, size, "no record"); break;
    case dns::kStatusTimeout: textcopy(buf, size, "timeout"); break;
    case dns::kStatusServFail: textcopy(buf, size, "SERVFAIL"); break;
    case dns::kStatusRefused: textcopy(buf, size, "REFUSED"); break;
    default: textformat(buf, size, "error %d", p.status); break;
  }
  if (p.hasaddr) dotted(p.addr, buf, size);
}

// Asks the zone for its test entry and its never-listed entry and judges.
void checkzone(ZoneCheck* c) {
  int64_t start = plat::nowms();
  Probe test = ask(c->bydomain ? kDomainTest : kAddressTest, c->zone);
  Probe never = ask(c->bydomain ? kDomainNever : kAddressNever, c->zone);
  c->ms = (long)(plat::nowms() - start);

  const char* tnote = nullptr;
  const char* nnote = nullptr;
  int tkind = test.hasaddr ? listanswer(test.addr, &tnote) : -1;
  int nkind = never.hasaddr ? listanswer(never.addr, &nnote) : -1;
  const Probe* decisive = &test;
  if (silent(test) || silent(never)) {
    c->health = kZoneSilent;
    if (!silent(test)) decisive = &never;
  } else if (tkind == kListError || tkind == kListForeign) {
    c->health = kZoneRefuses;
    c->note = tnote;
  } else if (nkind == kListError || nkind == kListForeign) {
    c->health = kZoneRefuses;
    c->note = nnote;
    decisive = &never;
  } else if (nkind == kListed) {
    c->health = kZoneListsWorld;
    decisive = &never;
  } else if (tkind != kListed) {
    c->health = kZoneNoTestEntry;
  } else {
    c->health = kZoneHealthy;
  }
  statustext(*decisive, c->answer, sizeof c->answer);
}

// The checks of one run, shared with its threads: a thread still waiting
// for an answer at the bound finishes into this and nobody reads it.
struct CheckRun {
  std::mutex lock;
  std::condition_variable done;
  std::vector<ZoneCheck> zones;
  size_t next = 0;
  size_t finished = 0;
  bool expired = false;
};

void checkthread(std::shared_ptr<CheckRun> run) {
  for (;;) {
    ZoneCheck c;
    size_t i;
    {
      std::lock_guard<std::mutex> lock(run->lock);
      if (run->expired || run->next == run->zones.size()) return;
      i = run->next++;
      c = run->zones[i];
    }
    checkzone(&c);
    {
      std::lock_guard<std::mutex> lock(run->lock);
      run->zones[i] = c;
      run->finished++;
    }
    run->done.notify_all();
  }
}

const char* testentry(const ZoneCheck& c, int never) {
  if (c.bydomain) return never ? kDomainNever : kDomainTest;
  return never ? "127.0.0.1" : "127.0.0.2";
}

// Why a zone failed, for the diagnostic log.
void reason(const ZoneCheck& c, char* buf, size_t size) {
  switch (c.health) {
    case kZoneSilent:
      textformat(buf, size, "no answer (dead or blocked): %s", c.answer);
      break;
    case kZoneListsWorld:
      textformat(buf, size, "lists the world (%s listed: %s)", testentry(c, 1), c.answer);
      break;
    case kZoneRefuses:
      textformat(buf, size, "refuses: answers %s (%s)", c.answer, c.note ? c.note : "");
      break;
    case kZoneNoTestEntry:
      textformat(buf, size, "does not list the test entry %s (%s)", testentry(c, 0), c.answer);
      break;
    default:
      textcopy(buf, size, "answers as RFC 5782 expects");
      break;
  }
}

void logsummary(const std::vector<ZoneCheck>& checks) {
  int healthy = 0;
  for (const ZoneCheck& c : checks) healthy += c.health == kZoneHealthy;
  logmsg(LOG_INFO, "%d of %d DNS lists answer as RFC 5782 expects", healthy, (int)checks.size());
}

void logzone(const ZoneCheck& c) {
  char why[400];
  reason(c, why, sizeof why);
  logmsg(c.health == kZoneHealthy ? LOG_INFO : LOG_WARN, "DNS list %s (%s): %s", c.zone, c.file,
         why);
}

}  // namespace

std::vector<ZoneCheck> checklists() {
  auto run = std::make_shared<CheckRun>();
  for (const ListZone& z : copyzones()) {
    ZoneCheck c{};
    textcopy(c.zone, z.zone);
    c.file = z.file;
    c.bydomain = z.bydomain;
    c.health = kZoneSilent;
    textformat(c.answer, sizeof c.answer, "none within %ld ms", kListCheckBoundMs);
    c.ms = -1;
    run->zones.push_back(c);
  }
  size_t threads = run->zones.size() < (size_t)kListCheckThreads ? run->zones.size()
                                                                   : (size_t)kListCheckThreads;
  for (size_t i = 0; i < threads; i++) {
    try {
      std::thread(checkthread, run).detach();
    } catch (const std::exception&) {  // refused, or no memory for its stack
      break;  // the zones of threads that could not start stay unanswered
    }
  }
  std::vector<ZoneCheck> result;
  {
    std::unique_lock<std::mutex> lock(run->lock);
    run->done.wait_for(lock, std::chrono::milliseconds(kListCheckBoundMs),
                       [&] { return run->finished == run->zones.size(); });
    run->expired = true;
    result = run->zones;
  }
  for (const ZoneCheck& c : result) {
    if (c.health == kZoneHealthy) endrefusal(c.zone);
    metrics::declare(metrics::kZones, c.zone, c.file);
    metrics::setgauge(metrics::kZones, c.zone, c.health == kZoneHealthy ? 1 : 0);
  }
  return result;
}

void logchecks(const std::vector<ZoneCheck>& checks) {
  logsummary(checks);
  for (const ZoneCheck& c : checks)
    if (c.health != kZoneHealthy) logzone(c);
}

int printchecks(const std::vector<ZoneCheck>& checks) {
  static const char* const kStatus[] = {"healthy", "no answer", "lists the world", "refuses",
                                        "no test entry"};
  printf("%-32s %-14s %-16s %-20s %s\n", "zone", "list file", "status", "answer", "time");
  int failed = 0;
  for (const ZoneCheck& c : checks) {
    char ms[32];
    if (c.ms < 0)
      textformat(ms, sizeof ms, ">%ld ms", kListCheckBoundMs);
    else
      textformat(ms, sizeof ms, "%ld ms", c.ms);
    printf("%-32s %-14s %-16s %-20s %s\n", c.zone, c.file, kStatus[c.health], c.answer, ms);
    failed += c.health != kZoneHealthy;
  }
  printf("%d of %d DNS lists answer as RFC 5782 expects\n", (int)checks.size() - failed,
         (int)checks.size());
  fflush(stdout);
  return failed ? kExitUsage : kExitDone;
}

namespace {

std::mutex g_recheck_lock;
std::condition_variable g_recheck_wake;
bool g_recheck_stop = false;
bool g_recheck_now = false;
std::thread g_recheck;

// Logs the zones whose health changed, and the summary when any did.
void logchanges(const std::vector<ZoneCheck>& before, const std::vector<ZoneCheck>& now) {
  std::map<std::string, int> was;
  for (const ZoneCheck& c : before) was[std::string(c.file) + " " + c.zone] = c.health;
  bool changed = false;
  for (const ZoneCheck& c : now) {
    auto it = was.find(std::string(c.file) + " " + c.zone);
    if (it != was.end() && it->second == c.health) continue;
    if (!changed) logsummary(now);
    changed = true;
    logzone(c);
  }
}

void recheckloop(std::vector<ZoneCheck> last) {
  std::unique_lock<std::mutex> lock(g_recheck_lock);
  for (;;) {
    g_recheck_wake.wait_for(lock, std::chrono::milliseconds(kListRecheckMs),
                            [] { return g_recheck_stop || g_recheck_now; });
    if (g_recheck_stop) return;
    g_recheck_now = false;
    lock.unlock();
    std::vector<ZoneCheck> now = checklists();
    logchanges(last, now);
    last = std::move(now);
    lock.lock();
  }
}

}  // namespace

void startlistrecheck(const std::vector<ZoneCheck>& first) {
  std::lock_guard<std::mutex> lock(g_recheck_lock);
  if (g_recheck.joinable()) return;
  g_recheck_stop = false;
  try {
    g_recheck = std::thread(recheckloop, first);
  } catch (const std::exception&) {
    logmsg(LOG_WARN, "Cannot start the hourly DNS list check");
  }
}

void requestlistrecheck() {
  {
    std::lock_guard<std::mutex> lock(g_recheck_lock);
    g_recheck_now = true;
  }
  g_recheck_wake.notify_all();
}

void stoplistrecheck() {
  {
    std::lock_guard<std::mutex> lock(g_recheck_lock);
    g_recheck_stop = true;
  }
  g_recheck_wake.notify_all();
  if (g_recheck.joinable()) g_recheck.join();
}

