#include "platform/systemlog.h"

#include <cstdio>
#include <cstring>

namespace plat {

bool systemlogvalid(const char* where) {
  return where[0] == '\0' || strcmp(where, "0") == 0 || strcmp(where, "1") == 0 || where[0] == '/';
}

namespace {

// Private enterprise number of the structured-data element's name; RFC 5612
// reserves 32473 for examples and documentation, which is what a program
// without a number of its own may use.
constexpr const char* kSdId = "nestrap@32473";
// Facility daemon (3), severity informational (6).
constexpr int kPriority = 3 * 8 + 6;

// Header fields are printable ASCII without blanks; '-' stands for none.
void headerfield(std::string* out, const char* s, size_t cap) {
  size_t start = out->size();
  for (; *s && out->size() - start < cap; s++)
    if (*s > 32 && *s < 127) *out += *s;
  if (out->size() == start) *out += '-';
}

}  // namespace

std::string syslogformat(const char* stamp, const char* host, long pid, const char* message,
                         const LogField* fields, size_t count) {
  std::string out;
  char head[64];
  snprintf(head, sizeof head, "<%d>1 ", kPriority);
  out += head;
  headerfield(&out, stamp, 32);
  out += ' ';
  headerfield(&out, host, 255);
  snprintf(head, sizeof head, " nestrap %ld conn [%s", pid, kSdId);
  out += head;
  for (size_t i = 0; i < count; i++) {
    const char* name = fields[i].name;
    if (strncmp(name, "NESTRAP_", 8) == 0) name += 8;
    out += ' ';
    if (name[0] == '\0') out += '_';
    for (size_t k = 0; name[k] && k < 32; k++) {
      char c = name[k];
      if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
      out += (c > 32 && c < 127 && c != '=' && c != ']' && c != '"') ? c : '_';
    }
    out += "=\"";
    for (const char* v = fields[i].value; *v; v++) {
      char c = *v;
      if (c == '"' || c == '\\' || c == ']') out += '\\';
      out += (c >= 32 && c < 127) ? c : '?';
    }
    out += '"';
  }
  out += "] ";
  for (const char* m = message; *m; m++) out += ((unsigned char)*m < 32 || *m == 127) ? ' ' : *m;
  return out;
}

}  // namespace plat
