#include "platform/resolver.h"

namespace dns {

Resolver* systemresolver();

static Resolver* g_resolver = nullptr;

Resolver& resolver() { return g_resolver ? *g_resolver : *systemresolver(); }

void setresolver(Resolver* r) { g_resolver = r; }

}  // namespace dns
