// Runs SPF checks written as data through SpfCheckHost, each scenario's zone
// served by the fake resolver: our own cases (cases.txt, whose header gives
// the format) and the public conformance suites, converted into the same
// format at build time by spf_suite_convert.py. Suite tests whose expected
// result this evaluator deliberately does not give are listed in
// conformance-departures.txt; the run fails for an unlisted failure and for
// a listed test that passes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fakes/fake_resolver.h"
#include "spf/spf_internal.h"
#include "spf/wrenspf.h"
#include "util/cases.h"

namespace {

struct Check {
  std::string where, id, client, mailfrom, helo, explanation;
  std::vector<std::string> settings;  // "set" lines in force, in order
  std::vector<std::string> results;
  bool hasexplanation = false;
  int maxqueries = -1;
  size_t scenario = 0;
};

using Zone = std::map<std::string, std::vector<std::vector<std::string>>>;  // name -> [TYPE, data...]

struct Cases {
  std::vector<Zone> zones;
  std::vector<Check> checks;
};

std::vector<std::string> Split(const std::string& s) {
  std::vector<std::string> v;
  for (size_t start = 0, comma;; start = comma + 1) {
    comma = s.find(',', start);
    v.push_back(s.substr(start, comma - start));
    if (comma == std::string::npos) return v;
  }
}

Cases Load(const char* path) {
  Cases c;
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << path;
  std::string line, suite;
  std::vector<std::string> settings;
  for (int n = 1; std::getline(in, line); n++) {
    std::vector<std::string> w = Words(line);
    if (w.empty() || w[0][0] == '#') continue;
    if (w[0] == "suite") {
      suite = w[1] + ":";
    } else if (w[0] == "==") {
      c.zones.emplace_back();
      settings.clear();
    } else if (w[0] == "set") {
      settings.push_back(line);
    } else if (w[0] == "queries") {
      c.checks.back().maxqueries = atoi(w[1].c_str());
    } else if (w[0] == "check") {
      Check t;
      t.where = std::string(path) + ":" + std::to_string(n);
      t.id = suite.empty() ? t.where : suite + w[1];
      t.client = w[2];
      t.mailfrom = w[3];
      t.helo = w[4];
      t.results = Split(w[5]);
      t.hasexplanation = w.size() > 6;
      if (t.hasexplanation) t.explanation = w[6] == "DEFAULT" ? "" : w[6];
      t.settings = settings;
      t.scenario = c.zones.size() - 1;
      c.checks.push_back(t);
    } else {
      c.zones.back()[FakeResolver::key(w[0])].emplace_back(w.begin() + 1, w.end());
    }
  }
  return c;
}

std::string StripDot(std::string s) {
  if (!s.empty() && s.back() == '.') s.pop_back();
  return s;
}

uint16_t TypeCode(const std::string& t) {
  static const std::map<std::string, uint16_t> codes = {
      {"A", dns::kTypeA}, {"AAAA", dns::kTypeAAAA}, {"MX", dns::kTypeMX}, {"PTR", dns::kTypePTR},
      {"TXT", dns::kTypeTXT}};
  auto it = codes.find(t);
  return it == codes.end() ? 0 : it->second;
}

// Appends the answer records of (name, type), following CNAMEs. Returns the
// status the name answers with.
int Resolve(const Zone& zone, const std::string& name, uint16_t type, dns::RecordList* out, int depth) {
  auto it = zone.find(FakeResolver::key(name));
  if (it == zone.end()) return dns::kStatusNameError;
  if (depth > 8) return dns::kStatusServFail;  // CNAME loop
  static const std::map<std::string, int> statuses = {{"SERVFAIL", dns::kStatusServFail},
      {"NXDOMAIN", dns::kStatusNameError}, {"NODATA", dns::kStatusNoRecords}, {"TIMEOUT", dns::kStatusTimeout}};
  bool spfhidden = false, timeout = false;
  for (const auto& r : it->second) {
    spfhidden |= r[0] == "TXT" || r[0] == "TXTNONE";
    timeout |= r[0] == "TIMEOUT" && r.size() == 1;
    if (r.size() == 2 && statuses.count(r[0]) && TypeCode(r[1]) == type) return statuses.at(r[0]);
  }
  size_t before = out->size();
  for (const auto& r : it->second) {
    dns::Record rec;
    rec.owner = FakeResolver::key(name);
    rec.ttl = 300;
    rec.type = r[0] == "SPF" ? (uint16_t)dns::kTypeTXT : TypeCode(r[0]);
    if (r[0] == "CNAME") {
      rec.type = dns::kTypeCNAME;
      rec.target = StripDot(r[1]);
      out->push_back(rec);
      return Resolve(zone, rec.target, type, out, depth + 1);
    }
    if (r[0] == "ADD" && type == dns::kTypeMX) {  // an address in the additional section
      rec.section = dns::Section::Additional;
      rec.owner = r[1];
      rec.type = SpfParseAddress(r[2].c_str(), SPF_FAMILY_IPV4, rec.addr) ? dns::kTypeA : dns::kTypeAAAA;
      SpfParseAddress(r[2].c_str(), SPF_FAMILY_IPV6, rec.addr);
      out->push_back(rec);
      continue;
    }
    if (rec.type != type || (r[0] == "SPF" && spfhidden)) continue;
    if (type == dns::kTypeA || type == dns::kTypeAAAA) {
      const char* end = SpfParseAddress(r[1].c_str(), type == dns::kTypeA ? SPF_FAMILY_IPV4 : SPF_FAMILY_IPV6,
                                        rec.addr);
      if (end == nullptr || *end) continue;
    } else if (type == dns::kTypeMX) {
      rec.preference = (uint16_t)atoi(r[1].c_str());
      rec.target = StripDot(r[2]);
    } else if (type == dns::kTypePTR) {
      rec.target = StripDot(r[1]);
    } else {
      rec.strings.assign(r.begin() + 1, r.end());
    }
    out->push_back(rec);
  }
  if (out->size() > before) return dns::kStatusOk;
  return timeout ? dns::kStatusTimeout : dns::kStatusNoRecords;
}

// Loads a zone into the fake: every name answers every type the evaluator asks.
void LoadZone(FakeResolver* fake, const Zone& zone) {
  fake->clear();
  for (const auto& entry : zone) {
    for (uint16_t type : {dns::kTypeA, dns::kTypeAAAA, dns::kTypeMX, dns::kTypePTR, dns::kTypeTXT}) {
      dns::RecordList list;
      int st = Resolve(zone, entry.first, type, &list, 0);
      if (st != dns::kStatusOk) fake->status(entry.first, type, st);
      for (const dns::Record& r : list) fake->add(entry.first, r.type, r.section, type) = r;
    }
  }
}

// The evaluator's state for a check: no local policies unless set.
void Configure(const std::vector<std::string>& settings) {
  SpfCleanup();
  SpfInit(0, 0, 0);
  SpfSetLocalHost("receiver.example.net");
  SpfSetCachedRecord(nullptr, nullptr, 0);
  for (const std::string& line : settings) {
    std::vector<std::string> w = Words(line);
    if (w[1] == "bestguess") SpfSetBestGuess(w[2].c_str(), w.size() > 3 ? w[3].c_str() : nullptr);
    if (w[1] == "whitelist") SpfSetWhitelist(w[2].c_str());
    if (w[1] == "cached") SpfSetCachedRecord(w[2].c_str(), w[3].c_str(), 3600);
  }
}

std::map<std::string, std::string> LoadDepartures() {
  std::map<std::string, std::string> m;
  ForEachCase("conformance-departures.txt", [&](const std::string& line) {
    size_t sp = line.find(' ');
    m[line.substr(0, sp)] = sp == std::string::npos ? "" : line.substr(sp + 1);
  });
  return m;
}

class SpfCases : public ::testing::TestWithParam<const char*> {};

TEST_P(SpfCases, GiveTheirResults) {
  Cases cases = Load(GetParam());
  ASSERT_FALSE(cases.checks.empty());
  std::map<std::string, std::string> departures = LoadDepartures();
  FakeResolver fake;
  std::set<std::string> seen, suites;
  for (const Check& t : cases.checks) {
    Configure(t.settings);
    LoadZone(&fake, cases.zones[t.scenario]);
    uint8_t addr[16];
    int family = SPF_FAMILY_IPV4;
    if (!SpfParseAddress(t.client.c_str(), family, addr)) family = SPF_FAMILY_IPV6;
    ASSERT_TRUE(SpfParseAddress(t.client.c_str(), family, addr)) << t.where;
    char* explanation = nullptr;
    int r = SpfCheckHost(family, addr, t.mailfrom.c_str(), nullptr, t.helo.c_str(), nullptr, &explanation);
    std::string verdict = SpfResultText(r), got = explanation ? explanation : "";
    free(explanation);
    for (char& ch : verdict) ch = (char)tolower((unsigned char)ch);
    bool ok = false;
    for (const std::string& e : t.results) ok = ok || e == verdict || e == std::to_string(r);
    ok = ok && (!t.hasexplanation || got == t.explanation);
    seen.insert(t.id);
    suites.insert(t.id.substr(0, t.id.find(':') + 1));
    const bool departure = departures.count(t.id) != 0;
    EXPECT_TRUE(ok || departure) << t.where << " " << t.id << ": got " << verdict << " (code " << r
                                 << ", explanation \"" << got << "\")";
    EXPECT_FALSE(ok && departure) << t.id << " is listed as a departure but now passes";
    if (t.maxqueries >= 0) {
      EXPECT_LE(fake.queries, t.maxqueries) << t.where;
    }
  }
  for (const auto& d : departures) {
    const std::string suite = d.first.substr(0, d.first.find(':') + 1);
    if (suites.count(suite) && !seen.count(d.first)) ADD_FAILURE() << d.first << " is listed but not in its suite";
  }
  SpfCleanup();
}

INSTANTIATE_TEST_SUITE_P(Data, SpfCases, ::testing::Values(SPF_CASES_FILE, SPF_SUITE_FILE));

}  // namespace
