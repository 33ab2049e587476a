// DNS query helpers of the analysis and the origin lookups.
// Each query goes through the calling thread's resolver (see recordmemo.h).
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "analysis/recordmemo.h"
#include "server/record.h"

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
// The questions of getorigin that depend on the address alone.
void originquestions(const ConnectionRecord* r, std::vector<Question>* out);
// Fills asn, ip_network, bgp_prefix, country, owner and the SenderBase items.
void getorigin(ConnectionRecord* r);
// Writes "network/bits" of address into dst (size dstsize).
void setcidr(char* dst, size_t dstsize, const char* address, int bits);

// The steps of getorigin that read an answer text, for tests.
// Origin record "asn | prefix | country | ...": asn, ip_network, bgp_prefix, country.
void parseorigin(ConnectionRecord* r, const char* text);
// AS description record "asn | country | registry | date | owner": owner.
// Returns 1 when the answer had a fifth field.
int parseasowner(ConnectionRecord* r, const char* text);
// Joined SenderBase answer "|item|item...": owner, ip_network, country, sb_item50/54/55.
void parsesenderbase(ConnectionRecord* r, const char* text);
// Leading number of text as atol reads it (blanks, sign, digits), held
// within the range of a 32-bit integer.
long textnumber(const char* text);
