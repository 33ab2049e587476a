// The SMTP emulation on a sequence of client inputs: the fuzzer input is
// split at NUL bytes (an input reaches EmulateSmtp zero-terminated, so it
// can never hold one) and every piece goes through EmulateSmtp on the same
// record, as the session would pass successive chunks. The record talks to
// one end of a socket pair; the other end is drained after every input.
#include <strings.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "record_check.h"
#include "platform/net.h"
#include "server/record.h"
#include "server/settings.h"
#include "server/textbuf.h"
#include "smtp/commands.h"
#include "smtp/emulate.h"

namespace {

// The session reads at most this many bytes into its zeroed line buffer.
constexpr size_t kMaxInput = 4095;

SocketHandle g_peer[2] = {kInvalidSocket, kInvalidSocket};

void setup() {
  setdefaults();
  settings.TarpitTime = 0;
  settings.LogLevel = -1;
  settings.LogPath[0] = '\0';
  if (plat::socketpair(g_peer) != 1) __builtin_trap();
}

// Reads and discards what the emulation sent; returns it for the checks.
std::string drain() {
  std::string sent;
  char buf[8192];
  // The pair is local: a reply is all there once EmulateSmtp returns.
  while (plat::waitreadable(g_peer[1], 0) > 0) {
    long n = plat::recvsocket(g_peer[1], buf, sizeof buf);
    if (n <= 0) break;
    sent.append(buf, (size_t)n);
  }
  return sent;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (g_peer[0] == kInvalidSocket) setup();
  ConnectionRecord r;
  memset(&r, 0, sizeof r);
  r.sock = g_peer[0];
  textcopy(r.thread_tag, "[1]");
  textcopy(r.client_ip, "192.0.2.1");

  const char* p = reinterpret_cast<const char*>(data);
  const char* end = p + size;
  while (p <= end) {
    const char* nul = static_cast<const char*>(memchr(p, '\0', (size_t)(end - p)));
    size_t len = (size_t)((nul ? nul : end) - p);
    std::string input(p, len < kMaxInput ? len : kMaxInput);
    p += len + 1;

    ConnectionRecord before;
    memcpy(&before, &r, sizeof r);
    int result = EmulateSmtp(&r, input.c_str());
    std::string sent = drain();
    checkrecord(r);

    // The peer never goes away, so every input is answered in full.
    if (result != SMTP_CONTINUE && result != SMTP_CLOSE) __builtin_trap();
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
    if (before.error_count < kMaxErrors && (reply[0] == '5' || (reply[0] == '4' && !data)) &&
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
    // quit_seen is set exactly by a handler's closing reply; the error
    // limit closes without it.
    if (before.error_count >= kMaxErrors) {
      if (result != SMTP_CLOSE || memcmp(&before, &r, sizeof r) != 0) __builtin_trap();
    } else if ((result == SMTP_CLOSE) != (r.quit_seen == 1)) {
      __builtin_trap();
    }
    if (result != SMTP_CONTINUE) break;
  }
  return 0;
}
