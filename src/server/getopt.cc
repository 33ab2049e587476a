#include "server/getopt.h"

#include <cstdio>
#include <cstring>

namespace opt {

const char* optarg = nullptr;
int optind = 1;
int opterr = 1;
int optopt = 0;

static int g_pos = 0;  // position inside the current option group

void getoptreset() {
  optarg = nullptr;
  optind = 1;
  opterr = 1;
  optopt = 0;
  g_pos = 0;
}

int getopt(int argc, char* const* argv, const char* optstring, const LongName* longnames) {
  optarg = nullptr;
  if (g_pos == 0) {
    if (optind >= argc || argv[optind] == nullptr) return -1;
    const char* w = argv[optind];
    if ((w[0] != '-' && w[0] != '/') || w[1] == '\0') return -1;
    if (strcmp(w, "--") == 0) {
      optind++;
      return -1;
    }
    if (w[0] == '-' && w[1] == '-') {
      optind++;
      for (const LongName* l = longnames; l != nullptr && l->name != nullptr; l++) {
        if (strcmp(w + 2, l->name) == 0) return optopt = (unsigned char)l->letter;
      }
      optopt = '-';
      if (opterr) fprintf(stderr, "%s: illegal option -- %s\n", argv[0], w + 2);
      return '?';
    }
    g_pos = 1;
  }
  const char* word = argv[optind];
  char c = word[g_pos++];
  const char* spec = c != ':' ? strchr(optstring, c) : nullptr;
  optopt = (unsigned char)c;
  if (spec == nullptr) {
    if (opterr) fprintf(stderr, "%s: illegal option -- %c\n", argv[0], c);
    if (word[g_pos] == '\0') {
      optind++;
      g_pos = 0;
    }
    return '?';
  }
  if (spec[1] == ':') {
    if (word[g_pos] != '\0') {
      optarg = word + g_pos;
      optind++;
    } else if (optind + 1 < argc) {
      optarg = argv[optind + 1];
      optind += 2;
    } else {
      if (opterr) fprintf(stderr, "%s: option requires an argument -- %c\n", argv[0], c);
      optind++;
      g_pos = 0;
      return '?';
    }
    g_pos = 0;
    return c;
  }
  if (word[g_pos] == '\0') {
    optind++;
    g_pos = 0;
  }
  return c;
}

}  // namespace opt
