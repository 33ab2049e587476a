#include "base/metrics.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/textbuf.h"

namespace metrics {

Counters counters;

const char* const kTagNames[kTagCount] = {"WL", "BL", "GL", "HL", "NL", "WU", "BU", "other"};
const char* const kSpfNames[kSpfCount] = {"Pass",  "SoftFail",  "Fail",      "Neutral",
                                          "None",  "TempError", "PermError", "other"};
const char* const kHeloNames[kHeloCount] = {
    "no-helo",           "bad-helo",           "bad-helo-chars",      "bad-helo-format",
    "not-fqdn-helo",     "ip-in-helo",         "spoofed-helo",        "helo-ptr-mismatch",
    "non-existing-domain", "unresolvable-helo", "other"};

namespace {

int find(const char* const* names, int n, const char* s) {
  for (int i = 0; i < n - 1; i++)
    if (strcmp(names[i], s) == 0) return i;
  return n - 1;
}

struct Named {
  char name[kNameCap + 1];
  const char* group;
  Counter hits{0};
  std::atomic<int64_t> gauge{0};
  bool gauged = false;
};

struct NamedTable {
  std::mutex m;
  Named rows[kMaxNamed];
  int used = 0;

  // REQUIRES: m held. Null when the table is full.
  Named* row(const char* name, const char* group) {
    for (int i = 0; i < used; i++)
      if (strncmp(rows[i].name, name, kNameCap) == 0) return &rows[i];
    if (used == kMaxNamed) return nullptr;
    Named* r = &rows[used++];
    textcopy(r->name, name, kNameCap);
    r->group = group;
    return r;
  }
};

NamedTable g_tables[kTableCount];

void line(std::string* out, const char* name, const char* label, const char* value, uint64_t v) {
  *out += name;
  if (label != nullptr) {
    *out += '{';
    *out += label;
    *out += "=\"";
    appendlabel(out, value);
    *out += "\"}";
  }
  char num[32];
  snprintf(num, sizeof num, " %" PRIu64 "\n", v);
  *out += num;
}

void head(std::string* out, const char* name, const char* type, const char* help) {
  *out += "# HELP ";
  *out += name;
  *out += ' ';
  *out += help;
  *out += "\n# TYPE ";
  *out += name;
  *out += ' ';
  *out += type;
  *out += '\n';
}

void single(std::string* out, const char* name, const char* type, const char* help, uint64_t v) {
  head(out, name, type, help);
  line(out, name, nullptr, nullptr, v);
}

void family(std::string* out, const char* name, const char* help, const char* label,
            const char* const* values, const Counter* c, int n) {
  head(out, name, "counter", help);
  for (int i = 0; i < n; i++)
    line(out, name, label, values[i], c[i].load(std::memory_order_relaxed));
}

}  // namespace

int tagindex(const char* tag) { return find(kTagNames, kTagCount, tag); }
int spfindex(const char* verdict) { return find(kSpfNames, kSpfCount, verdict); }
int heloindex(const char* label) { return find(kHeloNames, kHeloCount, label); }

void declare(Table t, const char* name, const char* group) {
  std::lock_guard<std::mutex> g(g_tables[t].m);
  Named* r = g_tables[t].row(name, group);
  if (r != nullptr && r->group == nullptr) r->group = group;
}

void count(Table t, const char* name) {
  std::lock_guard<std::mutex> g(g_tables[t].m);
  if (Named* r = g_tables[t].row(name, nullptr)) add(r->hits);
}

void setgauge(Table t, const char* name, int64_t value) {
  std::lock_guard<std::mutex> g(g_tables[t].m);
  if (Named* r = g_tables[t].row(name, nullptr)) {
    r->gauge.store(value, std::memory_order_relaxed);
    r->gauged = true;
  }
}

void appendlabel(std::string* out, const char* value) {
  for (const char* p = value; *p; p++) {
    if (*p == '\\') *out += "\\\\";
    else if (*p == '"') *out += "\\\"";
    else if (*p == '\n') *out += "\\n";
    else *out += *p;
  }
}

std::string render(const Gauges& g) {
  static const char* const kRefusals[kRefusalCount] = {"queue_full", "per_address"};
  static const char* const kLogs[kLogCount] = {"connection", "diagnostic", "system"};
  static const char* const kNoDns[kNoDnsCount] = {"deadline", "backlog", "stop"};
  const Counters& c = counters;
  std::string out;
  out.reserve(8192);
  head(&out, "nestrap_build_info", "gauge", "Version of the running program.");
  line(&out, "nestrap_build_info", "version", g.version, 1);
  single(&out, "nestrap_process_start_time_seconds", "gauge",
         "Start time of the process since 1970.", (uint64_t)g.start_time);
  single(&out, "nestrap_connections_accepted_total", "counter", "Connections accepted.",
         c.accepted.load(std::memory_order_relaxed));
  single(&out, "nestrap_connections_served_total", "counter",
         "Connections whose session ended and went to the analysis.",
         c.served.load(std::memory_order_relaxed));
  family(&out, "nestrap_connections_refused_total", "Connections refused at once, by reason.",
         "reason", kRefusals, c.refused, kRefusalCount);
  single(&out, "nestrap_sessions_held", "gauge", "Sessions in progress.",
         (uint64_t)g.sessions_held);
  single(&out, "nestrap_queue_length", "gauge", "Accepted connections waiting for a worker.",
         (uint64_t)g.queue_length);
  single(&out, "nestrap_analysis_backlog", "gauge",
         "Finished connections whose lines are not written yet.",
         (uint64_t)g.analysis_backlog);
  family(&out, "nestrap_log_lines_written_total", "Lines written, by log.", "log", kLogs,
         c.lines_written, kLogCount);
  family(&out, "nestrap_log_lines_lost_total", "Lines lost, by log.", "log", kLogs, c.lines_lost,
         kLogCount);
  family(&out, "nestrap_lines_without_dns_total",
         "Connection lines written without all their DNS data, by reason.", "reason", kNoDns,
         c.nodns, kNoDnsCount);
  family(&out, "nestrap_tags_total", "Connection lines by their list tag.", "tag", kTagNames,
         c.tags, kTagCount);
  family(&out, "nestrap_spf_verdicts_total", "Connection lines by SPF verdict.", "verdict",
         kSpfNames, c.spf, kSpfCount);
  family(&out, "nestrap_helo_classes_total", "Connection lines by HELO class.", "class",
         kHeloNames, c.helo, kHeloCount);
  single(&out, "nestrap_dns_queries_total", "counter", "DNS queries sent.",
         c.dns_queries.load(std::memory_order_relaxed));
  single(&out, "nestrap_dns_answers_total", "counter", "DNS responses received.",
         c.dns_answers.load(std::memory_order_relaxed));
  single(&out, "nestrap_dns_timeouts_total", "counter", "DNS queries left unanswered.",
         c.dns_timeouts.load(std::memory_order_relaxed));
  single(&out, "nestrap_dns_cache_hits_total", "counter", "DNS questions answered from the cache.",
         c.dns_cache_hits.load(std::memory_order_relaxed));

  NamedTable& z = g_tables[kZones];
  NamedTable& s = g_tables[kSignals];
  std::lock_guard<std::mutex> lz(z.m);
  head(&out, "nestrap_list_hits_total", "counter", "Connections a list zone decided.");
  for (int i = 0; i < z.used; i++)
    line(&out, "nestrap_list_hits_total", "zone", z.rows[i].name, z.rows[i].hits.load());
  head(&out, "nestrap_list_zone_healthy", "gauge",
       "1 when the zone passed its last health check, else 0.");
  for (int i = 0; i < z.used; i++) {
    if (!z.rows[i].gauged) continue;
    out += "nestrap_list_zone_healthy{zone=\"";
    appendlabel(&out, z.rows[i].name);
    out += "\",list=\"";
    appendlabel(&out, z.rows[i].group != nullptr ? z.rows[i].group : "");
    out += z.rows[i].gauge.load() != 0 ? "\"} 1\n" : "\"} 0\n";
  }
  std::lock_guard<std::mutex> ls(s.m);
  head(&out, "nestrap_signals_total", "counter", "Connections that showed a signal.");
  for (int i = 0; i < s.used; i++)
    line(&out, "nestrap_signals_total", "signal", s.rows[i].name, s.rows[i].hits.load());
  return out;
}

}  // namespace metrics
