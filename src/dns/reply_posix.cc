#include "dns/reply.h"

#include <arpa/nameser.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace dns {

namespace {

// Uncompresses the name at `p` into `out`. Returns the bytes it occupies
// in the message, or -1 when the name is malformed or leaves the record.
int readname(const ns_msg& h, const uint8_t* p, const uint8_t* end, std::string* out) {
  char buf[NS_MAXDNAME];
  if (p >= end) return -1;
  int n = ns_name_uncompress(ns_msg_base(h), ns_msg_end(h), p, buf, sizeof buf);
  if (n < 0 || p + n > end) return -1;
  out->assign(buf);
  // The root is written ".": no trailing dot for any name.
  if (*out == ".") out->clear();
  return n;
}

// Fills the type-specific data of rec from the record's data. Returns false
// when the data does not fit its type.
bool readdata(const ns_msg& h, const ns_rr& rr, Record* rec) {
  const uint8_t* p = ns_rr_rdata(rr);
  const uint8_t* end = p + ns_rr_rdlen(rr);
  switch (rec->type) {
    case kTypeA:
      if (end - p != 4) return false;
      memcpy(rec->addr, p, 4);
      return true;
    case kTypeAAAA:
      if (end - p != 16) return false;
      memcpy(rec->addr, p, 16);
      return true;
    case kTypeNS:
    case kTypePTR:
    case kTypeCNAME: {
      int n = readname(h, p, end, &rec->target);
      return n >= 0 && p + n == end;
    }
    case kTypeMX: {
      if (end - p < 3) return false;
      rec->preference = (uint16_t)((p[0] << 8) | p[1]);
      int n = readname(h, p + 2, end, &rec->target);
      return n >= 0 && p + 2 + n == end;
    }
    case kTypeTXT:
      while (p < end) {
        size_t len = *p++;
        if ((size_t)(end - p) < len) return false;
        rec->strings.emplace_back((const char*)p, len);
        p += len;
      }
      return true;
    default:
      return true;
  }
}

// RFC 2308: a negative answer may be kept for the lesser of its SOA
// record's TTL and the SOA MINIMUM field (the last 4 bytes of its data).
uint32_t soattl(ns_msg& h) {
  int count = ns_msg_count(h, ns_s_ns);
  for (int i = 0; i < count; i++) {
    ns_rr rr;
    if (ns_parserr(&h, ns_s_ns, i, &rr) != 0) return 0;
    if ((int)ns_rr_type(rr) != kTypeSOA || ns_rr_rdlen(rr) < 22) continue;
    const uint8_t* m = ns_rr_rdata(rr) + ns_rr_rdlen(rr) - 4;
    uint32_t minimum = ((uint32_t)m[0] << 24) | ((uint32_t)m[1] << 16) | ((uint32_t)m[2] << 8) | m[3];
    return std::min<uint32_t>(minimum, ns_rr_ttl(rr));
  }
  return 0;
}

}  // namespace

int parseresponse(const uint8_t* msg, size_t len, RecordList* out) {
  uint32_t negttl;
  return parseresponse(msg, len, out, &negttl);
}

int parseresponse(const uint8_t* msg, size_t len, RecordList* out, uint32_t* negttl) {
  out->clear();
  *negttl = 0;
  if (msg == nullptr || len < NS_HFIXEDSZ || len > 65535) return kStatusBadPacket;
  ns_msg h;
  if (ns_initparse(msg, (int)len, &h) != 0) return kStatusBadPacket;
  int rcode = ns_msg_getflag(h, ns_f_rcode);
  switch (rcode) {
    case ns_r_noerror: break;
    case ns_r_nxdomain:
      *negttl = soattl(h);
      return kStatusNameError;
    case ns_r_servfail: return kStatusServFail;
    default: return 9000 + rcode;  // FORMERR 9001, NOTIMP 9004, REFUSED 9005, ...
  }
  static const struct {
    ns_sect sect;
    Section section;
  } sections[] = {{ns_s_an, Section::Answer},
                  {ns_s_ns, Section::Authority},
                  {ns_s_ar, Section::Additional}};
  for (const auto& s : sections) {
    int count = ns_msg_count(h, s.sect);
    for (int i = 0; i < count; i++) {
      ns_rr rr;
      if (ns_parserr(&h, s.sect, i, &rr) != 0) {
        out->clear();
        return kStatusBadPacket;
      }
      Record rec;
      rec.owner = ns_rr_name(rr);
      if (rec.owner == ".") rec.owner.clear();
      rec.type = ns_rr_type(rr);
      rec.section = s.section;
      rec.ttl = ns_rr_ttl(rr);
      if (!readdata(h, rr, &rec)) {
        out->clear();
        return kStatusBadPacket;
      }
      out->push_back(std::move(rec));
    }
  }
  if (ns_msg_count(h, ns_s_an) == 0) {
    out->clear();
    *negttl = soattl(h);
    return kStatusNoRecords;
  }
  return kStatusOk;
}

}  // namespace dns
