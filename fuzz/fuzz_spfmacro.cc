// SPF macro expansion of arbitrary macro text with a fixed context, in
// domain mode (into a 256-byte buffer and onto the heap) and in explanation
// mode. The first byte picks the client (bit 0: IPv6) and whether the
// caller knows the client's name (bit 1); the rest is the macro text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fakes/fake_resolver.h"
#include "spf/spf_internal.h"
#include "spf/wrenspf.h"
#include "clock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  g_spf_clock = fixedclock;
  // The "p" letter asks for the client's name: a PTR record and the
  // address that confirms it.
  FakeResolver fake;
  fake.ptr("1.2.0.192.in-addr.arpa", "mail.sub.example.com");
  fake.a("mail.sub.example.com", 192, 0, 2, 1);
  SpfContext ctx;
  ctx.ipv6 = data[0] & 1;
  SpfParseAddress(ctx.ipv6 ? "2001:db8::1" : "192.0.2.1", ctx.ipv6 ? SPF_FAMILY_IPV6 : SPF_FAMILY_IPV4, ctx.addr);
  ctx.localpart = "strong-bad";
  ctx.domain = "example.com";
  ctx.helo = "mail.example.com";
  ctx.clientname = (data[0] & 2) ? "client.example.com" : nullptr;
  ctx.checktime = fixedclock();

  // A private copy of exactly the text's length (it has no terminator) lets
  // the address sanitizer catch any read past its end.
  const size_t in = size - 1;
  char* copy = static_cast<char*>(malloc(in ? in : 1));
  memcpy(copy, data + 1, in);
  const char* cur = "sub.example.com";
  char *expl = nullptr, *heap = nullptr, buf[257], *bufp = buf;
  memset(buf, 'Z', sizeof buf);
  const int rce = SpfExpandMacros(&ctx, copy, copy + in, cur, &expl, 0);
  const int rch = SpfExpandMacros(&ctx, copy, copy + in, cur, &heap, 1);
  const int rcb = SpfExpandMacros(&ctx, copy, copy + in, cur, &bufp, 1);
  for (int rc : {rce, rch, rcb})
    if (rc != -1 && rc != 5 && rc != 6) __builtin_trap();
  // The output is set on success only and a given buffer stays put; domain
  // mode allows fewer letters ("c", "r", "t" are refused); heap and buffer
  // agree, and nothing is written past the buffer's 256 bytes.
  if ((rce == -1) != (expl != nullptr) || (rch == -1) != (heap != nullptr) || bufp != buf) __builtin_trap();
  if (rch != rcb || (rch == -1 && rce != -1) || buf[256] != 'Z') __builtin_trap();
  if (rch == -1) {
    if (memchr(buf, '\0', 256) == nullptr || strcmp(buf, heap) != 0 || strlen(heap) >= 256) __builtin_trap();
    // A short result is the explanation-mode text less one trailing dot.
    std::string want(expl);
    if (!want.empty() && want.back() == '.') want.pop_back();
    if (strlen(expl) < 256 && want != heap) __builtin_trap();
  }
  // A macro character costs at most a 256-character sender, each escaped to three.
  if (rce == -1 && strlen(expl) > in * 3 * 256 + 1) __builtin_trap();
  free(expl);
  free(heap);
  free(copy);
  return 0;
}
