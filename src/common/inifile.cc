#include "common/inifile.h"

#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "base/text.h"
#include "base/textbuf.h"

namespace {
char g_file[260 + 1];
char g_section[260 + 1];
std::string g_text;  // the file's content, read once when the file is set

// [b, e) trimmed of blanks (a line holds no line end).
void trim(const char*& b, const char*& e) {
  std::string_view t = trimblanks(std::string_view(b, (size_t)(e - b)));
  b = t.data();
  e = b + t.size();
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
  if (value[strspn(value, " \t\n\r\f\v")] == '\0') return def;
  TextNumber n = readnumber(value, true);
  // Wraps like a 32-bit integer reader would.
  uint32_t v32 = (uint32_t)n.magnitude;
  return (int32_t)(n.negative ? (uint32_t)(0u - v32) : v32);
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
