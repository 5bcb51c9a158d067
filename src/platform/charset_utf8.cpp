// The packer's character set: UTF-8, which holds every name a publisher's
// files may have, so that none is lost before it is judged.
#include "platform.h"

extern const enum PlatCharset PLAT_CHARSET = PLAT_CHARSET_UTF8;
