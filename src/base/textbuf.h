// Bounded text helpers: the only way text is put into fixed-capacity fields.
#pragma once
#include <cstdarg>
#include <cstddef>

// Copies at most min(maxchars, dstsize - 1) characters of src into dst and
// always zero-terminates. A null src stores the empty text. Returns the
// number of characters stored. REQUIRES: dstsize >= 1.
size_t textcopy(char* dst, size_t dstsize, const char* src, size_t maxchars = (size_t)-1);

// printf-style formatting into a fixed buffer; output is cut, never overflows.
// Returns the number of characters stored.
size_t textformat(char* dst, size_t dstsize, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
size_t textvformat(char* dst, size_t dstsize, const char* fmt, va_list ap);

// Appends src to the zero-terminated text in dst, bounded by dstsize.
size_t textappend(char* dst, size_t dstsize, const char* src, size_t maxchars = (size_t)-1);

// Array forms: the capacity comes from the field itself.
template <size_t N>
inline size_t textcopy(char (&dst)[N], const char* src, size_t maxchars = (size_t)-1) {
  return textcopy(dst, N, src, maxchars);
}
template <size_t N>
inline size_t textappend(char (&dst)[N], const char* src, size_t maxchars = (size_t)-1) {
  return textappend(dst, N, src, maxchars);
}

// Cuts text at the first occurrence of any character of `stops`.
void textcut(char* text, const char* stops);
// Replaces every occurrence of `from` with `to`.
void textreplace(char* text, char from, char to);
