// PLACEHOLDER until the HELO classification lands.
#include "analysis/helo.h"
int checkhelo(ConnectionRecord*, int) { return 0; }
