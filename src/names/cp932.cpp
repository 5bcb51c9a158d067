// Names from UTF-16 into code page 932, as Windows writes them without best
// fit: the packer's alone, so that the extractor carries no tables. One
// conversion for every build: iconv's and the system's tables differ on a
// few characters, and a name must not depend on where it was packed.
#include <stdint.h>

#include "code_table.h"
#include "winname.h"

#include "cp932_unicode.inc"

enum { COUNT_FROM_UNICODE = sizeof CP932_FROM_UNICODE / sizeof CP932_FROM_UNICODE[0] };

// The double-byte code of character u, or 0 if it has none.
static unsigned double_byte_code(unsigned u)
{
    return code_table_find(CP932_FROM_UNICODE, COUNT_FROM_UNICODE, u, 0);
}

long win_name_from_utf16(const uint16_t *u, size_t n, char *out)
{
    size_t o = 0;
    for (size_t i = 0; i < n; i++) {
        unsigned c = u[i];
        // ASCII is itself (0x5C included: code page 932 reads it as the
        // backslash), and the half-width katakana are single bytes.
        if (c < 0x80) {
            out[o++] = (char)c;
        } else if (c >= 0xFF61 && c <= 0xFF9F) {
            out[o++] = (char)(c - 0xFEC0);
        } else if (unsigned code = double_byte_code(c)) {
            out[o++] = (char)(code >> 8);
            out[o++] = (char)(code & 0xFF);
        } else {
            return -1;
        }
    }
    out[o] = '\0';
    return (long)o;
}
