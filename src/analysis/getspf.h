// The SPF verdict of a connection: the only place where the analysis asks
// the SPF evaluator.
#pragma once
#include <vector>

#include "analysis/dnsquery.h"
#include "analysis/recordmemo.h"
#include "common/record.h"

// SPF verdict word for the record's client, sender and HELO into spf_result.
void getspf(ConnectionRecord* r, const ClientAddress& c);
// The question the SPF check asks first (the TXT records of the sender's
// domain, or of the HELO name without a sender), to be asked early.
void spfquestions(const ConnectionRecord* r, std::vector<Question>* out);
