// SPF macro expansion of arbitrary macro text with a fixed context, in
// domain mode (into a 256-byte buffer and onto the heap) and in explanation
// mode. The first byte picks the client (bit 0: IPv6) and whether the
// caller knows the client's name (bit 1); the rest is the macro text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fakes/fake_resolver.h"
#include "spf/spf_internal.h"
#include "clock.h"

namespace {

constexpr size_t kDomainBuf = 256;

// The longest output a character of macro text can cost: a "%{S}" of
// four characters writes the sender (at most 256 characters, each escaped
// to three); a name part of "p" is at most 255 characters, escaped to
// three, and so on. 3 * 256 per input character bounds every case.
constexpr size_t kPerCharacter = 3 * 256;

// Expands in explanation mode (heap), domain mode onto the heap and domain
// mode into a buffer; checks each result and that the three agree.
void expand(SpfContext* ctx, const char* begin, const char* end) {
  const char* cur = "sub.example.com";
  const size_t in = (size_t)(end - begin);

  char* expl = nullptr;
  int rce = SpfExpandMacros(ctx, begin, end, cur, &expl, 0);
  char* heap = nullptr;
  int rch = SpfExpandMacros(ctx, begin, end, cur, &heap, 1);
  char buf[kDomainBuf + 1];
  memset(buf, 'Z', sizeof buf);
  char* bufp = buf;
  int rcb = SpfExpandMacros(ctx, begin, end, cur, &bufp, 1);

  for (int rc : {rce, rch, rcb})
    if (rc != -1 && rc != 5 && rc != 6) __builtin_trap();
  // The output pointer is set on success only; a given buffer stays put.
  if ((rce == -1) != (expl != nullptr) || (rch == -1) != (heap != nullptr) || bufp != buf) __builtin_trap();
  // Domain mode allows fewer letters ("c", "r", "t" are refused).
  if (rch != rcb || (rch == -1 && rce != -1)) __builtin_trap();
  if (buf[kDomainBuf] != 'Z') __builtin_trap();

  if (rcb == -1) {
    if (memchr(buf, '\0', kDomainBuf) == nullptr) __builtin_trap();
    if (strcmp(buf, heap) != 0) __builtin_trap();
  }
  if (rch == -1) {
    size_t n = strlen(heap);
    if (n >= kDomainBuf) __builtin_trap();
    // A short result is the explanation-mode text less one trailing dot.
    size_t en = strlen(expl);
    if (en < kDomainBuf) {
      std::string want(expl);
      if (!want.empty() && want.back() == '.') want.pop_back();
      if (want != heap) __builtin_trap();
    }
  }
  if (rce == -1 && strlen(expl) > in * kPerCharacter + 1) __builtin_trap();
  free(expl);
  free(heap);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  g_spf_clock = fixedclock;
  // The "p" letter asks for the client's name: a PTR record and the
  // address that confirms it.
  FakeResolver fake;
  fake.ptr("1.2.0.192.in-addr.arpa", "mail.sub.example.com");
  fake.a("mail.sub.example.com", 192, 0, 2, 1);

  SpfContext ctx;
  if (data[0] & 1) {
    static const uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    memcpy(ctx.addr, v6, 16);
    ctx.ipv6 = 1;
  } else {
    static const uint8_t v4[4] = {192, 0, 2, 1};
    memcpy(ctx.addr, v4, 4);
  }
  ctx.localpart = "strong-bad";
  ctx.domain = "example.com";
  ctx.helo = "mail.example.com";
  ctx.clientname = (data[0] & 2) ? "client.example.com" : nullptr;
  ctx.checktime = fixedclock();

  // The text is a range without a terminator: a private copy of exactly
  // its length lets the address sanitizer catch any read past its end.
  const size_t len = size - 1;
  char* copy = static_cast<char*>(malloc(len ? len : 1));
  memcpy(copy, data + 1, len);
  expand(&ctx, copy, copy + len);
  free(copy);
  return 0;
}
