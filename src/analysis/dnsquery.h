// The analysis' DNS questions: one query's answer as text, and the zone
// walk that finds a name's registered domain. Each query goes through the
// calling thread's resolver (see recordmemo.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The client address as every check of a record asks about it, parsed once
// per record.
struct ClientAddress {
  explicit ClientAddress(const char* client_ip);
  int valid;            // 1: an IPv4 address; the rest is zero otherwise
  uint32_t addr;        // host order
  uint8_t bytes[4];     // network order
  char reversed[16];    // "4.3.2.1" for 1.2.3.4
};

// Queries name for records of `type`; dst (cleared first) receives the text
// of the first answer record (all = 0) or "|"-prefixed texts of every record
// (all = 1). Returns 1 when at least one record was taken.
int NSquery(char* dst, size_t dstlen, const char* name, int type, int all);
// Longest suffix of name such that it and every shorter suffix have NS
// records, written with a final dot. Returns 1 when found.
int findzone(const char* name, char* dst, size_t dstlen);
// The names findzone asks for NS records, in the order it asks them (the
// top-level label first, each with a final dot).
std::vector<std::string> zonecandidates(const char* name);
