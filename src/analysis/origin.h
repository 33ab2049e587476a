// The origin lookups of a client address: its AS, network, country and
// owner (Team Cymru and SenderBase TXT answers).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "analysis/dnsquery.h"
#include "analysis/recordmemo.h"
#include "common/record.h"

// The questions of getorigin that depend on the address alone (Team Cymru's
// origin, then SenderBase's when on), in the order it asks them.
void originquestions(const ClientAddress& c, std::vector<Question>* out);
// Fills asn, ip_network, bgp_prefix, country, owner and the SenderBase items.
void getorigin(ConnectionRecord* r, const ClientAddress& c);
// Writes "network/bits" of the address (host order) into dst (size dstsize).
void setcidr(char* dst, size_t dstsize, uint32_t addr_host, int bits);

// The steps of getorigin that read an answer text, for tests.
// Origin record "asn | prefix | country | ...": asn, ip_network, bgp_prefix, country.
void parseorigin(ConnectionRecord* r, const ClientAddress& c, const char* text);
// AS description record "asn | country | registry | date | owner": owner.
// Returns 1 when the answer had a fifth field.
int parseasowner(ConnectionRecord* r, const char* text);
// Joined SenderBase answer "|item|item...": owner, ip_network, country, sb_item50/54/55.
void parsesenderbase(ConnectionRecord* r, const ClientAddress& c, const char* text);
// Leading number of text as atol reads it (blanks, sign, digits), held
// within the range of a 32-bit integer.
long textnumber(const char* text);
