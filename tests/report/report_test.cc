// The report's totals and the trap rule on the blocks of report_cases.txt,
// read through the same stream reader as the daily files.
#include <cstdio>
#include <sstream>

#include "report/report.h"
#include "report/trap.h"
#include "util/cases.h"

namespace {

struct Block {
  std::string name;
  std::vector<std::string> words;  // of the "=" line
  std::string pipe, json;          // file contents
  std::vector<std::string> checks;
};

// "V date time ip tag spf [helo ptr]": a pipe line with the rest made up.
std::string visitline(const std::vector<std::string>& w) {
  std::string helo = w.size() > 6 ? w[6] : "bot.example", ptr = w.size() > 7 ? w[7] : "none.";
  return w[1] + "|" + w[2] + "|00000000|     0|" + w[3] + "|n/24|p/24|" + ptr + "|" + helo + "|" +
         w[5] + "|" + w[4] + "|z.test|--|unknown|0|0|0|0|no-auth|no-from|no-rcpt|no-error \n";
}

std::vector<Visit> readall(const std::string& text, bool json, ReadStats* st) {
  std::vector<Visit> out;
  std::FILE* f = std::tmpfile();
  std::fwrite(text.data(), 1, text.size(), f);
  std::rewind(f);
  readstream(f, json, st, [&](const Visit& v) { out.push_back(v); });
  std::fclose(f);
  return out;
}

void run(const Block& b) {
  SCOPED_TRACE(b.name);
  int64_t now = 0;
  Visit clock;
  ASSERT_TRUE(parsepipeline(visitline({"V", b.words[2], b.words[3], "192.0.2.1", "NL", "None"}), &clock));
  now = clock.time;
  TrapRule rule;
  if (b.words.size() > 4) {
    rule.min_visits = std::stoi(b.words[4]);
    rule.days = std::stoi(b.words[5]);
    rule.tags.assign(b.words.begin() + 6, b.words.end());
  }
  ReadStats st;
  std::vector<Visit> visits = readall(b.pipe, false, &st);
  for (const Visit& v : readall(b.json, true, &st)) visits.push_back(v);
  Report report(now / 86400, 7);
  Trap trap(rule, now);
  for (const Visit& v : visits) {
    report.add(v);
    trap.add(v);
  }
  for (const std::string& c : b.checks) {
    SCOPED_TRACE(c);
    std::istringstream in(c);
    std::string kind, what;
    in >> kind >> what;
    if (kind == "T") {
      std::string want = c.substr(1), got;
      for (uint32_t ip : trap.caught()) got += " " + trapexport({ip}, "plain", rule).substr(0, 15);
      for (auto& s : {&want, &got}) s->erase(std::remove(s->begin(), s->end(), '\n'), s->end());
      std::istringstream w(want), g(got);
      std::vector<std::string> a{std::istream_iterator<std::string>(w), {}};
      std::vector<std::string> z{std::istream_iterator<std::string>(g), {}};
      EXPECT_EQ(a, z);
      continue;
    }
    uint64_t n;
    in >> n;
    std::string key;
    std::getline(in >> std::ws, key);
    if (what == "connections") EXPECT_EQ(report.connections(), n);
    else if (what == "distinct") EXPECT_EQ(report.distinct(), n);
    else if (what == "repeaters") EXPECT_EQ(report.repeaters(), n);
    else if (what == "unreadable") EXPECT_EQ(st.unreadable, n);
    else if (const Tally* t = report.section(what)) EXPECT_EQ(t->count(key), n) << key;
    else ADD_FAILURE() << "unknown check";
  }
  std::string page = report.html(st);
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("<b>"), std::string::npos);  // markup from a client stays text
}

TEST(Report, Cases) {
  std::vector<Block> blocks;
  ForEachCase("report_cases.txt", [&](const std::string& line) {
    if (line[0] == '=') {
      blocks.push_back(Block{line.substr(2), Words(line), "", "", {}});
      return;
    }
    ASSERT_FALSE(blocks.empty());
    Block& b = blocks.back();
    if (line[0] == 'V') b.pipe += visitline(Words(line));
    else if (line[0] == 'P') b.pipe += line.substr(2) + "\n";
    else if (line[0] == 'J') b.json += line.substr(2) + "\n";
    else b.checks.push_back(line);
  });
  for (const Block& b : blocks) run(b);
}

}  // namespace
