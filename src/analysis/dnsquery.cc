#include "analysis/dnsquery.h"

#include <strings.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/ipv4.h"
#include "base/text.h"
#include "base/textbuf.h"
#include "dns/resolver.h"
#include "common/log.h"
#include "common/record.h"
#include "platform/net.h"

namespace {

// Names of more labels than this are walked over their first 100 only.
constexpr size_t kMaxLabels = 100;

// TXT strings may carry any byte; control bytes would break the log line.
std::string cleantext(const std::string& s) {
  std::string t = s;
  blankcontrols(t.data(), t.size());
  return t;
}

}  // namespace

ClientAddress::ClientAddress(const char* client_ip) : addr(0), bytes{}, reversed{} {
  valid = plat::isipaddr(client_ip);
  if (!valid) return;
  uint32_t net = plat::inetaddr(client_ip);
  memcpy(bytes, &net, sizeof bytes);
  addr = hostorder(net);
  reversedotted(addr, "", reversed, sizeof reversed);
}

int NSquery(char* dst, size_t dstlen, const char* name, int type, int all) {
  logmsg(LOG_TRON, "NSquery(%s, %d)", name, type);
  if (dstlen) dst[0] = '\0';
  dns::RecordList records;
  int status = dns::resolver().Query(name, (uint16_t)type, dns::kOptTreatAsFqdn, &records);
  if (status != dns::kStatusOk) {
    logmsg(LOG_TRON, "NSquery(%s, %d)=0x%lX", name, type, (unsigned long)status);
    return 0;
  }
  int taken = 0;
  for (const dns::Record& rec : records) {
    if (rec.section != dns::Section::Answer || rec.type != (uint16_t)type) continue;
    std::string text;
    switch (rec.type) {
      case dns::kTypeA: {
        char buf[16];
        dotted(rec.addr, buf, sizeof buf);
        text = buf;
        break;
      }
      case dns::kTypeNS:
      case dns::kTypePTR:
        text = rec.target;
        break;
      case dns::kTypeTXT:
        for (size_t i = 0; i < rec.strings.size(); i++) {
          if (i > 0 && !all) break;
          if (i > 0) text += '|';
          text += cleantext(rec.strings[i]);
        }
        break;
      default:
        break;
    }
    taken++;
    if (dstlen == 0) {
      if (!all) break;
      continue;
    }
    if (!all) {
      textappend(dst, dstlen, text.c_str());
      break;
    }
    textappend(dst, dstlen, "|");
    textappend(dst, dstlen, text.c_str());
  }
  return taken ? 1 : 0;
}

std::vector<std::string> zonecandidates(const char* name) {
  char copy[kTextCap + 1];
  textcopy(copy, name);
  std::vector<std::string> labels;
  for (char* p = copy; *p && labels.size() < kMaxLabels;) {
    char* dot = strchr(p, '.');
    size_t len = dot ? (size_t)(dot - p) : strlen(p);
    if (len) labels.emplace_back(p, len);
    if (!dot) break;
    p = dot + 1;
  }
  std::vector<std::string> candidates;
  std::string candidate;
  for (size_t i = labels.size(); i-- > 0;) {
    candidate = labels[i] + "." + candidate;
    candidates.push_back(candidate);
  }
  return candidates;
}

int findzone(const char* name, char* dst, size_t dstlen) {
  std::vector<std::string> candidates = zonecandidates(name);
  if (dstlen) dst[0] = '\0';
  if (candidates.empty()) return 0;

  std::string previous;
  for (const std::string& candidate : candidates) {
    if (strcasecmp(candidate.c_str(), "arpa.") != 0 && dstlen)
      textcopy(dst, dstlen, candidate.c_str());
    char ns[kTextCap + 1];
    if (!NSquery(ns, sizeof ns, candidate.c_str(), dns::kTypeNS, 0)) {
      if (dstlen) textcopy(dst, dstlen, previous.c_str());
      return previous.empty() ? 0 : 1;
    }
    previous = candidate;
  }
  return (dstlen && dst[0]) ? 1 : 0;
}
