#include "analysis/connectionline.h"

#include <cstdio>

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

  void number(const char* fmt, long v) {
    char tmp[32];
    snprintf(tmp, sizeof tmp, fmt, v);
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
  w.number("%6ld", (long)r->asn);
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
  w.number("%d", (int)r->error_count);
  w.number("%d", (int)r->vrfy_count);
  w.number("%d", (int)r->noop_count);
  w.number("%d", (int)r->rcpt_count);
  w.column(r->auth_data);
  w.column(r->mail_from);
  w.column(r->rcpt_to);
  w.column(r->last_error);
  if (settings.LogHost) {
    w.column(settings.HostName);
    w.column(settings.ListenIP);
  }
}
