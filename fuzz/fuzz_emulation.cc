// The SMTP emulation driven through the session state machine: the fuzzer
// input is cut at NUL bytes into segments, and each segment reaches the
// session as one write of the client on its connection, so the fuzzer picks
// where lines are split and which go together. The replies to a segment
// that ends lines are awaited before the next goes out. A segment that is
// exactly one line after whole lines is checked as one input. Only the
// client's end of the connection and the record are looked at.
#include <strings.h>

#include <algorithm>
#include <cstddef>
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

// The session reads at most this many bytes at once.
constexpr size_t kMaxSegment = kLineBufferSize - 1;
constexpr int kMaxTurns = 100;

SessionLoop* g_loop = nullptr;
ConnectionRecord* g_done = nullptr;

void ondone(ConnectionRecord* r, void*) { g_done = r; }

void setup() {
  quietsettings();
  settings.TarpitTime = 0;
  settings.RxTimeOut = 600000;  // no timer falls due within a run
  settings.FakeSmtp = 1;
  g_loop = loopcreate(ondone, nullptr);
  if (g_loop == nullptr) __builtin_trap();
}

// Turns the loop (when `await`, until the client has something to read or
// the session ended) and then until nothing more comes; returns what came.
// *eof is set when the server closed.
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

// Arguments are cut at the first CR, LF, tab and space.
template <size_t N>
void checkargument(const char (&field)[N]) {
  checktext(field);
  if (strpbrk(field, "\r\n\t ") != nullptr) __builtin_trap();
}

void checkrecord(const ConnectionRecord& r) {
  checkterminated(r);
  checkargument(r.helo);
  checkargument(r.auth_data);
  checkargument(r.mail_from);
  checkargument(r.rcpt_to);
  if (strpbrk(r.last_error, "\r\n") != nullptr) __builtin_trap();
  if (r.auth_done > 1 || r.rset_seen > 1 || (uint32_t)r.quit_seen > 1) __builtin_trap();
}

// What one answered segment may do to the record and the reply.
void checkanswer(const ConnectionRecord& before, const ConnectionRecord& r,
                 const std::string& input, const std::string& sent, bool closing,
                 unsigned inputs) {
  if (sent.size() < 5 || sent.compare(sent.size() - 2, 2, "\r\n") != 0) __builtin_trap();
  if (sent[0] < '2' || sent[0] > '5') __builtin_trap();
  // A refusal (any 5xx, a 4xx other than DATA's) is the last error, cut
  // to its first line and the field; MAIL's early notice comes first.
  std::string reply = sent;
  if (reply.compare(0, 16, "250-HELO/EHLO Co") == 0) reply.erase(0, reply.find("\r\n") + 2);
  const size_t eol = reply.find("\r\n");
  if (eol == std::string::npos || eol == 0) __builtin_trap();
  reply.erase(eol);
  if (reply.size() > kDialogTextCap) __builtin_trap();
  const bool data = strncasecmp(input.c_str(), "DATA", 4) == 0;
  const bool limited = before.error_count >= kMaxErrors || inputs > kMaxDialogueInputs;
  if (!limited && (reply[0] == '5' || (reply[0] == '4' && !data)) &&
      reply.compare(0, kTextCap, r.last_error) != 0)
    __builtin_trap();

  // Counters only grow, by at most one step per input (an error may come
  // twice: MAIL without HELO and a refused address).
  if (r.error_count < before.error_count || r.error_count > before.error_count + 2) __builtin_trap();
  if (r.vrfy_count < before.vrfy_count || r.vrfy_count > before.vrfy_count + 1) __builtin_trap();
  if (r.noop_count < before.noop_count || r.noop_count > before.noop_count + 1) __builtin_trap();
  if (r.rcpt_count > before.rcpt_count + 1) __builtin_trap();
  // Only a new transaction (MAIL) takes the recipient count back, to 0.
  const bool mail = strncasecmp(input.c_str(), "MAIL FROM:", 10) == 0;
  if (r.rcpt_count < before.rcpt_count && !(mail && r.rcpt_count == 0)) __builtin_trap();
  // The limits close the session before a counter passes them.
  if (r.error_count > kMaxErrors + 1 || r.vrfy_count > kMaxVerify || r.noop_count > kMaxNoop)
    __builtin_trap();
  // quit_seen is set exactly by a handler's closing reply; the error and
  // dialogue limits close without it.
  if (limited) {
    ConnectionRecord a = before, b = r;
    a.signals = b.signals = a.inputs = b.inputs = 0;  // the input is still counted and noted
    if (!closing || memcmp(&a, &b, sizeof r) != 0) __builtin_trap();
  } else if (closing != (r.quit_seen == 1)) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_loop == nullptr) setup();
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

  const char* p = reinterpret_cast<const char*>(data);
  const char* end = p + size;
  unsigned inputs = 0;
  bool linestart = true;  // everything sent so far ends with a line end
  while (p < end && !eof) {
    const char* nul = static_cast<const char*>(memchr(p, '\0', (size_t)(end - p)));
    size_t len = (size_t)((nul ? nul : end) - p);
    std::string segment(p, len < kMaxSegment ? len : kMaxSegment);
    p += len + 1;
    if (segment.empty()) continue;  // nothing goes over the connection

    ConnectionRecord before;
    memcpy(&before, r, sizeof *r);
    if (plat::sendsocket(pair[1], segment.data(), segment.size()) != (long)segment.size())
      __builtin_trap();
    const size_t lines = (size_t)std::count(segment.begin(), segment.end(), '\n');
    inputs += (unsigned)lines;
    std::string sent = receive(pair[1], lines > 0, &eof);
    checkrecord(*r);
    // The client never goes away, so every line is answered in full; after
    // a closing reply the server ends its side.
    if (lines > 0 && sent.empty() && !eof) __builtin_trap();
    if (linestart && lines == 1 && segment.back() == '\n' && segment.size() <= 1000)
      checkanswer(before, *r, segment.c_str(), sent, eof, inputs);
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
