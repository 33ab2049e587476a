#include "analysis/jsonline.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <new>

#include "platform/net.h"
#include "platform/sys.h"
#include "common/recordlists.h"
#include "common/settings.h"

namespace {

// Keys in the order the documentation lists them.
using json = nlohmann::ordered_json;

const char* listkind(ListKind k) {
  switch (k) {
    case kListWhite: return "white";
    case kListBlack: return "black";
    case kListGrey: return "grey";
    case kListUriWhite: return "uri-white";
    default: return "uri-black";
  }
}

const char* spfsource(SpfSource s) {
  switch (s) {
    case kSpfSourceRecord: return "record";
    case kSpfSourceBestGuess: return "best-guess";
    case kSpfSourceFallback: return "fallback";
    case kSpfSourceWhitelist: return "whitelist";
    default: return "none";
  }
}

const char* outcome(AnalysisOutcome a) {
  switch (a) {
    case AnalysisOutcome::deadline: return "deadline";
    case AnalysisOutcome::backlog: return "backlog";
    case AnalysisOutcome::stop: return "stop";
    default: return "complete";
  }
}

// "2026-12-07T08:56:26.123Z"
std::string isotime(int64_t ms) {
  SysTime t;
  plat::utcfromms(ms, &t);
  char text[64];
  snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.year, t.month, t.day,
           t.hour, t.minute, t.second, (int)(((ms % 1000) + 1000) % 1000));
  return text;
}

json endpoint(const PeerAddr& a) {
  char ip[32];
  plat::inetntoa(a.addr, ip, sizeof ip);
  const uint8_t* port = (const uint8_t*)&a.port;  // network order
  return {{"ip", ip}, {"port", (unsigned)(port[0] << 8 | port[1])}};
}

json build(const ConnectionRecord* r) {
  json client = endpoint(r->peer_addr);
  client["ip"] = r->client_ip;
  client["ptr"] = r->ptr_name;
  client["ptr_confirmed"] = r->ptr_confirmed != 0;

  json lists = json::array();
  eachlisthit(r, [&](ListKind kind, const char* zone, const char* answer, bool listed) {
    lists.push_back({{"list", listkind(kind)}, {"zone", zone}, {"answer", answer}, {"listed", listed}});
  });

  json transactions = json::array();
  eachtransaction(r, [&](const char* from, const char* to, int count, uint32_t more) {
    json rcpts = json::array();
    for (int i = 0; i < count; i++, to += strlen(to) + 1) rcpts.push_back(to);
    json t = {{"mail_from", from}, {"rcpt_to", std::move(rcpts)}};
    if (more) t["rcpt_to_more"] = more;
    transactions.push_back(std::move(t));
  });

  json signals = json::array();
  for (int i = 0; i < kSignalCount; i++)
    if (r->signals & (1u << i)) signals.push_back(signalname(i));

  json smtp = {{"inputs", r->inputs},
               {"errors", r->error_count},
               {"vrfy", r->vrfy_count},
               {"noop", r->noop_count},
               {"rcpt", r->rcpt_count},
               {"auth", r->auth_data},
               {"transactions", std::move(transactions)},
               {"last_error", r->last_error},
               {"quit", r->quit_seen != 0}};
  if (r->transactions.dropped) smtp["transactions_more"] = r->transactions.dropped;

  json j = {
      {"time", isotime(r->conn_ms)},
      {"duration_ms", r->duration_ms},
      {"mode", settings.FakeSmtp == 1 ? "emulation" : "tempfail"},
      {"client", std::move(client)},
      {"server", endpoint(r->server_addr)},
      {"helo", r->helo},
      {"helo_class", r->helo_class},
      {"tag", r->list_tag},
      {"tag_detail", r->list_detail},
      {"lists", std::move(lists)},
      {"origin",
       {{"asn", r->asn},
        {"prefix", r->bgp_prefix},
        {"network", r->ip_network},
        {"country", r->country},
        {"owner", r->owner}}},
      {"spf",
       {{"result", r->spf_result},
        {"identity", r->spf_helo ? "helo" : "mailfrom"},
        {"domain", r->spf_domain},
        {"source", spfsource(r->spf_source)}}},
      {"smtp", std::move(smtp)},
      {"signals", std::move(signals)},
      {"analysis", outcome(r->analysis)},
  };
  if (r->list_hits.dropped) j["lists_more"] = r->list_hits.dropped;
  return j;
}

}  // namespace

bool jsonline(const ConnectionRecord* r, std::string* out) {
  out->clear();
  try {
    *out = build(r).dump(-1, ' ', false, json::error_handler_t::replace);
    return true;
  } catch (const std::exception&) {
    // Memory only: the texts are bounded and invalid UTF-8 is replaced.
    out->clear();
    return false;
  }
}
