// The list-file reader on arbitrary file contents. The input is written to
// one temporary file (reused by every run), loaded, and the chain compared
// with an independent reading of the same bytes: the reader takes at most
// 3,070 characters per read (a longer line continues with the next read),
// a read's text ends at its first NUL, line feed, carriage return, tab or
// blank, empty and "#" reads are skipped, zones keep 259 characters.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "analysis/lists.h"
#include "support.h"

namespace {

constexpr size_t kReadChars = 3070;
constexpr size_t kZoneChars = 259;

std::vector<std::string> expected(const uint8_t* data, size_t size) {
  std::vector<std::string> zones;
  size_t pos = 0;
  while (pos < size) {
    size_t n = 0;
    while (n < kReadChars && pos + n < size) {
      if (data[pos + n++] == '\n') break;
    }
    std::string piece(reinterpret_cast<const char*>(data) + pos, n);
    pos += n;
    piece = piece.substr(0, piece.find_first_of(std::string("\n\r\t \0", 5)));
    if (piece.empty() || piece[0] == '#') continue;
    zones.push_back(piece.substr(0, kZoneChars));
  }
  return zones;
}

char g_path[64];

void removefile() { unlink(g_path); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_path[0] == '\0') {
    quietsettings();
    snprintf(g_path, sizeof g_path, "/tmp/fuzz_listfile.%d.XXXXXX", (int)getpid());
    int fd = mkstemp(g_path);
    if (fd < 0) __builtin_trap();
    close(fd);
    atexit(removefile);
  }
  FILE* f = fopen(g_path, "wb");
  if (f == nullptr) __builtin_trap();
  if (size && fwrite(data, 1, size, f) != size) __builtin_trap();
  fclose(f);

  // No defaults: an empty file is "created" empty again and loads nothing.
  static const char* const kNoDefaults[] = {nullptr};
  ListEntry* list = loadlist(g_path, kNoDefaults);
  std::vector<std::string> want = expected(data, size);

  uint32_t n = 0;
  for (const ListEntry* e = list; e; e = e->next) {
    if (e->number != ++n) __builtin_trap();
    if (memchr(e->zone, '\0', sizeof e->zone) == nullptr) __builtin_trap();
    if (n > want.size() || want[n - 1] != e->zone) __builtin_trap();
  }
  if (n != want.size()) __builtin_trap();
  freelist(list);
  return 0;
}
