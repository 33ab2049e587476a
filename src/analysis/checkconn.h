// Per-connection analysis, run on the logger thread.
#pragma once
#include <cstdint>

#include "server/record.h"

// 1 for 10/8, 127/8, 169.254/16, 192.168/16 and 172.16/12 (host order).
int isprivate(uint32_t addr_host);
// Analyses a finished record, writes its connection line and echoes it at
// level 6. The record is not freed here.
void checkconn(ConnectionRecord* r);
// SPF verdict word for the record's client, sender and HELO into spf_result.
void getspf(ConnectionRecord* r);
