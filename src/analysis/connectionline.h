// The connection log line.
#pragma once
#include "common/record.h"

constexpr int kLineSize = 9216;

// Builds the connection line (no line break) into out (kLineSize bytes).
void connectionline(char* out, const char* datetime, const ConnectionRecord* r);
