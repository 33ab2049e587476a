// The program's counters, served to Prometheus when [Metrics] Listen is set.
// They live at the bottom of the layers so that every part that counts (the
// resolver, the logs, the accept loop, the analysis) can count; a count is
// one relaxed atomic add, cheap enough for the session path. Labels are
// bounded: fixed sets, or a table of names capped at kMaxNamed entries.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

namespace metrics {

using Counter = std::atomic<uint64_t>;

inline void add(Counter& c, uint64_t n = 1) { c.fetch_add(n, std::memory_order_relaxed); }

// Why a connection was reset at once.
enum Refusal : int { kRefusedQueueFull = 0, kRefusedPerAddress = 1, kRefusalCount };
// The logs that count their lines.
enum Log : int { kLogConnection = 0, kLogDiagnostic = 1, kLogSystem = 2, kLogCount };
// Why a line was written without (all of) its DNS data.
enum NoDns : int { kNoDnsDeadline = 0, kNoDnsBacklog = 1, kNoDnsStop = 2, kNoDnsCount };

constexpr int kTagCount = 8;    // WL BL GL HL NL WU BU, then any other
constexpr int kSpfCount = 8;    // the seven verdicts, then any other
constexpr int kHeloCount = 11;  // the ten HELO classes, then any other
// Named label values (list zones, signals) kept at most; later names are
// not counted.
constexpr int kMaxNamed = 64;
constexpr int kNameCap = 259;

struct Counters {
  Counter accepted{0};
  Counter served{0};
  Counter refused[kRefusalCount] = {};
  Counter lines_written[kLogCount] = {};
  Counter lines_lost[kLogCount] = {};
  Counter tags[kTagCount] = {};
  Counter spf[kSpfCount] = {};
  Counter helo[kHeloCount] = {};
  Counter nodns[kNoDnsCount] = {};
  Counter dns_queries{0};
  Counter dns_answers{0};
  Counter dns_timeouts{0};
  Counter dns_cache_hits{0};
};

extern Counters counters;

// Label texts of the fixed sets, in index order.
extern const char* const kTagNames[kTagCount];
extern const char* const kSpfNames[kSpfCount];
extern const char* const kHeloNames[kHeloCount];

// Index of `tag` / `verdict` / a HELO class label in the sets above; the
// last index for anything else.
int tagindex(const char* tag);
int spfindex(const char* verdict);
int heloindex(const char* label);

// A table of names, each with a counter and a gauge: the list zones (hits,
// health) and the signals of a connection (count). Names are added once and
// kept until the process ends; past kMaxNamed they are ignored.
// Thread-safe; finding a name takes a short lock (never on the session path).
enum Table : int { kZones = 0, kSignals = 1, kTableCount };
// Registers `name` (cut at kNameCap). `group` is a second label value kept
// with it (the list of a zone), static text or null.
void declare(Table t, const char* name, const char* group);
// Adds to the counter of `name` (registering it).
void count(Table t, const char* name);
// Sets the gauge of `name` (registering it).
void setgauge(Table t, const char* name, int64_t value);

// Values read when the page is made, by its maker.
struct Gauges {
  int64_t sessions_held;
  int64_t queue_length;
  int64_t analysis_backlog;
  int64_t start_time;  // seconds since 1970
  const char* version;
};

// The page in the Prometheus text format (version 0.0.4).
std::string render(const Gauges& g);

// Escapes a label value (backslash, double quote, line feed) into out.
void appendlabel(std::string* out, const char* value);

}  // namespace metrics
