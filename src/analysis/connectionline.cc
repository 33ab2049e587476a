#include "analysis/connectionline.h"

#include <cstdio>
#include <cstring>

#include "base/metrics.h"

#include "common/recordlists.h"
#include "common/settings.h"

namespace {

// Appends to a fixed line buffer, cutting at its capacity.
class LineWriter {
 public:
  explicit LineWriter(char* out) : out_(out) { out_[0] = '\0'; }

  void raw(const char* s) {
    while (*s && len_ < kLineSize - 1) out_[len_++] = *s++;
    out_[len_] = '\0';
  }

  // A column value: a "|" inside it would shift the columns of the line.
  void column(const char* s) {
    raw("|");
    while (*s && len_ < kLineSize - 1) {
      out_[len_++] = *s == '|' ? ' ' : *s;
      s++;
    }
    out_[len_] = '\0';
  }

  // The format is fixed here, where the compiler checks it against the value.
  void number(long v, int width = 0) {
    char tmp[32];
    snprintf(tmp, sizeof tmp, "%*ld", width, v);
    column(tmp);
  }

 private:
  char* out_;
  int len_ = 0;
};

}  // namespace

void connectionline(char* out, const char* datetime, const ConnectionRecord* r) {
  LineWriter w(out);
  w.raw(datetime);
  w.column(r->ip_hex);
  w.number((long)r->asn, 6);
  w.column(r->client_ip);
  w.column(r->ip_network);
  w.column(r->bgp_prefix);
  w.column(r->ptr_name);
  w.column(r->helo);
  w.column(r->spf_result);
  w.column(r->list_tag);
  w.column(r->list_detail);
  w.column(r->country);
  w.column(r->owner);
  w.number((int)r->error_count);
  w.number((int)r->vrfy_count);
  w.number((int)r->noop_count);
  w.number((int)r->rcpt_count);
  w.column(r->auth_data);
  w.column(r->mail_from);
  w.column(r->rcpt_to);
  w.column(r->last_error);
  if (settings.LogHost) {
    w.column(settings.HostName);
    w.column(settings.ListenIP);
  }
}

void connectionfields(const ConnectionRecord* r, ConnectionFields* out) {
  int n = 0;
  auto add = [&](const char* name, const char* value) { out->field[n++] = {name, value}; };
  const long numbers[6] = {(long)r->asn, (long)r->error_count, (long)r->vrfy_count,
                           (long)r->noop_count, (long)r->rcpt_count, (long)r->quit_seen};
  for (int i = 0; i < 6; i++) snprintf(out->numbers[i], sizeof out->numbers[i], "%ld", numbers[i]);
  add("NESTRAP_CLIENT_IP", r->client_ip);
  add("NESTRAP_TAG", r->list_tag);
  add("NESTRAP_DETAIL", r->list_detail);
  add("NESTRAP_HELO", r->helo);
  if (strcmp(r->list_tag, "HL") == 0) add("NESTRAP_HELO_CLASS", r->list_detail);
  add("NESTRAP_SPF", r->spf_result);
  add("NESTRAP_COUNTRY", r->country);
  add("NESTRAP_ASN", out->numbers[0]);
  add("NESTRAP_NETWORK", r->ip_network);
  add("NESTRAP_PREFIX", r->bgp_prefix);
  add("NESTRAP_PTR", r->ptr_name);
  add("NESTRAP_OWNER", r->owner);
  add("NESTRAP_ERRORS", out->numbers[1]);
  add("NESTRAP_VRFY", out->numbers[2]);
  add("NESTRAP_NOOP", out->numbers[3]);
  add("NESTRAP_RCPTS", out->numbers[4]);
  add("NESTRAP_AUTH", r->auth_data);
  add("NESTRAP_MAIL_FROM", r->mail_from);
  add("NESTRAP_RCPT_TO", r->rcpt_to);
  add("NESTRAP_LAST_ERROR", r->last_error);
  add("NESTRAP_QUIT", out->numbers[5]);
  add("NESTRAP_WORKER", r->thread_tag);
  out->count = n;
}

void countline(const ConnectionRecord* r) {
  metrics::Counters& c = metrics::counters;
  int tag = metrics::tagindex(r->list_tag);
  metrics::add(c.tags[tag]);
  metrics::add(c.spf[metrics::spfindex(r->spf_result)]);
  if (strcmp(r->list_tag, "HL") == 0) metrics::add(c.helo[metrics::heloindex(r->list_detail)]);
  // A list hit names its zone; the other details of these tags do not.
  bool zonetag = strcmp(r->list_tag, "NL") != 0 && strcmp(r->list_tag, "HL") != 0 &&
                 tag != metrics::kTagCount - 1;
  if (zonetag && strcmp(r->list_detail, "bad-addr") != 0 && strcmp(r->list_detail, "bad-ptr") != 0)
    metrics::count(metrics::kZones, r->list_detail);
  // Every signal has its series from the first line on, so that a rate over
  // a signal nobody showed yet reads 0 rather than nothing.
  static const bool declared = [] {
    for (int i = 0; i < kSignalCount; i++) metrics::declare(metrics::kSignals, signalname(i), nullptr);
    return true;
  }();
  (void)declared;
  for (int i = 0; i < kSignalCount; i++)
    if (r->signals & (1u << i)) metrics::count(metrics::kSignals, signalname(i));
}
