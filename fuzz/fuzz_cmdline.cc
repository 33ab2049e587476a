// The command-line splitter on arbitrary text (its rules: cmdline_cases.txt).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "service/service.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The text ends at its first NUL, as the command line would.
  std::string text(reinterpret_cast<const char*>(data), size);
  const size_t len = strlen(text.c_str());
  int count = -1;
  char** argv = cmdlinetoargv(text.c_str(), &count);
  if (len == 0) {
    if (argv != nullptr || count != -1) __builtin_trap();
    return 0;
  }
  if (argv == nullptr || count < 1 || argv[count] != nullptr) __builtin_trap();
  // One block: the pointers, the null pointer, then the texts one after
  // another, never more than the command line's characters and a NUL.
  const char* next = reinterpret_cast<const char*>(argv + count + 1);
  const char* limit = next + len + 1;
  for (int i = 0; i < count; i++) {
    if (argv[i] != next || memchr(next, '\0', (size_t)(limit - next)) == nullptr) __builtin_trap();
    next += strlen(next) + 1;
  }
  free(argv);
  return 0;
}
