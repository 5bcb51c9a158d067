// The extractor's character set: an archive's names and its own words are
// code page 932 on every machine.
#include "platform.h"

extern const enum PlatCharset PLAT_CHARSET = PLAT_CHARSET_CP932;
