// The Prometheus page: GET /metrics on the [Metrics] Listen address, served
// by libmicrohttpd on a thread of its own, so that a slow or hostile scraper
// holds no session and no worker. The Windows build has no page.
#pragma once
#include <cstdint>
#include <string>

// Parses "address:port" (dotted IPv4, port 1..65535) into network-order
// address and port. Returns true when valid.
bool parsemetricslisten(const char* text, uint32_t* addr_net, uint16_t* port);
// Starts serving the page on `listen` (valid, see above). Returns false and
// logs why when it cannot (address in use, or a build without the page).
bool metricsstart(const char* listen);
// Stops serving; waits for the server's thread. Nothing when not started.
void metricsstop();
// The page as it would be served now.
std::string metricstext();
