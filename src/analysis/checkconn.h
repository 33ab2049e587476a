// Per-connection analysis, run by the logger's analysis pipeline.
#pragma once
#include "common/record.h"

// Analyses a finished record, writes its connection line and echoes it at
// level 6. The record is not freed here.
void checkconn(ConnectionRecord* r);
// The two halves of checkconn. analyseconn asks DNS through the calling
// thread's resolver (a RecordMemo when the caller wants the record's
// independent questions in flight together) and fills the DNS columns;
// it returns the verdict that writeconn needs. A record analysed past its
// deadline gets the columns of a DNS failure. writeconn writes the line.
int analyseconn(ConnectionRecord* r);
void writeconn(ConnectionRecord* r, int verdict);
