// One connection as the report and the trap read it back from a daily file:
// a pipe line (ipinfoYYYYMMDD.log) or a JSON line (ipinfoYYYYMMDD.jsonl).
// Both readers take untrusted text (whoever reached the decoy wrote part of
// it) and never fail other than by returning false.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct Visit {
  int64_t time = 0;       // seconds since 1970-01-01 UTC, session start
  uint32_t ip = 0;        // host order
  std::string ip_text;
  long asn = 0;
  std::string owner, country, ptr, helo, helo_class, tag, detail, spf;
  std::vector<std::string> zones;       // every zone that listed the client
  std::string sender_domain;            // empty when no MAIL FROM
  std::vector<std::string> rcpt_domains;
  std::vector<std::string> signals;
  bool from_json = false;               // signals and all zones are known
};

// Days since 1970-01-01 of a civil (proleptic Gregorian) date.
int64_t daynumber(int year, int month, int day);
// The civil date of a day number, as "YYYY-MM-DD".
std::string daytext(int64_t days);

// Reads a pipe line (22 or 24 columns, without its line break). Returns
// false, with `v` in an unspecified state, when the line is not one.
bool parsepipeline(std::string_view line, Visit* v);
// Reads a JSON line. Returns false when it is not a JSON object with at
// least a readable "time" and "client.ip"; missing fields stay empty.
bool parsejsonline(std::string_view line, Visit* v);

// True for an MTA-like visitor: white-listed or SPF Pass, and a HELO name
// equal to the reverse name (case and a final dot aside).
bool mtalike(const Visit& v);
