// What mkinstaller says, in the user's language. The code holds each text
// once, in English, marked _("...") where it is shown and N_("...") where it
// is only named; po/ja.po holds the Japanese. Natively gettext picks it by
// LANG/LC_MESSAGES from the installed catalog; on Windows the same catalog
// is compiled in and used when the user's UI language is Japanese, and the
// text goes to a console as characters whatever its code page (show()).
#ifndef MESSAGES_H
#define MESSAGES_H

#include <stdio.h>

#include <filesystem>
#include <string>

#define GRELM_TEXT_DOMAIN "grelm_installer"

// program_dir: where this program is, near which its catalogs are installed.
void messages_init(const std::filesystem::path &program_dir);
const char *tr(const char *english) __attribute__((format_arg(1)));
// For a count n: English has a text for one and one for many.
const char *trn(const char *one, const char *many, unsigned long n)
    __attribute__((format_arg(1), format_arg(2)));
#define _(s) tr(s)
#define N_(s) s

// Writes text to f, as characters on a console whatever its code page
// (plat_put_text); false if it could not be written.
bool show(FILE *f, const std::string &text);

// printf into a string.
#ifdef __MINGW_PRINTF_FORMAT
std::string format(const char *fmt, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));
#else
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
#endif

#endif
