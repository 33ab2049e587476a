// The command-line splitter on arbitrary text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
  if (argv == nullptr || count < 1) __builtin_trap();
  if (argv[count] != nullptr) __builtin_trap();
  // One block: the pointers, the null pointer, then the texts, which
  // together never need more than the command line's characters and a NUL.
  const char* texts = reinterpret_cast<const char*>(argv + count + 1);
  const char* limit = texts + len + 1;
  size_t total = 0;
  const char* next = texts;
  for (int i = 0; i < count; i++) {
    const char* a = argv[i];
    if (a != next || a >= limit) __builtin_trap();
    const void* nul = memchr(a, '\0', (size_t)(limit - a));
    if (nul == nullptr) __builtin_trap();
    size_t n = (size_t)(static_cast<const char*>(nul) - a);
    total += n + 1;
    next = a + n + 1;
  }
  if (total > len + 1) __builtin_trap();
  // Text without quotes or backslashes splits at runs of blanks; a blank
  // at the start leaves the program name empty.
  if (strpbrk(text.c_str(), "\"\\") == nullptr) {
    std::vector<std::string> want;
    if (text[0] == ' ' || text[0] == '\t') want.emplace_back();
    std::string word;
    for (size_t i = 0; i <= len; i++) {
      char c = text[i];
      if (c == ' ' || c == '\t' || c == '\0') {
        if (!word.empty()) want.push_back(word);
        word.clear();
      } else {
        word += c;
      }
    }
    if ((size_t)count != want.size()) __builtin_trap();
    for (int i = 0; i < count; i++)
      if (want[(size_t)i] != argv[i]) __builtin_trap();
  }
  free(argv);
  return 0;
}
