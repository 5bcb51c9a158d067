#include "messages.h"

#include <stdarg.h>
#include <stdio.h>

#include "platform/platform.h"

namespace fs = std::filesystem;

#ifdef _WIN32
#include "catalog.h"

// Generated from po/ja.po at build time, in code page 932.
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

#else
#include <libintl.h>
#include <locale.h>

// Only what chooses the language and the characters it is written in: the
// numbers and sorting stay as the C locale has them.
void messages_init(const fs::path &dir)
{
    setlocale(LC_MESSAGES, "");
    setlocale(LC_CTYPE, "");
    // Installed: share/locale beside share/grelm_installer; in a build tree,
    // locale/ beside the program.
    fs::path catalogs = dir / "locale";
#ifdef LOCALE_FROM_BIN
    std::error_code ec;
    if (fs::is_directory(dir / LOCALE_FROM_BIN, ec))
        catalogs = dir / LOCALE_FROM_BIN;
#endif
    bindtextdomain(GRELM_TEXT_DOMAIN, catalogs.c_str());
}

const char *tr(const char *english)
{
    return dgettext(GRELM_TEXT_DOMAIN, english);
}

const char *trn(const char *one, const char *many, unsigned long n)
{
    return dngettext(GRELM_TEXT_DOMAIN, one, many, n);
}
#endif

std::string format(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char small[256];
    int n = vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0)
        return fmt;
    if (size_t(n) < sizeof small)
        return std::string(small, size_t(n));
    std::string s(size_t(n) + 1, '\0');
    va_start(ap, fmt);
    vsnprintf(&s[0], s.size(), fmt, ap);
    va_end(ap);
    s.resize(size_t(n));
    return s;
}
