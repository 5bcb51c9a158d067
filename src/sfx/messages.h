// The reasons the extractor gives, in the user's language (texts.h).
#ifndef SFX_MESSAGES_H
#define SFX_MESSAGES_H

#include "../lzh/status.h"

// Why an archive or a file failed: the status's words, or for a read or
// write error the system's reason (errnum).
const char *reason_text(LzhStatus s, int errnum);

// A system error (an errno value) in words.
const char *errno_text(int errnum);

#endif
