// The JSON line of a connection: everything the record knows, for readers
// that want more than the pipe line's columns.
#pragma once
#include <string>

#include "common/record.h"

// One JSON object (RFC 8259, no line break) for an analysed record whose
// placeholders the connection line has set. Texts from clients and DNS keep
// their bytes where they are valid UTF-8; invalid bytes become U+FFFD and
// control bytes are escaped. Returns false (out empty) only when memory ran
// out.
bool jsonline(const ConnectionRecord* r, std::string* out);
