// The report's totals and the trap rule on the blocks of report_cases.txt,
// read through the same stream reader as the daily files.
#include <algorithm>
#include <cstdio>
#include <sstream>

#include "report/report.h"
#include "report/trap.h"
#include "util/cases.h"

namespace {

struct Block {
  std::vector<std::string> head;  // the words of its "=" line
  std::string pipe, json;         // the lines of each kind of file
  std::vector<std::string> checks;
};

// "V date time ip tag spf": a pipe line with the other columns made up.
std::string visitline(const std::vector<std::string>& w) {
  return w[1] + "|" + w[2] + "|00000000|     0|" + w[3] + "|n|p|none.|bot|" + w[5] + "|" + w[4] +
         "|z.test|--|unknown|0|0|0|0|no-auth|no-from|no-rcpt|no-error \n";
}

void read(const std::string& text, bool json, ReadStats* st, std::vector<Visit>* out) {
  std::FILE* f = std::tmpfile();
  std::fwrite(text.data(), 1, text.size(), f);
  std::rewind(f);
  readstream(f, json, st, [&](const Visit& v) { out->push_back(v); });
  std::fclose(f);
}

void run(const Block& b) {
  SCOPED_TRACE(b.head[1]);
  Visit clock;
  ASSERT_TRUE(parsepipeline(visitline({"", b.head[2], b.head[3], "192.0.2.1", "NL", "None"}), &clock));
  TrapRule rule;
  if (b.head.size() > 4) {
    rule.min_visits = std::stoi(b.head[4]);
    rule.days = std::stoi(b.head[5]);
    rule.tags.assign(b.head.begin() + 6, b.head.end());
  }
  ReadStats st;
  std::vector<Visit> visits;
  read(b.pipe, false, &st, &visits);
  read(b.json, true, &st, &visits);
  Report report(clock.time / 86400, 7);
  Trap trap(rule, clock.time);
  for (const Visit& v : visits) {
    report.add(v);
    trap.add(v);
  }
  for (const std::string& c : b.checks) {
    SCOPED_TRACE(c);
    if (c[0] == 'T') {  // the plain export, one address a line
      std::string want = c.size() > 2 ? c.substr(2) + " " : "";
      std::replace(want.begin(), want.end(), ' ', '\n');
      EXPECT_EQ(trapexport(trap.caught(), "plain", rule), want);
      continue;
    }
    std::istringstream in(c.substr(2));
    std::string what, key;
    uint64_t n = 0;
    in >> what >> n;
    std::getline(in >> std::ws, key);
    if (what == "connections") EXPECT_EQ(report.connections(), n);
    else if (what == "distinct") EXPECT_EQ(report.distinct(), n);
    else if (what == "repeaters") EXPECT_EQ(report.repeaters(), n);
    else if (what == "unreadable") EXPECT_EQ(st.unreadable, n);
    else if (const Tally* t = report.section(what)) EXPECT_EQ(t->count(key), n) << key;
    else ADD_FAILURE() << "unknown check";
  }
  std::string page = report.html(st);
  EXPECT_EQ(page.find("<b>"), std::string::npos);  // markup from a client stays text
}

TEST(Report, Cases) {
  std::vector<Block> blocks;
  ForEachCase("report_cases.txt", [&](const std::string& line) {
    if (line[0] == '=') blocks.push_back(Block{Words(line), "", "", {}});
    else if (line[0] == 'V') blocks.back().pipe += visitline(Words(line));
    else if (line[0] == 'P') blocks.back().pipe += line.substr(2) + "\n";
    else if (line[0] == 'J') blocks.back().json += line.substr(2) + "\n";
    else blocks.back().checks.push_back(line);
  });
  for (const Block& b : blocks) run(b);
}

}  // namespace
