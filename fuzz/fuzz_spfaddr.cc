// The SPF address parsers on arbitrary text, against the C library's
// reading and round-tripped through the address printer. The first byte
// picks the terminator the parsers are given (0, '/' or ']'); the rest is
// the text, also taken as a client's sender and HELO name for the domain a
// check reads first.
#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "spf/spf_internal.h"
#include "spf/wrenspf.h"

namespace {

template <bool kIPv6>
void check(const char* text, char term) {
  constexpr size_t kSize = kIPv6 ? 16 : 4;
  uint8_t out[kSize], again[kSize], ref[kSize];
  memset(out, 0xA5, kSize);
  const char* stop = kIPv6 ? SpfParseIPv6(text, out, term) : SpfParseIPv4(text, out, term);
  if (term == 0 && SpfParseAddress(text, kIPv6 ? SPF_FAMILY_IPV6 : SPF_FAMILY_IPV4, again) != stop) __builtin_trap();
  // Whatever the C library reads as an address, the parser reads the same.
  if (term == 0 && inet_pton(kIPv6 ? AF_INET6 : AF_INET, text, ref) == 1 &&
      (stop == nullptr || memcmp(ref, out, kSize) != 0))
    __builtin_trap();
  if (stop == nullptr) {  // a failed parse leaves the output alone
    for (uint8_t b : out)
      if (b != 0xA5) __builtin_trap();
    return;
  }
  // It stopped inside the text, after something, at a blank or the
  // terminator, and took only characters an address is made of.
  if (stop <= text || stop > text + strlen(text) || (*stop != '\0' && *stop != ' ' && *stop != term)) __builtin_trap();
  for (const char* p = text; p < stop; p++)
    if (strchr(kIPv6 ? "0123456789abcdefABCDEF:." : "0123456789.", *p) == nullptr) __builtin_trap();
  // The printed form parses back to the same bytes, in both notations for IPv6.
  char buf[kSpfAddrTextSize];
  const int n = SpfFormatAddress(kIPv6, out, buf, false);
  if (n < 2 || (size_t)n != strlen(buf)) __builtin_trap();
  if ((kIPv6 ? SpfParseIPv6(buf, again, 0) : SpfParseIPv4(buf, again, 0)) != buf + n || memcmp(again, out, kSize) != 0)
    __builtin_trap();
  if (kIPv6 && (SpfFormatAddress(true, out, buf, true) != 63 || strlen(buf) != 63)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const char kTerms[] = {0, '/', ']', 0};
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  check<false>(text.c_str(), kTerms[data[0] & 3]);
  check<true>(text.c_str(), kTerms[data[0] & 3]);
  // The domain comes out of the text, whole or as its tail after a '@'.
  char domain[256];
  const char* helo = (data[0] & 4) ? text.c_str() : "";
  SpfFirstDomain((data[0] & 8) ? "" : text.c_str(), helo, domain, sizeof domain);
  if (strlen(domain) >= sizeof domain || (domain[0] != '\0' && strstr(text.c_str(), domain) == nullptr))
    __builtin_trap();
  return 0;
}
