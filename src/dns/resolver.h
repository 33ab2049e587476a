// The resolver interface: every DNS question of the program (the analysis
// and the SPF evaluator) goes through the Resolver installed here. The
// system resolver hands its questions to the platform's transport; tests
// install a fake.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/dnstransport.h"

namespace dns {

class Resolver {
 public:
  virtual ~Resolver() = default;
  // Queries `name` (taken as fully qualified) for `type`. Returns a status
  // code; on kStatusOk `out` holds every record of the response (answer,
  // authority and additional sections). Never throws.
  virtual int Query(const char* name, uint16_t type, unsigned options, RecordList* out) = 0;
  // Answers every lookup of the batch; the questions may be in flight
  // together. Returns when each has its status (or the calling thread's
  // deadline passed: the rest then have kStatusTimeout). The default asks
  // them one after the other through Query.
  virtual void QueryBatch(Lookup* items, size_t count);
  // The local host's own name and address, which the system answers from
  // its hosts file before DNS. The defaults ask this resolver's A and PTR
  // questions; the system backends ask the system's host lookup, and a
  // wrapping resolver hands them on.
  // First IPv4 address (network order) of `name`. Returns 1 when found.
  virtual int HostAddress(const char* name, uint32_t* addr_net);
  // Name of an IPv4 address (network order). Returns 1 when a non-empty
  // name was found (copied into buf, bounded by size).
  virtual int HostName(uint32_t addr_net, char* buf, size_t size);
  // True once the caller's answers are bound to be dropped (an attempt
  // from the cache that missed): it may stop asking.
  virtual bool abandoned() { return false; }

 protected:
  // Query answered as a batch of one, for resolvers whose QueryBatch is
  // their real entry (it must not fall back on Query).
  int QueryAsBatch(const char* name, uint16_t type, unsigned options, RecordList* out);
};

// The process-wide resolver: the calling thread's own one when it installed
// one, else the installed one, else the system resolver.
Resolver& resolver();
// Installs `r` (not owned) as the process-wide resolver; nullptr restores the default.
void setresolver(Resolver* r);
// Installs `r` (not owned) for the calling thread only; nullptr removes it.
void setthreadresolver(Resolver* r);

// Deadlines, in milliseconds of the program's clock (plat::nowms). Past the
// calling thread's deadline, or past the process-wide cut-off, queries are
// not sent and waits end: the answer is kStatusTimeout. 0 means none.
void setthreaddeadline(int64_t ms);
int64_t threaddeadline();
void setcutoff(int64_t ms);
// The earlier of the thread's deadline and the cut-off (0: none).
int64_t deadline();
// 1 when deadline() is set and has passed.
int pastdeadline();

// 1 when the process-wide resolver can be used: an installed resolver always
// can; the system backend when its library initialises (the resolver state
// on POSIX, the DNS API library and its two entry points on Windows).
int available();

}  // namespace dns
