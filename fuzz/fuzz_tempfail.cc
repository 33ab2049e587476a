// The tempfail session's first-line handling on arbitrary client bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "support.h"
#include "smtp/session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The session reads at most 4095 bytes into a zeroed 4096-byte buffer.
  char line[kLineBufferSize];
  memset(line, 0, sizeof line);
  memcpy(line, data, size < kLineBufferSize - 1 ? size : kLineBufferSize - 1);
  ConnectionRecord r;
  memset(&r, 0, sizeof r);
  memset(r.helo, 'Z', sizeof r.helo);
  r.helo[0] = '\0';
  ExtractHeloArgument(line, r.helo, sizeof r.helo);
  if (memchr(r.helo, '\0', sizeof r.helo) == nullptr) __builtin_trap();
  if (strchr(r.helo, '|') || strchr(r.helo, '\t') || strchr(r.helo, '\r')) __builtin_trap();
  return 0;
}
