#include "report/reader.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/sys.h"

namespace {

std::string dailyname(const std::string& dir, int64_t day, const char* ext) {
  std::string d = daytext(day);  // YYYY-MM-DD
  std::string name = dir;
  name += plat::kPathSep;
  name += "ipinfo";
  name += d.substr(0, 4) + d.substr(5, 2) + d.substr(8, 2);
  return name + ext;
}

uint64_t countlines(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return 0;
  std::vector<char> buf(1 << 16);
  uint64_t n = 0;
  size_t got;
  while ((got = std::fread(buf.data(), 1, buf.size(), f)) > 0)
    for (const char* p = buf.data(); (p = (const char*)memchr(p, '\n', (size_t)(buf.data() + got - p))); p++) n++;
  std::fclose(f);
  return n;
}

}  // namespace

void readstream(std::FILE* f, bool json, ReadStats* stats,
                const std::function<void(const Visit&)>& sink) {
  std::vector<char> buf(1 << 16);
  std::string line;
  bool toolong = false;
  Visit v;
  auto finish = [&]() {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    bool ok = !toolong && !line.empty() &&
              (json ? parsejsonline(line, &v) : parsepipeline(line, &v));
    if (ok) {
      stats->lines++;
      sink(v);
    } else if (toolong || !line.empty()) {
      stats->unreadable++;
    }
    line.clear();
    toolong = false;
  };
  size_t got;
  while ((got = std::fread(buf.data(), 1, buf.size(), f)) > 0) {
    const char* p = buf.data();
    const char* end = p + got;
    while (p < end) {
      const char* nl = (const char*)memchr(p, '\n', (size_t)(end - p));
      const char* stop = nl ? nl : end;
      if (!toolong) {
        if (line.size() + (size_t)(stop - p) > kMaxLineBytes) {
          toolong = true;
          line.clear();
        } else {
          line.append(p, stop);
        }
      }
      if (nl == nullptr) break;
      finish();
      p = nl + 1;
    }
  }
  if (!line.empty() || toolong) finish();
}

ReadStats readdays(const std::string& dir, int64_t first, int64_t last,
                   const std::function<void(const Visit&)>& sink) {
  ReadStats stats;
  for (int64_t day = first; day <= last; day++) {
    std::string pipe = dailyname(dir, day, ".log"), json = dailyname(dir, day, ".jsonl");
    bool usejson = plat::fileexists(json.c_str()) &&
                   (!plat::fileexists(pipe.c_str()) || countlines(json) >= countlines(pipe));
    const std::string& path = usejson ? json : pipe;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) continue;
    stats.files++;
    if (usejson) stats.json_files++;
    readstream(f, usejson, &stats, sink);
    std::fclose(f);
  }
  return stats;
}

int64_t localtoday() {
  SysTime t;
  plat::localnow(&t);
  return daynumber(t.year, t.month, t.day);
}

int64_t utcseconds() {
  SysTime t;
  plat::utcnow(&t);
  return daynumber(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}
