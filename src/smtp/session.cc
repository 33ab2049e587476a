#include "smtp/session.h"

#include <cstring>

#include "analysis/helpers.h"
#include "platform/net.h"
#include "platform/sys.h"
#include "server/log.h"
#include "server/settings.h"
#include "server/textbuf.h"
#include "smtp/emulate.h"

namespace {

constexpr size_t kDrainBufferSize = 3072;
const char kTempfailReply[] =
    "421 4.2.1 Service temporarily unavailable, closing transmission channel.\r\n";

bool sendtext(SocketHandle s, const char* text) {
  return plat::sendsocket(s, text, strlen(text)) >= 1;
}

}  // namespace

int RecvWithTimeout(SocketHandle s, char* buf, size_t len, unsigned long timeout_ms) {
  if (plat::waitreadable(s, timeout_ms) < 1) return 0;
  memset(buf, 0, len);
  return plat::recvsocket(s, buf, len) > 0 ? 1 : 0;
}

int ShutdownConnection(SocketHandle s, int abortive) {
  if (s == kInvalidSocket) {
    logmsg(LOG_ERR, "*** ShutdownConnection: invalid socket !!!");
    return 0;
  }
  if (abortive) {
    plat::setabortive(s);
    if (!plat::closesocket(s)) {
      logmsg(LOG_ERR, "*** ShutdownConnection Err: 0x%X", plat::socketerror());
      return 0;
    }
    return 1;
  }
  if (!plat::shutdownsend(s)) {
    logmsg(LOG_ERR, "*** ShutdownConnection: error during shutdown() 0x%X", plat::socketerror());
    // The handle is released all the same, so that no descriptor leaks.
    plat::closesocket(s);
    return 0;
  }
  char drain[kDrainBufferSize];
  RecvWithTimeout(s, drain, sizeof drain - 1, settings.RxTimeOut / 2);
  if (!plat::closesocket(s)) {
    logmsg(LOG_ERR, "*** ShutdownConnection: error during closesocket() 0x%X", plat::socketerror());
    return 0;
  }
  return 1;
}

int ExtractHeloArgument(char* input, char* helo, size_t helosize) {
  textreplace(input, '\t', ' ');
  textreplace(input, '|', ' ');
  char* end = strchr(input, '\r');
  if (end == nullptr) end = strchr(input, '\n');
  if (end == nullptr) return 0;
  *end = '\0';
  const char* sp = strchr(input, ' ');
  if (sp != nullptr) {
    while (*sp == ' ') sp++;
    textcopy(helo, helosize, sp, kTextCap);
  }
  return 1;
}

int HandleSession(ConnectionRecord* r) {
  if (r->sock == kInvalidSocket) return 1;
  const char* tag = r->thread_tag;
  const char* ip = r->client_ip;
  logmsg(LOG_CONN, "%s %s Session started", tag, ip);
  r->helo[0] = '\0';
  char line[kLineBufferSize];
  memset(line, 0, sizeof line);

  plat::sleepms(settings.TarpitTime);

  logmsg(LOG_CONN, "%s %s Sending banner message", tag, ip);
  char date[128];
  gmtdate(date);
  textformat(line, sizeof line, "220 %s ESMTP Sendmail 8.2.0/8.2.0; %s\r\n", settings.HostName,
             date);
  int alive = 0;
  if (sendtext(r->sock, line)) {
    logmsg(LOG_CONN, "%s %s Waiting for client input", tag, ip);
    alive = RecvWithTimeout(r->sock, line, kLineBufferSize - 1, settings.RxTimeOut);
  }

  if (settings.FakeSmtp == 1) {
    r->mail_from[0] = '\0';
    r->rcpt_to[0] = '\0';
    r->rset_seen = 0;
    r->error_count = 0;
    r->rcpt_count = 0;
    r->vrfy_count = 0;
    r->noop_count = 0;
    while (alive == 1) {
      int rc = EmulateSmtp(r, line);
      if (rc == SMTP_CONTINUE) {
        alive = RecvWithTimeout(r->sock, line, kLineBufferSize - 1, settings.RxTimeOut);
      } else if (rc == SMTP_LOST) {
        alive = 0;
      } else {
        break;
      }
    }
    if (alive == 0) logmsg(LOG_CONN, "%s %s Remote disconnected !", tag, ip);
  } else if (alive == 0) {
    logmsg(LOG_CONN, "%s %s Remote disconnected !", tag, ip);
  } else {
    if (ExtractHeloArgument(line, r->helo, sizeof r->helo))
      logmsg(LOG_CONN, "%s %s %s", tag, ip, line);
    logmsg(LOG_CONN, "%s %s Sending tempfail message", tag, ip);
    alive = sendtext(r->sock, kTempfailReply) ? 1 : 0;
    if (!alive) logmsg(LOG_CONN, "%s %s Remote disconnected !", tag, ip);
  }

  logmsg(LOG_CONN, "%s %s Closing socket...", tag, ip);
  if (ShutdownConnection(r->sock, alive ? 0 : 1))
    logmsg(LOG_CONN, "%s %s Socket closed.", tag, ip);
  else
    logmsg(LOG_CONN, "%s %s Error closing socket.", tag, ip);
  logmsg(LOG_CONN, "%s %s Session terminated.", tag, ip);
  return 0;
}
