// The SPF evaluator's clock in the targets: time never moves. Apart from
// support.h, so that the targets below the core can use it too.
#pragma once
#include <cstdint>

inline int64_t fixedclock() { return 1700000000; }
