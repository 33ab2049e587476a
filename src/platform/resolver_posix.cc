// System resolver backend: glibc's resolver library.
//
// Each thread keeps its own res_state (the library's state is not shared
// between threads). A query is built with res_nmkquery, sent with res_nsend
// and walked with ns_initparse/ns_parserr. The name is always taken as
// given: no search list is applied, since we never call res_nsearch.
//
// Time-outs: every server is tried kTries times; glibc waits kRetransSeconds
// for the first server on each try (less for later ones), so a query to one
// dead server costs 4 s. The analysis runs on the logger thread, whose queue
// absorbs that delay; the SMTP side never waits for DNS.
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/resolver.h"

namespace dns {

namespace {

constexpr int kRetransSeconds = 2;
constexpr int kTries = 2;
// Large enough for any answer over TCP.
constexpr int kAnswerSize = 65536;
// Query names of more than this many characters cannot be encoded.
constexpr size_t kMaxQueryName = NS_MAXDNAME - 1;

// Servers of setnameservers; kept for the threads that initialise later.
std::mutex g_servers_lock;
std::vector<sockaddr_in> g_servers;
// Bumped by every setnameservers call so that threads re-read the list.
std::atomic<unsigned> g_generation{1};

// The library shares the parsed /etc/resolv.conf between the states of all
// threads, guarded by a lock of its own that thread checkers cannot see;
// initialising and closing states under ours as well makes that order
// visible to them. It costs one lock per thread, not per query.
std::mutex g_library_lock;

// One resolver state per thread, closed when the thread ends.
struct ThreadState {
  struct __res_state st;
  unsigned generation = 0;  // 0: not initialised
  ThreadState() { memset(&st, 0, sizeof st); }
  ~ThreadState() {
    std::lock_guard<std::mutex> lock(g_library_lock);
    if (generation != 0) res_nclose(&st);
  }
};

thread_local ThreadState t_state;

// Returns the calling thread's state, (re)initialised when needed; null
// when the library cannot be initialised.
res_state threadstate() {
  unsigned gen = g_generation.load();
  if (t_state.generation == gen) return &t_state.st;
  {
    std::lock_guard<std::mutex> lock(g_library_lock);
    if (t_state.generation != 0) res_nclose(&t_state.st);
    t_state.generation = 0;
    memset(&t_state.st, 0, sizeof t_state.st);
    if (res_ninit(&t_state.st) != 0) return nullptr;
  }
  res_state st = &t_state.st;
  st->retrans = kRetransSeconds;
  st->retry = kTries;
  // No search list, no appended default domain; keep our server list even
  // if /etc/resolv.conf changes under us.
  st->options &= ~(unsigned long)(RES_DEFNAMES | RES_DNSRCH);
  st->options |= RES_NORELOAD;
  // Hand answers with SERVFAIL, NOTIMP and REFUSED back to us instead of
  // turning them into a bare failure: their code decides whether the
  // outcome is temporary or permanent. So the first server that answers
  // decides; the next one is asked only when it stays silent.
  st->pfcode = RES_PRF_HEAD1;
  {
    std::lock_guard<std::mutex> lock(g_servers_lock);
    if (!g_servers.empty()) {
      int n = 0;
      for (const sockaddr_in& sa : g_servers) {
        if (n == MAXNS) break;
        st->nsaddr_list[n++] = sa;
      }
      st->nscount = n;
    }
  }
  t_state.generation = gen;
  return st;
}

// Parses "a.b.c.d" or "a.b.c.d:port" into sa. Returns true when valid.
bool parseserver(const std::string& item, sockaddr_in* sa) {
  std::string host = item;
  unsigned long port = NS_DEFAULTPORT;
  size_t colon = item.find(':');
  if (colon != std::string::npos) {
    host = item.substr(0, colon);
    std::string p = item.substr(colon + 1);
    if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
      return false;
    port = strtoul(p.c_str(), nullptr, 10);
    if (port == 0 || port > 65535) return false;
  }
  memset(sa, 0, sizeof *sa);
  sa->sin_family = AF_INET;
  sa->sin_port = htons((uint16_t)port);
  return inet_pton(AF_INET, host.c_str(), &sa->sin_addr) == 1;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

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

class SystemResolver : public Resolver {
 public:
  int Query(const char* name, uint16_t type, unsigned, RecordList* out) override {
    out->clear();
    if (name == nullptr || strlen(name) > kMaxQueryName) return kStatusInvalidName;
    res_state st = threadstate();
    if (st == nullptr) return kStatusServFail;
    uint8_t query[NS_PACKETSZ];
    int qlen = res_nmkquery(st, ns_o_query, name, ns_c_in, type, nullptr, 0, nullptr, query,
                            sizeof query);
    if (qlen < 0) return kStatusInvalidName;
    std::vector<uint8_t> answer(kAnswerSize);
    errno = 0;
    int alen = res_nsend(st, query, qlen, answer.data(), (int)answer.size());
    if (alen < 0) return errno == ECONNREFUSED ? kStatusServFail : kStatusTimeout;
    if (alen > (int)answer.size()) alen = (int)answer.size();
    return parseresponse(answer.data(), (size_t)alen, out);
  }
};

}  // namespace

Resolver* systemresolver() {
  // Never destroyed: a detached thread may still be inside a query while
  // the process exits.
  static Resolver* r = new SystemResolver;
  return r;
}

int systemavailable() { return threadstate() != nullptr ? 1 : 0; }

int setnameservers(const char* list) {
  std::vector<sockaddr_in> servers;
  if (list != nullptr) {
    std::string text(list);
    size_t start = 0;
    while (start <= text.size()) {
      size_t comma = text.find(',', start);
      if (comma == std::string::npos) comma = text.size();
      std::string item = trim(text.substr(start, comma - start));
      if (!item.empty()) {
        sockaddr_in sa;
        if (!parseserver(item, &sa)) return 0;
        servers.push_back(sa);
      }
      start = comma + 1;
    }
  }
  {
    std::lock_guard<std::mutex> lock(g_servers_lock);
    g_servers = std::move(servers);
  }
  g_generation.fetch_add(1);
  return 1;
}

int parseresponse(const uint8_t* msg, size_t len, RecordList* out) {
  out->clear();
  if (msg == nullptr || len < NS_HFIXEDSZ || len > 65535) return kStatusBadPacket;
  ns_msg h;
  if (ns_initparse(msg, (int)len, &h) != 0) return kStatusBadPacket;
  int rcode = ns_msg_getflag(h, ns_f_rcode);
  switch (rcode) {
    case ns_r_noerror: break;
    case ns_r_nxdomain: return kStatusNameError;
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
    return kStatusNoRecords;
  }
  return kStatusOk;
}

}  // namespace dns
