// PLACEHOLDER until the evaluator lands.
#include "spf/wrenspf.h"

int SpfInit(int, int, int) { return 0; }
int SpfSetLocalHost(const char*) { return 0; }
int SpfSetBestGuess(const char*, const char*) { return 0; }
int SpfSetWhitelist(const char*) { return 0; }
const char* SpfParseAddress(const char*, int, void*) { return nullptr; }
int SpfCheckHost(int, const void*, const char*, const char*, const char*, const char*, char**) { return 4; }
const char* SpfResultText(int) { return "None"; }
void SpfCleanup() {}
