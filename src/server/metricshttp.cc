// The page's HTTP server: libmicrohttpd with its own polling thread, a cap
// on connections (in all and per address), a time-out for idle ones and a
// small memory budget per connection, so that a scraper that stalls or
// floods costs a few kilobytes and never a worker.
#include <microhttpd.h>
#include <netinet/in.h>

#include <cstring>

#include "common/log.h"
#include "server/metricspage.h"

namespace {

constexpr unsigned kMaxConnections = 16;
constexpr unsigned kMaxPerAddress = 4;
constexpr unsigned kIdleSeconds = 5;
constexpr size_t kConnectionMemory = 16 * 1024;

MHD_Daemon* g_daemon = nullptr;

MHD_Result reply(MHD_Connection* c, unsigned status, const std::string& body, bool page) {
  MHD_Response* r =
      MHD_create_response_from_buffer(body.size(), (void*)body.data(), MHD_RESPMEM_MUST_COPY);
  if (r == nullptr) return MHD_NO;
  MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE,
                          page ? "text/plain; version=0.0.4; charset=utf-8" : "text/plain");
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
    MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, "GET");
  MHD_Result rc = MHD_queue_response(c, status, r);
  MHD_destroy_response(r);
  return rc;
}

// Answers at the first call, before any body: a body is never wanted here,
// and the server drops what follows a response given early.
MHD_Result answer(void*, MHD_Connection* c, const char* url, const char* method, const char*,
                  const char*, size_t*, void**) {
  if (strcmp(url, "/metrics") != 0) return reply(c, MHD_HTTP_NOT_FOUND, "not found\n", false);
  if (strcmp(method, MHD_HTTP_METHOD_GET) != 0)
    return reply(c, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET\n", false);
  return reply(c, MHD_HTTP_OK, metricstext(), true);
}

}  // namespace

bool metricsstart(const char* listen) {
  sockaddr_in a = {};
  uint16_t port = 0;
  uint32_t addr = 0;
  if (!parsemetricslisten(listen, &addr, &port)) return false;
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = addr;
  a.sin_port = htons(port);
  g_daemon = MHD_start_daemon(MHD_USE_POLL_INTERNAL_THREAD, port, nullptr, nullptr, answer, nullptr,
                              MHD_OPTION_SOCK_ADDR, (sockaddr*)&a,
                              MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
                              MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxPerAddress,
                              MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
                              MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
                              MHD_OPTION_END);
  if (g_daemon == nullptr) {
    logmsg(LOG_CRIT, "Cannot serve the metrics page on %s", listen);
    return false;
  }
  logmsg(LOG_INFO, "Metrics page on http://%s/metrics", listen);
  return true;
}

void metricsstop() {
  if (g_daemon == nullptr) return;
  MHD_stop_daemon(g_daemon);
  g_daemon = nullptr;
}
