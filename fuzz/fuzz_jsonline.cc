// The JSON line of a record whose texts, lists and numbers are the fuzzer's
// NUL-separated pieces (client and DNS bytes of any kind): it is always
// written, and it parses back as one object (nlohmann's parser also checks
// that every string is valid UTF-8).
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "support.h"
#include "analysis/jsonline.h"
#include "base/textbuf.h"
#include "common/recordlists.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (quietsettings(), true);
  const char *p = (const char*)data, *end = p + size;
  auto next = [&] {
    const char* nul = (const char*)memchr(p, '\0', (size_t)(end - p));
    std::string s(p, nul ? nul : end);
    p = nul ? nul + 1 : end;
    return s;
  };
  ConnectionRecord* r = (ConnectionRecord*)calloc(1, sizeof(ConnectionRecord));
  for (char* field : {r->helo, r->auth_data, r->last_error, r->ptr_name, r->list_detail, r->owner,
                      r->spf_domain})
    textcopy(field, kTextCap + 1, next().c_str());
  textcopy(r->country, next().c_str());
  textcopy(r->helo_class, next().c_str());
  uint32_t n[8] = {};
  memcpy(n, p, std::min(sizeof n, (size_t)(end - p)));
  p += std::min(sizeof n, (size_t)(end - p));
  r->conn_ms = (int64_t)n[0] * 1000003 - (int64_t)n[1];
  r->duration_ms = n[2];
  r->signals = n[3];
  r->asn = (int32_t)n[4];
  r->spf_source = (SpfSource)(n[5] % 6);
  r->analysis = (AnalysisOutcome)(n[6] % 4);
  settings.FakeSmtp = ready && (n[7] & 1);
  // The rest: "M" begins a transaction, "R" adds a recipient, else a list answer.
  while (p < end) {
    std::string kind = next(), text = next();
    if (kind == "M") transactionbegin(r, text.c_str());
    else if (kind == "R") transactionrcpt(r, text.c_str());
    else listhitadd(r, (ListKind)(kind + "w")[0], text.c_str(), next().c_str(), kind.size() > 1);
  }
  std::string out;
  if (!jsonline(r, &out) || out.find('\n') != std::string::npos) __builtin_trap();
  if (!nlohmann::json::parse(out, nullptr, false).is_object()) __builtin_trap();
  free(r);
  return 0;
}
