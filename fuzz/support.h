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
  checktext(r.thread_tag);
  checktext(r.helo);
  checktext(r.auth_data);
  checktext(r.mail_from);
  checktext(r.rcpt_to);
  checktext(r.last_error);
  checktext(r.ip_hex);
  checktext(r.client_ip);
  checktext(r.ip_network);
  checktext(r.bgp_prefix);
  checktext(r.ptr_name);
  checktext(r.list_tag);
  checktext(r.list_detail);
  checktext(r.country);
  checktext(r.owner);
  checktext(r.sb_item50);
  checktext(r.sb_item55);
  checktext(r.sb_item54);
  checktext(r.spf_result);
}
