// PLACEHOLDER until the origin lookups land.
#include "analysis/origin.h"
int NSquery(char* dst, size_t dstlen, const char*, int, int) {
  if (dstlen) dst[0] = '\0';
  return 0;
}
int findzone(const char*, char* dst, size_t dstlen) {
  if (dstlen) dst[0] = '\0';
  return 0;
}
void getorigin(ConnectionRecord*) {}
void setcidr(char*, size_t, const char*, int) {}
