// The Windows extractor reads only the archive after its own image: no
// search, and none linked.
#include "../lzh/find.h"

extern const LzhSearch SFX_SEARCH;
const LzhSearch SFX_SEARCH = NULL;
