// The connection log line.
#pragma once
#include "common/record.h"
#include "platform/systemlog.h"

constexpr int kLineSize = 9216;

// Builds the connection line (no line break) into out (kLineSize bytes).
void connectionline(char* out, const char* datetime, const ConnectionRecord* r);

// The record as named fields for the system's log (journal field names),
// pointing into the record and into the numbers kept here.
struct ConnectionFields {
  static constexpr int kMax = 24;
  plat::LogField field[kMax];
  int count = 0;
  char numbers[6][16];
};
void connectionfields(const ConnectionRecord* r, ConnectionFields* out);

// Counts the line in the metrics: its tag, SPF verdict, HELO class and the
// list zone that decided it.
void countline(const ConnectionRecord* r);
