#include "server/inifile.h"

#include <strings.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/textbuf.h"

namespace {
char g_file[260 + 1];
char g_section[260 + 1];
std::string g_text;  // the file's content, read once when the file is set

bool isblank_(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// [b, e) trimmed of blanks.
void trim(const char*& b, const char*& e) {
  while (b < e && isblank_(*b)) b++;
  while (e > b && isblank_(e[-1])) e--;
}

bool equalsnocase(const char* b, const char* e, const char* s) {
  size_t n = (size_t)(e - b);
  return strlen(s) == n && strncasecmp(b, s, n) == 0;
}

// The next line of [p, end) as [b, e), trimmed; p moves past its line end:
// LF, CR LF or a lone CR. A UTF-8 byte order mark before the first line is
// not part of it.
void nextline(const char* text, const char*& p, const char* end, const char*& b, const char*& e) {
  if (p == text && end - p >= 3 && memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
  const char* eol = p;
  while (eol < end && *eol != '\n' && *eol != '\r') eol++;
  b = p;
  e = eol;
  p = eol;
  if (p < end && *p == '\r') p++;
  if (p < end && *p == '\n' && (p == eol || p[-1] == '\r')) p++;
  trim(b, e);
}

// Reads the whole settings file; empty when it cannot be read.
std::string readfile(const char* path) {
  std::string text;
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0 && text.size() < (1u << 20)) text.append(buf, n);
  fclose(f);
  return text;
}
}  // namespace

int inilookup(const char* text, size_t len, const char* section, const char* key, char* value,
              size_t size) {
  const char* p = text;
  const char* end = text + len;
  bool insection = false;
  while (p < end) {
    const char* b;
    const char* e;
    nextline(text, p, end, b, e);
    if (b == e || *b == ';' || *b == '#') continue;
    if (*b == '[') {
      const char* close = (const char*)memchr(b, ']', (size_t)(e - b));
      if (close == nullptr) continue;
      const char* sb = b + 1;
      const char* se = close;
      trim(sb, se);
      insection = equalsnocase(sb, se, section);
      continue;
    }
    if (!insection) continue;
    const char* eq = (const char*)memchr(b, '=', (size_t)(e - b));
    if (eq == nullptr) continue;
    const char* kb = b;
    const char* ke = eq;
    trim(kb, ke);
    if (!equalsnocase(kb, ke, key)) continue;
    const char* vb = eq + 1;
    const char* ve = e;
    trim(vb, ve);
    if (ve - vb >= 2 && *vb == '"' && ve[-1] == '"') {
      vb++;
      ve--;
    }
    if (size > 0) {
      size_t n = (size_t)(ve - vb);
      if (n > size - 1) n = size - 1;
      memcpy(value, vb, n);
      value[n] = '\0';
      // A NUL inside the value ends it, as in any C text.
    }
    return 1;
  }
  return 0;
}

int inibadline(const char* text, size_t len, int* count) {
  const char* p = text;
  const char* end = text + len;
  int line = 0, first = 0;
  *count = 0;
  while (p < end) {
    const char* b;
    const char* e;
    nextline(text, p, end, b, e);
    line++;
    if (b == e || *b == ';' || *b == '#') continue;
    bool ok = *b == '[' ? memchr(b, ']', (size_t)(e - b)) != nullptr
                        : memchr(b, '=', (size_t)(e - b)) != nullptr;
    if (ok) continue;
    if (first == 0) first = line;
    (*count)++;
  }
  return first;
}

long iniparseint(const char* value, long def) {
  const char* s = value;
  while (*s == ' ' || *s == '\t') s++;
  if (*s == '\0') return def;
  bool neg = false;
  if (*s == '+' || *s == '-') {
    neg = *s == '-';
    s++;
  }
  unsigned long v = 0;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s += 2;
    while (isxdigit((unsigned char)*s)) {
      int d = isdigit((unsigned char)*s) ? *s - '0' : (tolower((unsigned char)*s) - 'a' + 10);
      v = v * 16 + (unsigned long)d;
      s++;
    }
  } else {
    while (isdigit((unsigned char)*s)) {
      v = v * 10 + (unsigned long)(*s - '0');
      s++;
    }
  }
  // Wraps like a 32-bit integer reader would.
  uint32_t v32 = (uint32_t)v;
  int32_t r = (int32_t)(neg ? (uint32_t)(0u - v32) : v32);
  return r;
}

int inisetfile(const char* path, int* count) {
  textcopy(g_file, path, 260);
  g_text = readfile(g_file);
  return inibadline(g_text.data(), g_text.size(), count);
}
void inisetsection(const char* name) { textcopy(g_section, name, 260); }

int inigetstr(const char* key, const char* def, char* buffer, size_t size) {
  if (g_file[0] == '\0' || g_section[0] == '\0' || size == 0) return 0;
  if (!inilookup(g_text.data(), g_text.size(), g_section, key, buffer, size))
    textcopy(buffer, size, def ? def : "");
  return (int)strlen(buffer);
}

long inigetint(const char* key, long def) {
  if (g_file[0] == '\0' || g_section[0] == '\0') return def;
  char value[64];
  if (!inilookup(g_text.data(), g_text.size(), g_section, key, value, sizeof value)) return def;
  return iniparseint(value, def);
}
