// The report over the connections of a period: totals, per day and hour,
// the top keys of each kind, repeat and MTA-like visitors; as plain text or
// as one self-contained HTML page with charts drawn here as inline SVG.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "report/reader.h"
#include "report/tally.h"
#include "report/visit.h"

// Longest period one report covers.
constexpr int kMaxReportDays = 366;

class Report {
 public:
  // The period: `days` local dates ending with `lastday` (a day number);
  // the hourly chart covers the UTC hours from its first midnight on.
  Report(int64_t lastday, int days);
  void add(const Visit& v);

  // The tally of a section by its name ("countries", "tags", ...); null
  // when there is none of that name.
  const Tally* section(const std::string& name) const;
  uint64_t connections() const { return connections_; }
  uint64_t repeaters() const;
  uint64_t distinct() const { return clients_.size(); }

  std::string text(const ReadStats& stats) const;
  std::string html(const ReadStats& stats) const;

  struct Section {
    const char* name;
    const char* title;
    Tally tally;
  };

 private:
  struct ClientCount {
    uint64_t count = 0;
    uint32_t days = 0;
    int64_t lastday = -1;
    bool keep() const { return false; }
  };

  Tally& at(const char* name);
  std::string period() const;

  int64_t firstday_;
  int days_;
  uint64_t connections_ = 0;
  std::array<uint64_t, 24> hour_of_day_{};
  std::vector<uint64_t> hourly_;  // days * 24 UTC hours of the period
  std::vector<Section> sections_;
  BoundedTable<uint32_t, ClientCount> clients_{kClientKeys};
};

// `nestrap -R days [-o FILE.html]`: the report of the daily files in
// `logdir` on standard output, and the page into `htmlpath` (replaced
// whole) when not null. Returns the exit code.
int reportmain(const char* logdir, int days, const char* htmlpath);

// Writes `text` to `path` through a temporary file beside it renamed over
// it, so that a reader sees the old or the new file, never a part. Returns
// false (and leaves `path` as it was) on failure.
bool replacefile(const std::string& path, const std::string& text);
