// The SMTP emulation: a closed Sendmail-like server that never accepts mail.
#pragma once
#include "server/record.h"

enum SmtpResult { SMTP_CONTINUE = 1, SMTP_CLOSE = 2, SMTP_LOST = 3 };

// Handles one client input (the zero-terminated content of the session's
// line buffer): logs it, answers it and updates the record.
int EmulateSmtp(ConnectionRecord* r, const char* input);
