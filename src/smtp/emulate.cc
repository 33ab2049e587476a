// PLACEHOLDER until the emulation lands: every input ends the dialogue.
#include "smtp/emulate.h"
int EmulateSmtp(ConnectionRecord*, const char*) { return SMTP_LOST; }
