// The connection record: one flat, fixed-size structure carries a client
// connection from the accept loop through the session to the logger thread.
// It owns nothing on the heap, so a byte-for-byte copy is a complete copy.
#pragma once
#include <cstdint>
#include <type_traits>

#include "base/types.h"

// Capacities in characters; each text buffer has one more byte for the NUL.
constexpr int kTextCap = 260;

// Why DNS data of a record may be missing: its analysis ran to the end, ran
// out of its time, was skipped for a full backlog, or was cut by a stop.
enum class AnalysisOutcome { complete, deadline, backlog, stop };

// What a client did that well-behaved mail servers do not (bits of `signals`).
enum SessionSignal : uint32_t {
  kSignalPregreet = 1,     // bytes before the banner
  kSignalPipelining = 2,   // a command before the reply to the one before
  kSignalBareLf = 4,       // a line ended by LF without CR
  kSignalNonSmtp = 8,      // an HTTP request, a TLS hello or binary as first line
  kSignalEarlyClose = 16,  // closed before QUIT or the 421
  kSignalLongLine = 32,    // a line longer than SMTP allows
};
constexpr int kSignalCount = 6;

// Every mail transaction of a dialogue: each accepted sender with its
// accepted recipients, packed as zero-terminated texts (the sender first),
// kept while they fit and counted beyond.
constexpr int kMaxTransactions = 32;
constexpr int kMaxTransactionRcpts = 100;
struct TransactionLog {
  uint16_t count;                          // transactions kept
  uint16_t used;                           // bytes of text in use
  uint32_t dropped;                        // transactions beyond
  uint16_t rcpts[kMaxTransactions];        // recipients kept, per transaction
  uint32_t rcpts_dropped[kMaxTransactions];  // recipients beyond, per transaction
  char text[2048];
};

// Every list zone that answered an A record: kind, listed flag, the answer
// and the zone, packed as "<kind><listed>answer\0zone\0" while they fit.
enum ListKind : char { kListWhite = 'w', kListBlack = 'b', kListGrey = 'g', kListUriWhite = 'W',
                       kListUriBlack = 'B' };
struct ListHits {
  uint16_t count;
  uint16_t used;
  uint32_t dropped;
  char text[1024];
};

// Where the SPF verdict came from (spf_source).
enum SpfSource : int32_t { kSpfSourceNone = 0, kSpfSourceRecord = 1, kSpfSourceBestGuess = 2,
                           kSpfSourceFallback = 3, kSpfSourceWhitelist = 4 };

struct ConnectionRecord {
  SysTime conn_time;
  int32_t thread_num;
  uint32_t thread_id;
  SocketHandle sock;
  PeerAddr peer_addr;
  char thread_tag[19 + 1];
  char helo[kTextCap + 1];
  uint32_t auth_done;
  char auth_data[kTextCap + 1];
  char mail_from[kTextCap + 1];
  char rcpt_to[kTextCap + 1];
  uint32_t rset_seen;
  uint32_t error_count;
  uint32_t rcpt_count;
  uint32_t vrfy_count;
  uint32_t noop_count;
  int32_t quit_seen;
  char last_error[kTextCap + 1];
  int32_t asn;
  char ip_hex[9 + 1];
  char client_ip[31 + 1];
  char ip_network[31 + 1];
  char bgp_prefix[31 + 1];
  char ptr_name[kTextCap + 1];
  char list_tag[15 + 1];
  char list_detail[kTextCap + 1];
  char country[10 + 1];
  char owner[kTextCap + 1];
  char sb_item50[kTextCap + 1];
  char sb_item55[29 + 1];
  char sb_item54[29 + 1];
  char spf_result[kTextCap + 1];
  // The rest is for the JSON line; the pipe line does not use it.
  int64_t conn_ms;        // accept time, milliseconds since 1970 (UTC)
  int64_t duration_ms;    // accept to close
  PeerAddr server_addr;   // the address and port the client reached
  uint32_t signals;       // SessionSignal bits
  uint32_t inputs;        // lines the emulation answered (tempfail: reads)
  TransactionLog transactions;
  ListHits list_hits;
  char helo_class[31 + 1];
  int32_t ptr_confirmed;
  int32_t spf_helo;       // 1: the SPF check had the HELO name as identity
  SpfSource spf_source;
  char spf_domain[kTextCap + 1];
  AnalysisOutcome analysis;
};

static_assert(std::is_trivially_copyable_v<ConnectionRecord>);
