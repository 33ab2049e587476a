// Per-connection analysis, run by the logger's analysis pipeline.
#pragma once
#include <string>

#include "common/record.h"

// Analyses a finished record, writes its connection line and echoes it at
// level 6. The record is not freed here.
void checkconn(ConnectionRecord* r);
// The three steps of checkconn. analyseconn asks DNS through the calling
// thread's resolver (a RecordMemo when the caller wants the record's
// independent questions in flight together) and fills the DNS columns;
// it returns the verdict that writeconn needs. A record analysed past its
// deadline gets the columns of a DNS failure. finishconn sets the line's
// placeholders and, with JSON lines on, builds the JSON line (else json is
// left empty); it can run on any thread. writeconn writes the line and the
// JSON line when there is one.
int analyseconn(ConnectionRecord* r);
void finishconn(ConnectionRecord* r, std::string* json);
void writeconn(ConnectionRecord* r, int verdict, const std::string& json);
