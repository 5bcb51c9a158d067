// The language on Windows: the Japanese catalog compiled in, chosen when the
// user reads Japanese.
#include "messages.h"

#include "platform/platform.h"

#include "catalog.h"

namespace fs = std::filesystem;

// Generated from po/ja.po at build time, in UTF-8.
extern const unsigned char CATALOG_JA[];
extern const size_t CATALOG_JA_SIZE;

// The catalog in use: none (English) until messages_init finds the user
// reads Japanese. One per process, as gettext's own binding is.
static struct {
    const unsigned char *mo;
    size_t size;
} active;

void messages_init(const fs::path &)
{
    if (plat_user_reads_japanese()) {
        active.mo = CATALOG_JA;
        active.size = CATALOG_JA_SIZE;
    }
}

const char *tr(const char *english)
{
    const char *t = active.mo ? catalog_find(active.mo, active.size, english) : NULL;
    return t && *t ? t : english;
}

const char *trn(const char *one, const char *many, unsigned long n)
{
    const char *t = active.mo ? catalog_find(active.mo, active.size, one) : NULL;
    return t && *t ? t : n == 1 ? one : many;
}
