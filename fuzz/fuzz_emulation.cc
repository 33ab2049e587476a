// The SMTP emulation driven through the session state machine: the fuzzer
// input is cut at NUL bytes into segments, each reaching the session as one
// write of the client, so the fuzzer picks where lines are split and which
// go together. A segment that ends lines gets its replies before the next
// goes out; a segment of exactly one line after whole lines is checked as
// one input. Only the client's end of the connection and the record count.
#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support.h"
#include "platform/net.h"
#include "base/textbuf.h"
#include "smtp/commands.h"
#include "smtp/reply.h"
#include "smtp/session.h"

namespace {

constexpr int kMaxTurns = 100;
SessionLoop* g_loop = nullptr;
ConnectionRecord* g_done = nullptr;

// Turns the loop (when `await`, until the client has something to read or
// the session ended), then until nothing more comes; *eof: the server closed.
std::string receive(SocketHandle peer, bool await, bool* eof) {
  for (int i = 0; await && i < kMaxTurns && g_done == nullptr && plat::waitreadable(peer, 0) <= 0; i++)
    loopturn(g_loop, 10);
  std::string got;
  char buf[8192];
  for (int quiet = 0; quiet < 2 && !*eof; quiet++) {
    loopturn(g_loop, 0);
    for (long n; !*eof && plat::waitreadable(peer, 0) > 0; quiet = -1, *eof = n <= 0)
      if ((n = plat::recvsocket(peer, buf, sizeof buf)) > 0) got.append(buf, (size_t)n);
  }
  return got;
}

// Texts terminated; arguments cut at the first CR, LF, tab and space.
void checkrecord(const ConnectionRecord& r) {
  checkterminated(r);
  for (const char* arg : {r.helo, r.auth_data, r.mail_from, r.rcpt_to})
    if (strpbrk(arg, "\r\n\t ") != nullptr) __builtin_trap();
  if (strpbrk(r.last_error, "\r\n") != nullptr) __builtin_trap();
  if (r.auth_done > 1 || r.rset_seen > 1 || (uint32_t)r.quit_seen > 1) __builtin_trap();
}

// What one answered line may do to the record: a refusal (any 5xx, a 4xx
// other than DATA's) is the last error; counters grow by at most one step
// (errors by two: MAIL without HELO and a refused address) and stay within
// their limits; quit_seen is set exactly by a handler's closing reply.
void checkanswer(const ConnectionRecord& before, const ConnectionRecord& r, const std::string& input,
                 std::string reply, bool closing, unsigned inputs) {
  if (reply.size() < 5 || reply.compare(reply.size() - 2, 2, "\r\n") != 0 || reply[0] < '2' || reply[0] > '5')
    __builtin_trap();
  if (reply.compare(0, 16, "250-HELO/EHLO Co") == 0) reply.erase(0, reply.find("\r\n") + 2);  // MAIL's notice
  const size_t eol = reply.find("\r\n");
  if (eol == std::string::npos || eol == 0 || eol > kDialogTextCap) __builtin_trap();
  reply.erase(eol);
  const bool limited = before.error_count >= kMaxErrors || inputs > kMaxDialogueInputs;
  const bool refusal = reply[0] == '5' || (reply[0] == '4' && strncasecmp(input.c_str(), "DATA", 4) != 0);
  if (!limited && refusal && reply.compare(0, kTextCap, r.last_error) != 0) __builtin_trap();
  if (r.error_count < before.error_count || r.error_count > before.error_count + 2 ||
      r.vrfy_count < before.vrfy_count || r.vrfy_count > before.vrfy_count + 1 ||
      r.noop_count < before.noop_count || r.noop_count > before.noop_count + 1 ||
      r.rcpt_count > before.rcpt_count + 1)
    __builtin_trap();
  // Only a new transaction (MAIL) takes the recipient count back, to 0.
  if (r.rcpt_count < before.rcpt_count && !(strncasecmp(input.c_str(), "MAIL FROM:", 10) == 0 && r.rcpt_count == 0))
    __builtin_trap();
  if (r.error_count > kMaxErrors + 1 || r.vrfy_count > kMaxVerify || r.noop_count > kMaxNoop) __builtin_trap();
  if (limited) {  // the limits close without touching the record, but for the input's count and signals
    ConnectionRecord a = before, b = r;
    a.signals = b.signals = a.inputs = b.inputs = 0;
    if (!closing || memcmp(&a, &b, sizeof r) != 0) __builtin_trap();
  } else if (closing != (r.quit_seen == 1)) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_loop == nullptr) {
    quietsettings();
    settings.TarpitTime = 0;
    settings.RxTimeOut = 600000;  // no timer falls due within a run
    settings.FakeSmtp = 1;
    g_loop = loopcreate([](ConnectionRecord* r, void*) { g_done = r; }, nullptr);
    if (g_loop == nullptr) __builtin_trap();
  }
  SocketHandle pair[2];
  if (plat::socketpair(pair) != 1) __builtin_trap();
  ConnectionRecord* r = (ConnectionRecord*)calloc(1, sizeof(ConnectionRecord));
  r->sock = pair[0];
  textcopy(r->thread_tag, "[1]");
  textcopy(r->client_ip, "192.0.2.1");
  g_done = nullptr;
  if (loopstart(g_loop, r) != 1) __builtin_trap();
  bool eof = false;
  if (receive(pair[1], true, &eof).compare(0, 4, "220 ") != 0 || eof) __builtin_trap();

  const char *p = reinterpret_cast<const char*>(data), *end = p + size;
  unsigned inputs = 0;
  bool linestart = true;  // everything sent so far ends with a line end
  while (p < end && !eof) {
    const char* nul = static_cast<const char*>(memchr(p, '\0', (size_t)(end - p)));
    const size_t len = (size_t)((nul ? nul : end) - p);
    std::string segment(p, std::min(len, (size_t)kLineBufferSize - 1));  // the most one read takes
    p += len + 1;
    if (segment.empty()) continue;
    ConnectionRecord before = *r;
    if (plat::sendsocket(pair[1], segment.data(), segment.size()) != (long)segment.size()) __builtin_trap();
    const size_t lines = (size_t)std::count(segment.begin(), segment.end(), '\n');
    inputs += (unsigned)lines;
    std::string sent = receive(pair[1], lines > 0, &eof);
    checkrecord(*r);
    // The client never goes away, so every line is answered.
    if (lines > 0 && sent.empty() && !eof) __builtin_trap();
    if (linestart && lines == 1 && segment.back() == '\n' && segment.size() <= 1000)
      checkanswer(before, *r, segment, sent, eof, inputs);
    linestart = segment.back() == '\n';
  }
  // The client hangs up; the session closes and hands its record back.
  plat::closesocket(pair[1]);
  for (int i = 0; i < kMaxTurns && g_done == nullptr; i++) loopturn(g_loop, 10);
  if (g_done != r || loopcount(g_loop) != 0) __builtin_trap();
  checkrecord(*r);
  free(r);
  return 0;
}
