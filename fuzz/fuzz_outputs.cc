// Hostile text to the collectors: input lines are a message, then field
// names and values in turn (values also name zones of the metrics page).
// The syslog message's structured data must read back as one element of
// name="value" pairs; each page line is a comment or ends in a number.
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "base/metrics.h"
#include "platform/systemlog.h"
#include "server/metricspage.h"

static void check(bool ok) { if (!ok) __builtin_trap(); }

// Reads the element after "conn " and returns the number of pairs.
static size_t readelement(const std::string& m) {
  size_t i = m.find(" conn [nestrap@32473");
  check(i != std::string::npos);
  i += 20;
  size_t pairs = 0;
  while (m[i] == ' ') {
    for (i++; m[i] != '='; i++) check(m[i] > 32 && m[i] < 127 && m[i] != ']' && m[i] != '"');
    check(m[++i] == '"');
    for (i++; m[i] != '"'; i++) {
      check(m[i] >= 32 && m[i] < 127 && m[i] != ']');
      if (m[i] == '\\') check(m[++i] == '"' || m[i] == '\\' || m[i] == ']');
    }
    i++;
    pairs++;
  }
  check(m.compare(i, 2, "] ") == 0);
  return pairs;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < size; i++)
    if (data[i] == '\n') parts.emplace_back();
    else if (data[i] != '\0') parts.back() += (char)data[i];
  std::vector<plat::LogField> fields;
  for (size_t i = 1; i + 1 < parts.size(); i += 2) {
    if (parts[i].empty()) continue;
    fields.push_back({parts[i].c_str(), parts[i + 1].c_str()});
    metrics::count(metrics::kZones, parts[i + 1].c_str());
  }
  std::string m = plat::syslogformat("2026-01-01T00:00:00Z", parts[0].c_str(), 1,
                                     parts[0].c_str(), fields.data(), fields.size());
  check(readelement(m) == fields.size());

  std::string page = metrics::render({0, 0, 0, 0, parts[0].c_str()});
  for (size_t start = 0, end; start < page.size(); start = end + 1) {
    end = page.find('\n', start);
    check(end != std::string::npos);
    check(page[start] == '#' || isdigit((unsigned char)page[end - 1]));
  }
  uint32_t addr;
  uint16_t port;
  if (parsemetricslisten(parts[0].c_str(), &addr, &port)) check(port != 0);  // the Listen value
  return 0;
}
