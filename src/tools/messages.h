// What mkinstaller says, in the user's language. The code holds each text
// once, in English, marked _("...") where it is shown and N_("...") where it
// is only named; po/ja.po holds the Japanese. Natively gettext picks it by
// LANG/LC_MESSAGES from the installed catalog; on Windows the same catalog,
// in code page 932, is compiled in and used when the user's UI language is
// Japanese and the console writes code page 932.
#ifndef MESSAGES_H
#define MESSAGES_H

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

// printf into a string.
#ifdef __MINGW_PRINTF_FORMAT
std::string format(const char *fmt, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));
#else
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
#endif

#endif
