// The reasons the extractor gives, in the user's language (texts.h).
#ifndef SFX_MESSAGES_H
#define SFX_MESSAGES_H

#include <stdio.h>

#include "../lzh/status.h"

// Writes a text of texts.h, its %s filled in, to f: as characters where f is
// a console, so that it reads right whatever the console's code page is,
// else as the bytes it is (plat_put_text).
void say(FILE *f, const char *format, ...);

// Why an archive or a file failed: the status's words, or for a read or
// write error the system's reason (errnum).
const char *reason_text(LzhStatus s, int errnum);

// A system error (an errno value) in words.
const char *errno_text(int errnum);

#endif
