#include "analysis/checkconn.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "analysis/connectionline.h"
#include "analysis/dnsquery.h"
#include "analysis/getspf.h"
#include "analysis/helo.h"
#include "analysis/jsonline.h"
#include "analysis/lists.h"
#include "analysis/origin.h"
#include "analysis/recordmemo.h"
#include "platform/net.h"
#include "dns/resolver.h"
#include "common/log.h"
#include "common/recordlists.h"
#include "common/settings.h"
#include "base/ipv4.h"
#include "base/textbuf.h"

// The questions known before any answer: the reverse name, and for a
// public address the origin lookups, the SPF check's first
// question and every zone of the three address lists (all of them, although
// the chain stops at the first hit).
static void prefetchaddress(const ConnectionRecord* r, const ClientAddress& c, const char* revname,
                            int local) {
  if (!prefetching()) return;
  std::vector<Question> q;
  q.emplace_back(revname, dns::kTypePTR);
  if (!local) {
    originquestions(c, &q);
    spfquestions(r, &q);
    for (const ListFile& f : kListFiles)
      if (!f.bydomain) listquestions(c, *f.head, &q);
  }
  prefetch(q);
}

// The HELO class for the JSON line whatever decided the tag: "ok" when the
// name passed every test. A list that decided kept the HELO check from
// running; it runs then on a copy, whose URI list answers are kept.
static void heloclass(ConnectionRecord* r, bool checked, int local) {
  const ConnectionRecord* from = r;
  ConnectionRecord* copy = nullptr;
  if (!checked) {
    copy = (ConnectionRecord*)malloc(sizeof *copy);
    if (copy == nullptr) return;
    memcpy(copy, r, sizeof *copy);
    checkhelo(copy, local);
    from = copy;
  }
  textcopy(r->helo_class, strcmp(from->list_tag, "HL") == 0 ? from->list_detail : "ok");
  if (copy != nullptr) {
    r->list_hits = copy->list_hits;
    free(copy);
  }
}

int analyseconn(ConnectionRecord* r) {
  textcopy(r->list_tag, "NL");
  textcopy(r->list_detail, "neutral");

  int local = 0;
  const ClientAddress client(r->client_ip);
  if (!client.valid) {
    textcopy(r->ptr_name, "0.0.0.0.in-addr.arpa");
    textcopy(r->list_tag, "GL");
    textcopy(r->list_detail, "bad-addr");
    local = 1;
  } else {
    char revname[kTextCap + 1];
    textformat(revname, sizeof revname, "%s.in-addr.arpa.", client.reversed);
    local = isprivateipv4(client.addr);
    prefetchaddress(r, client, revname, local);
    // A client new to the cache ends an attempt from the cache here.
    if (dns::resolver().abandoned()) return 0;
    if (!NSquery(r->ptr_name, sizeof r->ptr_name, revname, dns::kTypePTR, 0)) {
      textcopy(r->ptr_name, revname);
      textcopy(r->list_tag, "GL");
      textcopy(r->list_detail, "bad-ptr");
    }
  }

  r->asn = 0;
  // The "bad-addr" case has no address; any fixed text will do.
  textformat(r->ip_hex, sizeof r->ip_hex, "%08X", client.addr);
  textformat(r->bgp_prefix, sizeof r->bgp_prefix, "%s/32", r->client_ip);
  textcopy(r->ip_network, r->bgp_prefix);
  textcopy(r->country, "--");
  textcopy(r->owner, "unknown");
  textcopy(r->sb_item50, "--");
  textcopy(r->sb_item55, "00.0000");
  textcopy(r->sb_item54, "00.0000");

  if (!local) getorigin(r, client);

  textcopy(r->spf_result, "None");

  int verdict;
  bool helochecked = true;
  if (!local) {
    getspf(r, client);
    verdict = checklist(r, client, dnswl, "WL");
    if (!verdict) verdict = checklist(r, client, dnsbl, "BL");
    else if (settings.JsonLines == 1) listhits(r, client, dnsbl, kListBlack);
    if (!verdict) verdict = checklist(r, client, dnsgl, "GL");
    else if (settings.JsonLines == 1) listhits(r, client, dnsgl, kListGrey);
    helochecked = !verdict;
    if (!verdict) verdict = checkhelo(r, 0);
  } else {
    verdict = checkhelo(r, 1);
  }
  if (settings.JsonLines == 1) heloclass(r, helochecked, local);
  return verdict;
}

void finishconn(ConnectionRecord* r, std::string* json) {
  if (r->quit_seen == 0) {
    if (r->last_error[0] == '\0') textcopy(r->last_error, "no-quit");
    r->error_count++;
  }
  if (r->helo[0] == '\0') textcopy(r->helo, "no-helo");
  if (r->auth_data[0] == '\0') textcopy(r->auth_data, "no-auth");
  if (r->mail_from[0] == '\0') textcopy(r->mail_from, "no-from");
  if (r->rcpt_to[0] == '\0') textcopy(r->rcpt_to, "no-rcpt");
  // An error can be counted without a recorded reply (MAIL before HELO);
  // the column still gets a placeholder rather than staying empty.
  if (r->error_count == 0 || r->last_error[0] == '\0') textcopy(r->last_error, "no-error");
  json->clear();
  if (settings.JsonLines == 1) jsonline(r, json);
}

void writeconn(ConnectionRecord* r, int verdict, const std::string& json) {
  char datetime[64];
  textformat(datetime, sizeof datetime, "%04d-%02d-%02d|%02d:%02d:%02d", r->conn_time.year,
             r->conn_time.month, r->conn_time.day, r->conn_time.hour, r->conn_time.minute,
             r->conn_time.second);
  if (verdict != 0)
    logmsg(LOG_LOG, "%s %s %s %s", r->thread_tag, r->client_ip, r->list_tag, r->list_detail);

  char line[kLineSize];
  connectionline(line, datetime, r);
  writeconnection(line, json.empty() ? nullptr : json.data(), json.size());
  countline(r);
  if (settings.SystemLog[0] != '\0') {
    ConnectionFields f;
    connectionfields(r, &f);
    plat::systemlogsend(line, f.field, (size_t)f.count);
  }
  logmsg(LOG_DATA, "(%s) %s", r->thread_tag, line);
}

void checkconn(ConnectionRecord* r) {
  RecordMemo memo(dns::resolver());
  int verdict = analyseconn(r);
  std::string json;
  finishconn(r, &json);
  writeconn(r, verdict, json);
}
