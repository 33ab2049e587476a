// Reads the daily connection files of a range of days as one stream.
#pragma once
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "report/visit.h"

struct ReadStats {
  int files = 0;        // daily files read
  int json_files = 0;   // of which JSON line files
  uint64_t lines = 0;   // connections read
  uint64_t unreadable = 0;  // lines that were not connections (or too long)
};

// Longest line taken; a longer one is skipped as unreadable.
constexpr size_t kMaxLineBytes = 65536;

// Calls sink for every connection in the files of the local dates `first`
// to `last` (day numbers) in `dir`. For each day the JSON line file
// (ipinfoYYYYMMDD.jsonl) is read when it holds at least as many lines as the
// pipe file (ipinfoYYYYMMDD.log), the pipe file otherwise: archives from
// before JSON lines, or a day on which they were switched on, lose nothing.
// Memory: one line buffer, whatever the size of the files.
ReadStats readdays(const std::string& dir, int64_t first, int64_t last,
                   const std::function<void(const Visit&)>& sink);

// Reads one open stream of lines of either kind into sink.
void readstream(std::FILE* f, bool json, ReadStats* stats,
                const std::function<void(const Visit&)>& sink);

// Today's local date as a day number, and now in seconds since 1970 UTC.
int64_t localtoday();
int64_t utcseconds();
