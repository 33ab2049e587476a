#include "base/textbuf.h"

#include <cstdio>
#include <cstring>

size_t textcopy(char* dst, size_t dstsize, const char* src, size_t maxchars) {
  if (dstsize == 0) return 0;
  size_t n = 0;
  if (src != nullptr) {
    size_t limit = dstsize - 1;
    if (maxchars < limit) limit = maxchars;
    while (n < limit && src[n] != '\0') n++;
    memmove(dst, src, n);
  }
  dst[n] = '\0';
  return n;
}

size_t textvformat(char* dst, size_t dstsize, const char* fmt, va_list ap) {
  if (dstsize == 0) return 0;
  int r = vsnprintf(dst, dstsize, fmt, ap);
  if (r < 0) {
    dst[0] = '\0';
    return 0;
  }
  return (size_t)r < dstsize ? (size_t)r : dstsize - 1;
}

size_t textformat(char* dst, size_t dstsize, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  size_t n = textvformat(dst, dstsize, fmt, ap);
  va_end(ap);
  return n;
}

size_t textappend(char* dst, size_t dstsize, const char* src, size_t maxchars) {
  if (dstsize == 0) return 0;
  size_t len = strnlen(dst, dstsize - 1);
  return len + textcopy(dst + len, dstsize - len, src, maxchars);
}

void textcut(char* text, const char* stops) {
  text[strcspn(text, stops)] = '\0';
}

void textreplace(char* text, char from, char to) {
  for (; *text; ++text)
    if (*text == from) *text = to;
}
