// The JSON-line reader on arbitrary lines: it never throws or crashes, and
// a line it accepts gives a visit the report and the trap take.
#include <cstddef>
#include <cstdint>
#include <string>

#include "report/report.h"
#include "report/trap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  Visit v;
  if (!parsejsonline(line, &v)) return 0;
  if (!v.from_json || v.ip_text.empty() || v.ip_text.size() > 15) __builtin_trap();
  Report r(v.time / 86400, 1);
  r.add(v);
  Trap t(TrapRule{}, v.time);
  t.add(v);
  if (r.text(ReadStats{}).empty()) __builtin_trap();
  return 0;
}
