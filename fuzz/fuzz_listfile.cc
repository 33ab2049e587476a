// The list-file reader on arbitrary file contents, written to one temporary
// file (reused by every run), against an independent reading of the same
// bytes: the reader takes at most 3,070 characters per read (a longer line
// continues with the next read), a read's text ends at its first NUL, line
// feed, carriage return, tab or blank, empty and "#" reads are skipped, and
// zones keep 259 characters.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "analysis/lists.h"
#include "support.h"

static char g_path[64];

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_path[0] == '\0') {
    quietsettings();
    snprintf(g_path, sizeof g_path, "/tmp/fuzz_listfile.%d.XXXXXX", (int)getpid());
    const int fd = mkstemp(g_path);
    if (fd < 0) __builtin_trap();
    close(fd);
    atexit([] { unlink(g_path); });
  }
  FILE* f = fopen(g_path, "wb");
  if (f == nullptr || (size && fwrite(data, 1, size, f) != size)) __builtin_trap();
  fclose(f);
  // No defaults: an empty file is "created" empty again and loads nothing.
  static const char* const kNoDefaults[] = {nullptr};
  ListEntry* list = loadlist(g_path, kNoDefaults);
  const ListEntry* e = list;
  uint32_t n = 0;
  for (size_t pos = 0, len; pos < size; pos += len) {
    for (len = 0; len < 3070 && pos + len < size;)
      if (data[pos + len++] == '\n') break;
    std::string piece(reinterpret_cast<const char*>(data) + pos, len);
    piece = piece.substr(0, piece.find_first_of(std::string("\n\r\t \0", 5))).substr(0, 259);
    if (piece.empty() || piece[0] == '#') continue;
    if (e == nullptr || e->number != ++n || memchr(e->zone, '\0', sizeof e->zone) == nullptr || piece != e->zone)
      __builtin_trap();
    e = e->next;
  }
  if (e != nullptr) __builtin_trap();
  freelist(list);
  return 0;
}
