// The SPF address parsers on arbitrary text, round-tripped through the
// address printer. The first byte picks the terminator the parsers are
// given (0, '/' or ']'); the rest is the text.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "spf/spf_internal.h"
#include "spf/wrenspf.h"

namespace {

constexpr uint8_t kFill = 0xA5;

bool untouched(const uint8_t* out, size_t n) {
  for (size_t i = 0; i < n; i++)
    if (out[i] != kFill) return false;
  return true;
}

// The parser stopped inside the text, at a blank or the terminator, and
// took only characters an address is made of.
void checkstop(const char* text, const char* stop, char term, const char* alphabet) {
  if (stop < text || stop > text + strlen(text)) __builtin_trap();
  if (*stop != '\0' && *stop != ' ' && *stop != term) __builtin_trap();
  if (stop == text) __builtin_trap();
  for (const char* p = text; p < stop; p++)
    if (strchr(alphabet, *p) == nullptr) __builtin_trap();
}

void checkv4(const char* text, char term) {
  uint8_t out[4];
  memset(out, kFill, sizeof out);
  const char* stop = SpfParseIPv4(text, out, term);
  if (term == 0 && SpfParseAddress(text, SPF_FAMILY_IPV4, out) != stop) __builtin_trap();
  // Whatever the C library reads as an address, the parser reads the same.
  uint8_t ref[4];
  if (term == 0 && inet_pton(AF_INET, text, ref) == 1 && (stop == nullptr || memcmp(ref, out, 4) != 0))
    __builtin_trap();
  if (stop == nullptr) {
    if (!untouched(out, sizeof out)) __builtin_trap();
    return;
  }
  checkstop(text, stop, term, "0123456789.");
  char buf[kSpfAddrTextSize];
  int n = SpfFormatAddress(false, out, buf, false);
  if (n < 7 || n > 15 || (size_t)n != strlen(buf)) __builtin_trap();
  uint8_t again[4];
  if (SpfParseIPv4(buf, again, 0) != buf + n || memcmp(again, out, 4) != 0) __builtin_trap();
}

void checkv6(const char* text, char term) {
  uint8_t out[16];
  memset(out, kFill, sizeof out);
  const char* stop = SpfParseIPv6(text, out, term);
  if (term == 0 && SpfParseAddress(text, SPF_FAMILY_IPV6, out) != stop) __builtin_trap();
  uint8_t ref[16];
  if (term == 0 && inet_pton(AF_INET6, text, ref) == 1 && (stop == nullptr || memcmp(ref, out, 16) != 0))
    __builtin_trap();
  if (stop == nullptr) {
    if (!untouched(out, sizeof out)) __builtin_trap();
    return;
  }
  checkstop(text, stop, term, "0123456789abcdefABCDEF:.");

  // Compressed form: parses back to the same bytes.
  char buf[kSpfAddrTextSize];
  int n = SpfFormatAddress(true, out, buf, false);
  if (n < 2 || (size_t)n >= sizeof buf || (size_t)n != strlen(buf)) __builtin_trap();
  uint8_t again[16];
  if (SpfParseIPv6(buf, again, 0) != buf + n || memcmp(again, out, 16) != 0) __builtin_trap();
  if (inet_pton(AF_INET6, buf, ref) != 1 || memcmp(ref, out, 16) != 0) __builtin_trap();

  // Nibble form: 32 upper-case digits, most significant first, dotted.
  n = SpfFormatAddress(true, out, buf, true);
  if (n != 63 || strlen(buf) != 63) __builtin_trap();
  static const char kHex[] = "0123456789ABCDEF";
  for (int i = 0; i < 32; i++) {
    uint8_t nibble = (i % 2 == 0) ? out[i / 2] >> 4 : out[i / 2] & 15;
    if (buf[2 * i] != kHex[nibble]) __builtin_trap();
    if (i < 31 && buf[2 * i + 1] != '.') __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const char kTerms[] = {0, '/', ']', 0};
  const char term = kTerms[data[0] & 3];
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  checkv4(text.c_str(), term);
  checkv6(text.c_str(), term);
  return 0;
}
