// Placeholder backend: answers every query with a server failure.
#include "platform/resolver.h"

namespace dns {

namespace {
class StubResolver : public Resolver {
 public:
  int Query(const char*, uint16_t, unsigned, RecordList* out) override {
    out->clear();
    return kStatusServFail;
  }
};
}  // namespace

Resolver* systemresolver() {
  static StubResolver r;
  return &r;
}

int setnameservers(const char*) { return 1; }

int parseresponse(const uint8_t*, size_t, RecordList* out) {
  out->clear();
  return kStatusBadPacket;
}

}  // namespace dns
