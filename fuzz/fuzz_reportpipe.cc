// The pipe-line reader on arbitrary lines, and the report on what it takes:
// a connection it accepts has a real address and lands in a page where no
// byte of the line shapes the markup.
#include <cstddef>
#include <cstdint>
#include <string>

#include "report/report.h"
#include "report/trap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  Visit v;
  if (!parsepipeline(line, &v)) return 0;
  if (v.ip_text.empty() || v.ip_text.size() > 15) __builtin_trap();
  Report r(v.time / 86400, 2);
  r.add(v);
  Trap t(TrapRule{}, v.time);
  t.add(v);
  std::string page = r.html(ReadStats{});
  for (unsigned char c : page)
    if (c < 0x20 && c != '\n') __builtin_trap();
  if (page.find("<script") != std::string::npos) __builtin_trap();
  return 0;
}
