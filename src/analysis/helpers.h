// Small helpers on names, addresses, files and clocks.
#pragma once
#include <cstddef>
#include <cstdint>

#include "server/record.h"

// 1 when text parses as an IPv4 address in classic inet_addr notation
// (1 to 4 parts, decimal, octal or hex) and is not the all-ones address.
int isipaddr(const char* text);
// 1 when the file's status can be read and its size is at least one byte.
int fileexists(const char* path);
// Current UTC time; milliseconds always 0.
void utctime(SysTime* t);
// Current UTC time as "%a, %d %b %Y %H:%M:%S GMT" with English names.
// REQUIRES: buf holds 128 bytes. Returns the length written.
size_t gmtdate(char* buf);
// Best name for the local host, into a buffer of at least 261 bytes that is
// not cleared first. Returns 1 when a name was found by reverse lookup.
int localhostname(char* buf);
