// PLACEHOLDER until the SPF evaluator lands.
#include "analysis/checkconn.h"
void getspf(ConnectionRecord*) {}
