// The native extractor searches a file it is given for an archive inside
// another tool's self-extractor, also where another system's program says.
#include "../lzh/find.h"

extern const LzhSearch SFX_SEARCH;
const LzhSearch SFX_SEARCH = lzh_find_archive;
extern int (*const SFX_MORE_PLACES)(FILE *f, int64_t *places, int n);
int (*const SFX_MORE_PLACES)(FILE *f, int64_t *places, int n) = lzh_amiga_overlay_places;
