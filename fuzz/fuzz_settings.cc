// The settings-file reader on arbitrary file text.
#include <cstdint>
#include <cstring>
#include <string>

#include "base/text.h"
#include "common/inifile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const sections[] = {"Listener", "Options", "DNSinfo", "SPFv1", "Process",
                                         "Logging"};
  static const char* const keys[] = {"HostName", "ListenIP", "ListenPort", "LogPath", "Threads",
                                     "NameServer"};
  const char* text = reinterpret_cast<const char*>(data);
  for (const char* section : sections)
    for (const char* key : keys) {
      char small[16];
      char value[261];
      for (char* buf : {small, value}) {
        size_t cap = buf == small ? sizeof small : sizeof value;
        memset(buf, 'Z', cap);
        if (inilookup(text, size, section, key, buf, cap)) {
          if (memchr(buf, '\0', cap) == nullptr) __builtin_trap();
          (void)iniparseint(buf, 7);
          (void)numberfits(buf, true, false);
        }
      }
    }
  std::string value(reinterpret_cast<const char*>(data), size);
  (void)iniparseint(value.c_str(), 3);
  return 0;
}
