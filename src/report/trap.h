// The trap rule: which clients of the decoy the real mail servers should
// refuse, and the lists that hand them on (plain, Postfix CIDR table,
// rbldnsd ip4set zone, nftables set elements).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "report/tally.h"
#include "report/visit.h"

struct TrapRule {
  int min_visits = 3;   // visits with one of `tags` within the window
  int days = 7;         // the window, ending now
  std::vector<std::string> tags{"BL", "GL", "HL"};
  std::string nft_set = "inet nestrap trap";  // "family table set" of -E nft
};

constexpr int kMaxTrapDays = 366;

// The rule from the optional [Trap] section of the settings file the
// program read at start-up (MinVisits, Days, Tags as a comma-separated
// list, NftSet). Returns false, with a message in *error, when a value is
// out of range.
bool readtraprule(TrapRule* rule, std::string* error);

// Applies the rule to the visits of the window. A client is caught when it
// came at least min_visits times with one of the tags, and in the window
// was never white-listed (WL), never had an SPF Pass and never looked like
// a mail server (mtalike). Visits before the window do not count, either way.
class Trap {
 public:
  Trap(const TrapRule& rule, int64_t now) : rule_(rule), now_(now) {}
  void add(const Visit& v);
  // The caught addresses (host order), ascending.
  std::vector<uint32_t> caught() const;
  // True when the client table overflowed: rarely seen clients may be missed.
  bool lowered() const { return clients_.lowered() || clients_.untracked() > 0; }

 private:
  struct ClientTrap {
    uint64_t count = 0;  // visits with a trap tag
    bool excluded = false;
    // An excluded client stays in the table whatever happens to the
    // others: dropping it would let it be caught after all.
    bool keep() const { return excluded; }
  };
  TrapRule rule_;
  int64_t now_;
  BoundedTable<uint32_t, ClientTrap> clients_{kClientKeys};
};

// The formats of -E.
bool trapformatknown(const std::string& format);
// The caught addresses in `format` (one of trapformatknown).
std::string trapexport(const std::vector<uint32_t>& ips, const std::string& format,
                       const TrapRule& rule);

// `nestrap -E format [-o FILE]`: the caught addresses of the daily files in
// `logdir`, on standard output or replacing FILE. Returns the exit code.
int exportmain(const char* logdir, const char* format, const char* outpath);
