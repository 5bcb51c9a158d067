#include "messages.h"

#include <stdarg.h>
#include <stdio.h>

#include "platform/platform.h"

bool show(FILE *f, const std::string &text)
{
    return plat_put_text(f, text.c_str()) == 0;
}

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
