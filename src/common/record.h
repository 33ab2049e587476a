// The connection record: one flat, fixed-size structure carries a client
// connection from the accept loop through the session to the logger thread.
// It owns nothing on the heap, so a byte-for-byte copy is a complete copy.
#pragma once
#include <cstdint>
#include <type_traits>

#include "base/types.h"

// Capacities in characters; each text buffer has one more byte for the NUL.
constexpr int kTextCap = 260;

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
};

static_assert(std::is_trivially_copyable_v<ConnectionRecord>);
