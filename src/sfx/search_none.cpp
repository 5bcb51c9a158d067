// The Windows extractor reads only the archive after its own image: no
// search, and none linked.
#include "../lzh/find.h"

extern const LzhSearch SFX_SEARCH;
const LzhSearch SFX_SEARCH = NULL;
extern int (*const SFX_MORE_PLACES)(FILE *f, int64_t *places, int n);
int (*const SFX_MORE_PLACES)(FILE *f, int64_t *places, int n) = NULL;
