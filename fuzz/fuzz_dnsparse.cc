// The resolver's answer parser on arbitrary response bytes.
#include <arpa/nameser.h>

#include <cstdint>

#include "dns/reply.h"
#include "dns/resolver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dns::RecordList out;
  out.resize(1);  // whatever the caller's list held is replaced
  const int st = dns::parseresponse(data, size, &out);
  // Every response code without a status of its own maps onto 9000 + code.
  const bool known = st == dns::kStatusOk || st == dns::kStatusNameError || st == dns::kStatusServFail ||
                     st == dns::kStatusNoRecords || st == dns::kStatusBadPacket || (st >= 9000 && st <= 9015);
  if (!known || (st != dns::kStatusOk && !out.empty())) __builtin_trap();
  bool answer = false;
  size_t txtbytes = 0;
  for (const dns::Record& r : out) {
    // Names come out of the uncompressor's buffer of NS_MAXDNAME bytes.
    if (r.owner.size() >= NS_MAXDNAME || r.target.size() >= NS_MAXDNAME) __builtin_trap();
    answer |= r.section == dns::Section::Answer;
    if (r.type != dns::kTypeTXT && !r.strings.empty()) __builtin_trap();
    for (const std::string& s : r.strings) {
      if (s.size() > 255) __builtin_trap();
      txtbytes += s.size() + 1;
    }
  }
  // An answer has records, and their strings together fit the message.
  if ((st == dns::kStatusOk && !answer) || txtbytes > size) __builtin_trap();
  return 0;
}
