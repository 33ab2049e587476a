#include "platform/resolver.h"

namespace dns {

Resolver* systemresolver();
int systemavailable();

static Resolver* g_resolver = nullptr;

Resolver& resolver() { return g_resolver ? *g_resolver : *systemresolver(); }

void setresolver(Resolver* r) { g_resolver = r; }

int available() { return g_resolver ? 1 : systemavailable(); }

}  // namespace dns
