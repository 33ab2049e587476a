// What the fuzz targets share: a quiet program state, a fixed clock, and
// the checks of a connection record they fill.
#pragma once
#include <cstddef>
#include <cstring>

#include "clock.h"
#include "common/record.h"
#include "common/settings.h"

// Default settings without any log output.
inline void quietsettings() {
  setdefaults();
  settings.LogLevel = -1;
  settings.LogPath[0] = '\0';
}

// Traps unless the field is zero-terminated within its capacity; returns its length.
template <size_t N>
size_t checktext(const char (&field)[N]) {
  const void* nul = memchr(field, '\0', N);
  if (nul == nullptr) __builtin_trap();
  return (size_t)(static_cast<const char*>(nul) - field);
}

// Every text field of the record is terminated within its capacity.
inline void checkterminated(const ConnectionRecord& r) {
  auto all = [](const auto&... field) { (checktext(field), ...); };
  all(r.thread_tag, r.helo, r.auth_data, r.mail_from, r.rcpt_to, r.last_error, r.ip_hex, r.client_ip,
      r.ip_network, r.bgp_prefix, r.ptr_name, r.list_tag, r.list_detail, r.country, r.owner, r.sb_item50,
      r.sb_item55, r.sb_item54, r.spf_result);
}
