// The native extractor searches a file it is given for an archive inside
// another tool's self-extractor.
#include "../lzh/find.h"

extern const LzhSearch SFX_SEARCH;
const LzhSearch SFX_SEARCH = lzh_find_archive;
