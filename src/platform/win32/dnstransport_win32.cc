// The DNS transport on Windows: the DNS API. DnsQuery_A and
// DnsRecordListFree are bound from "DNSAPI.DLL" at run time, once per
// process; statuses are the API's own, which the resolver interface uses.
#include <winsock2.h>
#include <windows.h>
#include <windns.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dnstransport.h"

namespace plat {

using namespace dns;

namespace {

// Threads that share out one batch of questions.
constexpr size_t kLookupThreads = 4;

using QueryFn = DNS_STATUS(WINAPI*)(PCSTR, WORD, DWORD, PIP4_ARRAY, PDNS_RECORD*, PVOID*);
using FreeFn = VOID(WINAPI*)(PDNS_RECORD, DNS_FREE_TYPE);

struct Api {
  HMODULE module = nullptr;
  QueryFn query = nullptr;
  FreeFn free = nullptr;
};

Api& api() {
  static std::once_flag once;
  static Api a;
  std::call_once(once, [] {
    HMODULE m = LoadLibraryA("DNSAPI.DLL");
    if (m == nullptr) return;
    QueryFn q = (QueryFn)(void*)GetProcAddress(m, "DnsQuery_A");
    FreeFn f = (FreeFn)(void*)GetProcAddress(m, "DnsRecordListFree");
    if (q == nullptr || f == nullptr) {
      FreeLibrary(m);
      return;
    }
    a.module = m;
    a.query = q;
    a.free = f;
  });
  return a;
}

// Servers of the [DNSinfo] NameServer setting; empty: the system's.
struct {
  DWORD count;
  IP4_ADDRESS addr[kMaxNameServers];
} g_servers;

// Names come back without a trailing dot on Windows, but not on every
// implementation of the API.
std::string name(const char* s) {
  std::string n = s ? s : "";
  if (!n.empty() && n.back() == '.') n.pop_back();
  return n;
}

void convert(const DNS_RECORDA* r, RecordList* out) {
  for (; r != nullptr; r = r->pNext) {
    Record rec;
    rec.owner = name(r->pName);
    rec.type = r->wType;
    rec.section = (Section)(r->Flags.S.Section & 3);
    rec.ttl = r->dwTtl;
    switch (r->wType) {
      case DNS_TYPE_A:
        if (r->wDataLength < sizeof(DNS_A_DATA)) continue;
        memcpy(rec.addr, &r->Data.A.IpAddress, 4);
        break;
      case DNS_TYPE_AAAA:
        if (r->wDataLength < sizeof(DNS_AAAA_DATA)) continue;
        memcpy(rec.addr, &r->Data.AAAA.Ip6Address, 16);
        break;
      case DNS_TYPE_NS:
      case DNS_TYPE_PTR:
      case DNS_TYPE_CNAME:
        rec.target = name(r->Data.PTR.pNameHost);
        break;
      case DNS_TYPE_MX:
        rec.target = name(r->Data.MX.pNameExchange);
        rec.preference = r->Data.MX.wPreference;
        break;
      case DNS_TYPE_TEXT:
        for (DWORD i = 0; i < r->Data.TXT.dwStringCount; i++)
          rec.strings.emplace_back(r->Data.TXT.pStringArray[i] ? r->Data.TXT.pStringArray[i] : "");
        break;
      default:
        break;
    }
    out->push_back(std::move(rec));
  }
}

// REQUIRES: l->records empty.
int query(Lookup* l) {
  Api& a = api();
  if (a.query == nullptr) return kStatusServFail;
  PDNS_RECORD list = nullptr;
  IP4_ARRAY* extra = g_servers.count ? (IP4_ARRAY*)&g_servers : nullptr;
  DNS_STATUS st = a.query(l->name.c_str(), l->type, l->options, extra, &list, nullptr);
  if (list != nullptr) {
    if (st == 0) convert((const DNS_RECORDA*)list, &l->records);
    a.free(list, DnsFreeRecordList);
  }
  if (st == 0 && l->records.empty()) return kStatusNoRecords;
  return (int)st;
}

}  // namespace

int dnsavailable() { return api().query != nullptr ? 1 : 0; }

// DnsQuery_A blocks: a batch is shared out among a few lookup threads.
void dnsbatch(Lookup* items, size_t count, const DnsTimeLeft& left, DnsReplyParser) {
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next.fetch_add(1)) < count;) {
      items[i].records.clear();
      items[i].negttl = 0;
      items[i].status = left() == 0 ? kStatusTimeout : query(&items[i]);
    }
  };
  std::vector<std::thread> helpers;
  size_t n = count < kLookupThreads ? count : kLookupThreads;
  for (size_t t = 1; t < n; t++) helpers.emplace_back(work);
  work();
  for (std::thread& t : helpers) t.join();
}

// DnsQuery_A takes IPv4 servers on the standard port only.
int dnsservers(const NameServer* list, size_t count) {
  if (count > kMaxNameServers) return 0;
  for (size_t i = 0; i < count; i++)
    if (list[i].port != kDnsPort) return 0;
  for (size_t i = 0; i < count; i++) memcpy(&g_servers.addr[i], list[i].addr, 4);
  g_servers.count = (DWORD)count;
  return 1;
}

}  // namespace plat
