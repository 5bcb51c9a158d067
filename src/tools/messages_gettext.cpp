// The language natively: gettext, with the catalog installed beside the
// program.
#include "messages.h"

#include <libintl.h>
#include <locale.h>

namespace fs = std::filesystem;

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
