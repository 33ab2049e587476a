// Health of the DNS lists: the test every zone must pass (RFC 5782: an
// address list lists 127.0.0.2 and never 127.0.0.1, a domain list lists
// "test" and never "invalid"), run at start-up, hourly and by the -T option;
// and the warnings about list answers that are no listings.
#pragma once
#include <cstdint>
#include <vector>

// How long the start of service waits for the check of every zone.
constexpr long kListCheckBoundMs = 4000;
// Interval of the re-check while the server runs.
constexpr long kListRecheckMs = 3600L * 1000;
// Zones are checked on at most this many threads at once.
constexpr int kListCheckThreads = 32;

enum ZoneHealth : int {
  kZoneHealthy = 0,
  kZoneSilent = 1,       // no answer: dead or blocked
  kZoneListsWorld = 2,   // lists the entry it must never list
  kZoneRefuses = 3,      // answers with an error code or outside 127.0.0.0/8
  kZoneNoTestEntry = 4,  // does not list its test entry
};

struct ZoneCheck {
  char zone[259 + 1];
  const char* file;    // list file name (a static text)
  int bydomain;        // 1: the zone lists names, 0: IPv4 addresses
  int health;          // ZoneHealth
  char answer[40];     // the answer that decided: an address, "NXDOMAIN", "timeout", ...
  const char* note;    // for kZoneRefuses: what the answer means (see listanswer)
  long ms;             // time the zone took; -1 when unanswered at the bound
};

// Checks every zone of the five loaded lists at once and returns them in
// load order, after at most kListCheckBoundMs: a zone still unanswered then
// counts as silent. A healthy zone ends its refusal episode (takelisting).
std::vector<ZoneCheck> checklists();
// Logs a check: the [INFO] summary line and one [WARN] per failing zone.
void logchecks(const std::vector<ZoneCheck>& checks);
// Prints the table of the -T option on standard output. Returns 0 when
// every zone is healthy, else 1.
int printchecks(const std::vector<ZoneCheck>& checks);

// Starts the thread that repeats the check every kListRecheckMs and logs
// only what changed since `first` and each later check.
void startlistrecheck(const std::vector<ZoneCheck>& first);
// Makes that thread check at once (the lists were reloaded); any thread.
void requestlistrecheck();
// Stops that thread and waits for it (at most one check's bound).
// REQUIRES: called before the lists are freed.
void stoplistrecheck();

