// The resolver's answer parser on arbitrary response bytes.
#include <arpa/nameser.h>

#include <cstddef>
#include <cstdint>

#include "dns/reply.h"
#include "dns/resolver.h"

namespace {

bool knownstatus(int st) {
  switch (st) {
    case dns::kStatusOk:
    case dns::kStatusNameError:
    case dns::kStatusServFail:
    case dns::kStatusNoRecords:
    case dns::kStatusBadPacket:
      return true;
    default:
      // Every other response code maps onto 9000 + code (4 bits).
      return st >= 9000 && st <= 9015;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dns::RecordList out;
  out.resize(1);  // whatever the caller's list held is replaced
  int st = dns::parseresponse(data, size, &out);
  if (!knownstatus(st)) __builtin_trap();
  if (st != dns::kStatusOk) {
    if (!out.empty()) __builtin_trap();
    return 0;
  }
  bool answer = false;
  size_t txtbytes = 0;
  for (const dns::Record& r : out) {
    // Names come out of the uncompressor's buffer of NS_MAXDNAME bytes.
    if (r.owner.size() >= NS_MAXDNAME || r.target.size() >= NS_MAXDNAME) __builtin_trap();
    if (!r.owner.empty() && r.owner.back() == '.' && r.owner.size() > 1 && r.owner[r.owner.size() - 2] != '\\')
      __builtin_trap();
    switch (r.section) {
      case dns::Section::Answer:
        answer = true;
        break;
      case dns::Section::Authority:
      case dns::Section::Additional:
        break;
      default:
        __builtin_trap();
    }
    if (r.type != dns::kTypeTXT && !r.strings.empty()) __builtin_trap();
    for (const std::string& s : r.strings) {
      if (s.size() > 255) __builtin_trap();
      txtbytes += s.size() + 1;
    }
  }
  // The strings of all records together fit the message.
  if (!answer || txtbytes > size) __builtin_trap();
  return 0;
}
