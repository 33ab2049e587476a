// Runs the public SPF conformance suites (converted at build time from their
// YAML by spf_suite_convert.py) through SpfCheckHost, each scenario's zone
// served by the fake resolver. Tests whose expected result this evaluator
// deliberately does not give are listed in conformance-departures.txt; the
// run fails for an unlisted failure and for a listed test that passes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fakes/fake_resolver.h"
#include "spf/spf_internal.h"
#include "spf/wrenspf.h"

namespace {

struct ZoneRecord {
  std::string type;                 // A, AAAA, MX, PTR, CNAME, TXT, SPF, TXTNONE, SPFNONE, TIMEOUT
  std::vector<std::string> fields;  // decoded
};

struct SuiteTest {
  std::string id, host, mailfrom, helo, explanation;
  bool hasexplanation = false;
  std::vector<std::string> results;
  int scenario = 0;
};

struct Suite {
  std::string tag;
  std::vector<std::map<std::string, std::vector<ZoneRecord>>> zones;  // per scenario, by lower-case name
  std::vector<SuiteTest> tests;
};

std::string Unhex(const std::string& s) {
  std::string out;
  for (size_t i = 1; i + 1 < s.size(); i += 2) out.push_back((char)strtol(s.substr(i, 2).c_str(), nullptr, 16));
  return out;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> v;
  std::string cur;
  std::istringstream in(s);
  while (std::getline(in, cur, sep)) v.push_back(cur);
  if (!s.empty() && s.back() == sep) v.push_back("");
  return v;
}

std::map<std::string, Suite> LoadSuites(const char* path) {
  std::map<std::string, Suite> suites;
  std::ifstream in(path);
  std::string line;
  Suite* cur = nullptr;
  while (std::getline(in, line)) {
    std::vector<std::string> f = Split(line, '\t');
    if (f.empty()) continue;
    if (f[0] == "F") {
      cur = &suites[f[1]];
      cur->tag = f[1];
    } else if (f[0] == "S") {
      cur->zones.emplace_back();
    } else if (f[0] == "Z") {
      ZoneRecord r;
      r.type = f[2];
      if (r.type == "TXT" || r.type == "SPF") {
        if (f.size() > 3 && !f[3].empty()) {
          for (const std::string& s : Split(f[3], ',')) r.fields.push_back(Unhex(s));
        }
      } else if (r.type == "MX") {
        r.fields = {f[3], Unhex(f[4])};
      } else if (f.size() > 3) {
        r.fields = {Unhex(f[3])};
      }
      cur->zones.back()[FakeResolver::key(Unhex(f[1]))].push_back(r);
    } else if (f[0] == "T") {
      SuiteTest t;
      t.id = f[1];
      t.host = f[2];
      t.mailfrom = Unhex(f[3]);
      t.helo = Unhex(f[4]);
      t.results = Split(f[5], ',');
      if (f[6] != "-") {
        t.hasexplanation = true;
        t.explanation = Unhex(f[6]);
      }
      t.scenario = (int)cur->zones.size() - 1;
      cur->tests.push_back(t);
    }
  }
  return suites;
}

std::string StripDot(std::string s) {
  if (!s.empty() && s.back() == '.') s.pop_back();
  return s;
}

using Zone = std::map<std::string, std::vector<ZoneRecord>>;

// A zone's address record: the whole text is one address of the family.
bool ZoneAddress(const std::string& text, int family, uint8_t* out) {
  const char* end = SpfParseAddress(text.c_str(), family, out);
  return end != nullptr && *end == '\0';
}

// Appends the answer records of (name, type), following CNAMEs. Returns the
// status the name answers with.
int Resolve(const Zone& zone, const std::string& name, uint16_t type, dns::RecordList* out, int depth) {
  auto it = zone.find(FakeResolver::key(name));
  if (it == zone.end()) return dns::kStatusNameError;
  if (depth > 8) return dns::kStatusServFail;  // CNAME loop
  const std::vector<ZoneRecord>& recs = it->second;
  bool txtnone = false, hastxt = false, timeout = false;
  for (const ZoneRecord& r : recs) {
    if (r.type == "TXTNONE") txtnone = true;
    if (r.type == "TXT") hastxt = true;
    if (r.type == "TIMEOUT") timeout = true;
  }
  size_t before = out->size();
  for (const ZoneRecord& r : recs) {
    dns::Record rec;
    rec.owner = FakeResolver::key(name);
    rec.section = dns::Section::Answer;
    rec.ttl = 300;
    if (r.type == "CNAME") {
      rec.type = dns::kTypeCNAME;
      rec.target = StripDot(r.fields[0]);
      out->push_back(rec);
      return Resolve(zone, rec.target, type, out, depth + 1);
    }
    if (type == dns::kTypeA && r.type == "A") {
      rec.type = dns::kTypeA;
      if (!ZoneAddress(r.fields[0], SPF_FAMILY_IPV4, rec.addr)) continue;
    } else if (type == dns::kTypeAAAA && r.type == "AAAA") {
      rec.type = dns::kTypeAAAA;
      if (!ZoneAddress(r.fields[0], SPF_FAMILY_IPV6, rec.addr)) continue;
    } else if (type == dns::kTypeMX && r.type == "MX") {
      rec.type = dns::kTypeMX;
      rec.preference = (uint16_t)atoi(r.fields[0].c_str());
      rec.target = StripDot(r.fields[1]);
    } else if (type == dns::kTypePTR && r.type == "PTR") {
      rec.type = dns::kTypePTR;
      rec.target = StripDot(r.fields[0]);
    } else if (type == dns::kTypeTXT && (r.type == "TXT" || (r.type == "SPF" && !hastxt && !txtnone))) {
      rec.type = dns::kTypeTXT;
      rec.strings = r.fields;
    } else {
      continue;
    }
    out->push_back(rec);
  }
  if (out->size() > before) return dns::kStatusOk;
  return timeout ? dns::kStatusTimeout : dns::kStatusNoRecords;
}

// Loads a scenario's zone into the fake: every name answers every type the
// evaluator asks.
void LoadZone(FakeResolver* fake, const Zone& zone) {
  fake->clear();
  const uint16_t types[] = {dns::kTypeA, dns::kTypeAAAA, dns::kTypeMX, dns::kTypePTR, dns::kTypeTXT};
  for (const auto& [name, recs] : zone) {
    for (uint16_t type : types) {
      dns::RecordList list;
      int st = Resolve(zone, name, type, &list, 0);
      if (st == dns::kStatusOk) {
        for (const dns::Record& r : list) fake->add(name, r.type, r.section, type) = r;
      } else {
        fake->status(name, type, st);
      }
    }
  }
}

std::string Lower(std::string s) {
  for (char& c : s) c = (char)tolower((unsigned char)c);
  return s;
}

// "tag:id" -> rule, from the checked-in departures file.
std::map<std::string, std::string> LoadDepartures(const char* path) {
  std::map<std::string, std::string> m;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t sp = line.find(' ');
    m[line.substr(0, sp)] = sp == std::string::npos ? "" : line.substr(sp + 1);
  }
  return m;
}

class Conformance : public ::testing::TestWithParam<const char*> {};

TEST_P(Conformance, SuiteMatchesOrIsListed) {
  static std::map<std::string, Suite> suites = LoadSuites(SPF_SUITE_FILE);
  std::map<std::string, std::string> departures = LoadDepartures(SPF_DEPARTURES_FILE);
  const std::string tag = GetParam();
  ASSERT_TRUE(suites.count(tag)) << "suite " << tag << " missing from " << SPF_SUITE_FILE;
  const Suite& suite = suites[tag];
  ASSERT_FALSE(suite.tests.empty());

  SpfInit(0, 0, 0);  // no best guess, fallback or whitelist
  SpfSetLocalHost("receiver.example.net");
  SpfSetCachedRecord(nullptr, nullptr, 0);
  FakeResolver fake;

  int run = 0, passed = 0, listed = 0;
  std::set<std::string> seen;
  for (const SuiteTest& t : suite.tests) {
    LoadZone(&fake, suite.zones[t.scenario]);
    uint8_t addr[16];
    int family = SPF_FAMILY_IPV4;
    if (!SpfParseAddress(t.host.c_str(), family, addr)) {
      family = SPF_FAMILY_IPV6;
      ASSERT_TRUE(SpfParseAddress(t.host.c_str(), family, addr)) << t.id << ": host " << t.host;
    }
    char* explanation = nullptr;
    int r = SpfCheckHost(family, addr, t.mailfrom.c_str(), nullptr, t.helo.c_str(), nullptr, &explanation);
    std::string verdict = Lower(SpfResultText(r));
    bool ok = false;
    for (const std::string& e : t.results) ok = ok || e == verdict;
    std::string got = explanation ? explanation : "";
    if (ok && t.hasexplanation) {
      std::string want = t.explanation == "DEFAULT" ? "" : t.explanation;
      ok = got == want;
    }
    free(explanation);
    run++;
    if (ok) passed++;
    const std::string key = tag + ":" + t.id;
    seen.insert(key);
    bool departure = departures.count(key) != 0;
    if (departure) listed++;
    if (!ok && !departure) {
      ADD_FAILURE() << key << ": got " << verdict << " (code " << r << ", explanation \"" << got
                    << "\"), expected " << ::testing::PrintToString(t.results)
                    << (t.hasexplanation ? " with explanation \"" + t.explanation + "\"" : "");
    }
    if (ok && departure) {
      ADD_FAILURE() << key << " is listed as a departure (" << departures[key] << ") but now passes";
    }
  }
  for (const auto& [key, rule] : departures) {
    if (key.compare(0, tag.size() + 1, tag + ":") == 0 && !seen.count(key)) {
      ADD_FAILURE() << key << " is listed as a departure but is not in the suite";
    }
  }
  printf("%s: run %d, passed %d, listed departures %d\n", tag.c_str(), run, passed, listed);
  SpfCleanup();
}

INSTANTIATE_TEST_SUITE_P(Spf, Conformance, ::testing::Values("rfc4408", "rfc7208"));

}  // namespace
