// The JSON line of a record whose texts, packed lists and numbers come from
// the fuzzer (client and DNS bytes of any kind): the writer never fails for
// lack of anything but memory, and what it writes parses back as one JSON
// object with every string valid UTF-8 (nlohmann's parser checks both).
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "support.h"
#include "analysis/jsonline.h"
#include "base/textbuf.h"
#include "common/recordlists.h"

namespace {

// Hands out the input's NUL-separated pieces, then empty texts.
struct Pieces {
  const char* p;
  const char* end;
  std::string next() {
    const char* nul = static_cast<const char*>(memchr(p, '\0', (size_t)(end - p)));
    const char* stop = nul ? nul : end;
    std::string s(p, stop);
    p = nul ? nul + 1 : end;
    return s;
  }
  uint32_t number() {
    uint32_t v = 0;
    for (unsigned char c : next()) v = v * 31 + c;
    return v;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (quietsettings(), true);
  (void)ready;
  Pieces in{reinterpret_cast<const char*>(data), reinterpret_cast<const char*>(data) + size};
  ConnectionRecord* r = (ConnectionRecord*)calloc(1, sizeof(ConnectionRecord));
  for (auto* field : {r->helo, r->auth_data, r->last_error, r->ptr_name, r->list_detail,
                      r->owner, r->spf_domain})
    textcopy(field, kTextCap + 1, in.next().c_str());
  textcopy(r->country, in.next().c_str());
  textcopy(r->helo_class, in.next().c_str());
  r->conn_ms = (int64_t)in.number() * 1000003;
  r->duration_ms = in.number();
  r->signals = in.number();
  r->asn = (int32_t)in.number();
  r->spf_source = (SpfSource)(in.number() % 6);
  r->analysis = (AnalysisOutcome)(in.number() % 4);
  settings.FakeSmtp = (int32_t)(in.number() & 1);
  // The rest: transactions ("M" starts one), recipients and list answers.
  while (in.p < in.end) {
    std::string kind = in.next(), text = in.next();
    if (kind == "M") transactionbegin(r, text.c_str());
    else if (kind == "R") transactionrcpt(r, text.c_str());
    else listhitadd(r, (ListKind)(kind.empty() ? 'w' : kind[0]), text.c_str(), in.next().c_str(), kind.size() > 1);
  }
  checkterminated(*r);
  std::string out;
  if (!jsonline(r, &out) || out.find('\n') != std::string::npos) __builtin_trap();
  nlohmann::json j = nlohmann::json::parse(out, nullptr, false);
  if (!j.is_object() || !j["smtp"]["transactions"].is_array()) __builtin_trap();
  free(r);
  return 0;
}
