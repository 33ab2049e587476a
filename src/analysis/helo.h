// HELO classification.
#pragma once
#include "common/record.h"

// Classifies the record's HELO name (tag "HL") or finds it / the reverse name
// in the URI lists. Returns the class code, a URI list entry number, or 0.
int checkhelo(ConnectionRecord* r, int local);
