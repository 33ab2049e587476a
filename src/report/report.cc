#include "report/report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "common/exitcode.h"
namespace {

constexpr size_t kTop = 10;
constexpr size_t kTopMtaLike = 20;

std::string fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* f, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, f);
  vsnprintf(buf, sizeof buf, f, ap);
  va_end(ap);
  return buf;
}

std::string ipname(uint32_t ip) {
  return fmt("%u.%u.%u.%u", ip >> 24, (ip >> 16) & 255, (ip >> 8) & 255, ip & 255);
}

// Length of the valid UTF-8 sequence at s (0: not one).
size_t utf8len(const unsigned char* s, size_t n) {
  unsigned char c = s[0];
  size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (len == 0 || len > n || (len == 2 && c < 0xC2) || (len == 4 && c > 0xF4)) return 0;
  for (size_t i = 1; i < len; i++)
    if ((s[i] & 0xC0) != 0x80) return 0;
  return len;
}

// Text from the logs for the page: markup escaped, control bytes (line
// breaks aside) and bytes that are not UTF-8 shown as '?', so that no client
// can shape the page.
std::string esc(const std::string& s) {
  std::string out;
  const unsigned char* p = (const unsigned char*)s.data();
  size_t n = s.size();
  for (size_t i = 0; i < n;) {
    size_t len = utf8len(p + i, n - i);
    unsigned char c = p[i];
    if (len == 0 || (len == 1 && ((c < 0x20 && c != '\n') || c == 0x7F))) {
      out += '?';
      i++;
      continue;
    }
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out.append(s, i, len);
    }
    i += len;
  }
  return out;
}

std::string orblank(const std::string& s, const char* none) { return s.empty() ? none : s; }

using Rows = std::vector<std::pair<std::string, uint64_t>>;

// A horizontal bar chart, one bar per row.
std::string barchart(const char* id, const char* title, const Rows& rows) {
  constexpr int kRow = 22, kLabel = 260, kBars = 420, kWidth = kLabel + kBars + 90;
  uint64_t max = 1;
  for (const auto& r : rows) max = std::max(max, r.second);
  int height = 30 + kRow * (int)std::max<size_t>(rows.size(), 1);
  std::string s = fmt("<figure><figcaption>%s</figcaption>\n", title);
  s += fmt("<svg class=\"chart\" id=\"chart-%s\" data-bars=\"%lu\" width=\"%d\" height=\"%d\" "
           "viewBox=\"0 0 %d %d\" xmlns=\"http://www.w3.org/2000/svg\" role=\"img\">\n",
           id, (unsigned long)rows.size(), kWidth, height, kWidth, height);
  if (rows.empty()) s += "<text x=\"0\" y=\"20\">none</text>\n";
  int y = 10;
  for (const auto& r : rows) {
    int w = std::max(1, (int)(r.second * (uint64_t)kBars / max));
    std::string label = r.first.size() > 40 ? r.first.substr(0, 40) + "..." : r.first;
    s += fmt("<text x=\"%d\" y=\"%d\" text-anchor=\"end\">", kLabel - 6, y + 15) + esc(label) +
         "</text>";
    s += fmt("<rect class=\"bar\" x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\"><title>", kLabel, y,
             w, kRow - 4) +
         esc(r.first) + fmt(": %" PRIu64 "</title></rect>", r.second);
    s += fmt("<text x=\"%d\" y=\"%d\">%" PRIu64 "</text>\n", kLabel + w + 6, y + 15, r.second);
    y += kRow;
  }
  return s + "</svg></figure>\n";
}

// Connections per hour over the whole period, one column per hour.
std::string hourchart(const std::vector<uint64_t>& hours, int64_t firstday) {
  constexpr int kCol = 3, kHeight = 200, kTopPad = 20, kBottom = 40;
  uint64_t max = 1;
  for (uint64_t h : hours) max = std::max(max, h);
  int width = (int)hours.size() * kCol + 60;
  std::string s = "<figure><figcaption>Connections per hour (UTC) over the period</figcaption>\n";
  s += fmt("<svg class=\"chart\" id=\"chart-hourly\" data-bars=\"%lu\" width=\"%d\" height=\"%d\" "
           "viewBox=\"0 0 %d %d\" xmlns=\"http://www.w3.org/2000/svg\" role=\"img\">\n",
           (unsigned long)hours.size(), width, kHeight + kTopPad + kBottom, width, kHeight + kTopPad + kBottom);
  s += fmt("<text x=\"0\" y=\"14\">max %" PRIu64 " per hour</text>\n", max);
  for (size_t i = 0; i < hours.size(); i++) {
    int h = (int)(hours[i] * (uint64_t)kHeight / max);
    s += fmt("<rect class=\"bar\" x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\"><title>%s %02d:00: "
             "%" PRIu64 "</title></rect>\n",
             (int)i * kCol, kTopPad + kHeight - h, kCol - 1, h,
             daytext(firstday + (int64_t)i / 24).c_str(), (int)(i % 24), hours[i]);
    if (i % 24 == 0)
      s += fmt("<text x=\"%d\" y=\"%d\" class=\"day\">%s</text>\n", (int)i * kCol,
               kTopPad + kHeight + 16 + (int)(i / 24 % 2) * 14,
               daytext(firstday + (int64_t)i / 24).substr(5).c_str());
  }
  return s + "</svg></figure>\n";
}

}  // namespace

Report::Report(int64_t lastday, int days)
    : firstday_(lastday - days + 1), days_(days), hourly_((size_t)days * 24) {
  static const char* const kSections[][2] = {
      {"days", "Connections per day (UTC)"},
      {"countries", "Countries"},
      {"as", "AS with owner"},
      {"helo", "HELO names"},
      {"helo-classes", "HELO classes"},
      {"tags", "Tags"},
      {"zones", "List zones"},
      {"spf", "SPF verdicts"},
      {"senders", "Sender domains"},
      {"recipients", "Recipient domains"},
      {"signals", "Signals"},
      {"mta-like", "MTA-like visitors (white-listed or SPF Pass, HELO = reverse name)"},
  };
  for (const auto& s : kSections) sections_.push_back(Section{s[0], s[1], Tally()});
}

Tally& Report::at(const char* name) {
  for (Section& s : sections_)
    if (strcmp(s.name, name) == 0) return s.tally;
  return sections_.front().tally;  // not reached: names are the ones above
}

const Tally* Report::section(const std::string& name) const {
  for (const Section& s : sections_)
    if (name == s.name) return &s.tally;
  return nullptr;
}

void Report::add(const Visit& v) {
  connections_++;
  int64_t day = v.time >= 0 ? v.time / 86400 : (v.time - 86399) / 86400;
  int hour = (int)((v.time - day * 86400) / 3600);
  hour_of_day_[(size_t)hour]++;
  int64_t slot = (day - firstday_) * 24 + hour;
  if (slot >= 0 && slot < (int64_t)hourly_.size()) hourly_[(size_t)slot]++;
  at("days").add(daytext(day));
  at("countries").add(orblank(v.country, "--"));
  at("as").add(fmt("AS%ld %s", v.asn, orblank(v.owner, "unknown").c_str()));
  at("helo").add(v.helo);
  at("helo-classes").add(orblank(v.helo_class, "(not recorded)"));
  at("tags").add(v.tag);
  for (const std::string& z : v.zones) at("zones").add(z);
  at("spf").add(v.spf);
  if (!v.sender_domain.empty()) at("senders").add(v.sender_domain);
  for (const std::string& r : v.rcpt_domains) at("recipients").add(r);
  for (const std::string& s : v.signals) at("signals").add(s);
  if (mtalike(v)) at("mta-like").add(v.ip_text + " " + v.helo);
  if (ClientCount* c = clients_.get(v.ip)) {
    c->count++;
    if (c->lastday != day) {
      c->days++;
      c->lastday = day;
    }
  }
}

uint64_t Report::repeaters() const {
  uint64_t n = 0;
  clients_.each([&](uint32_t, const ClientCount& c) { n += c.count > 1; });
  return n;
}

std::string Report::period() const {
  return daytext(firstday_) + " .. " + daytext(firstday_ + days_ - 1);
}

std::string Report::text(const ReadStats& st) const {
  std::string s = fmt("nestrap report, %d day(s): %s\n", days_, period().c_str());
  s += fmt("files read: %d (%d of JSON lines), lines not understood: %" PRIu64 "\n", st.files,
           st.json_files, st.unreadable);
  uint64_t multiday = 0;
  clients_.each([&](uint32_t, const ClientCount& c) { multiday += c.days > 1; });
  s += fmt("connections: %" PRIu64 "\ndistinct clients: %lu\n", connections_, (unsigned long)clients_.size());
  s += fmt("repeat visitors: %" PRIu64 " (on more than one day: %" PRIu64 ")\n", repeaters(),
           multiday);
  if (clients_.lowered())
    s += fmt("(more than %lu clients: client counts are lower bounds)\n", (unsigned long)kClientKeys);

  s += "\nPer day (UTC)\n";
  Rows days = sections_.front().tally.top(kMaxReportDays * 2);
  std::sort(days.begin(), days.end());
  for (const auto& d : days) s += fmt("  %s %10" PRIu64 "\n", d.first.c_str(), d.second);
  s += "\nPer hour of day (UTC)\n";
  for (int h = 0; h < 24; h++) s += fmt("  %02d %10" PRIu64 "\n", h, hour_of_day_[(size_t)h]);

  s += "\nTop clients\n";
  for (const auto& c : clients_.top(kTop))
    s += fmt("  %10" PRIu64 "  %s (%u day(s))\n", c.second.count, ipname(c.first).c_str(),
             c.second.days);
  for (const Section& sec : sections_) {
    if (strcmp(sec.name, "days") == 0) continue;
    bool mta = strcmp(sec.name, "mta-like") == 0;
    s += fmt("\n%s%s\n", mta ? "" : "Top ", sec.title);
    if (sec.tally.size() == 0) s += "  (none)\n";
    for (const auto& r : sec.tally.top(mta ? kTopMtaLike : kTop))
      s += fmt("  %10" PRIu64 "  ", r.second) + r.first + "\n";
    if (sec.tally.lowered()) s += "  (counts are lower bounds: too many distinct keys)\n";
  }
  return s;
}

std::string Report::html(const ReadStats& st) const {
  std::string s =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<title>nestrap report " + period() + "</title>\n"
      "<style>body{font-family:sans-serif;margin:1em 2em;color:#222}"
      "figure{margin:1.5em 0}figcaption{font-weight:bold;margin-bottom:.3em}"
      "svg{max-width:100%;height:auto}svg text{font-size:12px;fill:#222}"
      "rect.bar{fill:#3a6ea5}#chart-hourly rect.bar{fill:#b5533c}"
      "pre{background:#f4f4f4;padding:1em;overflow-x:auto}</style>\n</head><body>\n";
  s += "<h1>nestrap report, " + period() + "</h1>\n";
  s += fmt("<p>%" PRIu64 " connections from %lu clients, %" PRIu64 " of them more than once.</p>\n",
           connections_, (unsigned long)clients_.size(), repeaters());
  s += hourchart(hourly_, firstday_);
  static const char* const kCharts[] = {"tags", "zones", "helo-classes", "spf", "signals",
                                        "countries", "as"};
  for (const char* name : kCharts) {
    for (const Section& sec : sections_)
      if (strcmp(sec.name, name) == 0) s += barchart(sec.name, sec.title, sec.tally.top(kTop));
  }
  s += "<h2>Summary</h2>\n<pre>" + esc(text(st)) + "</pre>\n</body></html>\n";
  return s;
}

bool replacefile(const std::string& path, const std::string& text) {
  std::string tmp = path + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = std::fflush(f) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  std::error_code ec;
  if (ok) std::filesystem::rename(tmp, path, ec);
  if (!ok || ec) {
    std::filesystem::remove(tmp, ec);
    return false;
  }
  return true;
}

int reportmain(const char* logdir, int days, const char* htmlpath) {
  if (days < 1 || days > kMaxReportDays) {
    fprintf(stderr, "Invalid report period %d (1..%d days)\n", days, kMaxReportDays);
    return kExitSetting;
  }
  int64_t today = localtoday();
  Report r(today, days);
  ReadStats st = readdays(logdir, today - days + 1, today, [&](const Visit& v) { r.add(v); });
  std::string out = r.text(st);
  fwrite(out.data(), 1, out.size(), stdout);
  fflush(stdout);
  if (htmlpath != nullptr && !replacefile(htmlpath, r.html(st))) {
    fprintf(stderr, "Cannot write %s\n", htmlpath);
    return kExitUsage;
  }
  return kExitDone;
}
