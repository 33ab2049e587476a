// wrenspf: a self-contained SPF (version 1) evaluator with local policies.
// PLACEHOLDER interface; the evaluator module replaces this file.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int SPF_FAMILY_IPV4 = 2;

int SpfInit(int reserved1, int reserved2, int flags);
int SpfSetLocalHost(const char* name);
int SpfSetBestGuess(const char* bestguess, const char* fallback);
int SpfSetWhitelist(const char* record);
const char* SpfParseAddress(const char* text, int family, void* out);
int SpfCheckHost(int family, const void* address, const char* sender, const char* record,
                 const char* helo, const char* clientname, char** explanation);
const char* SpfResultText(int code);
void SpfCleanup();
