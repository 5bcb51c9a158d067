// Folding names as Windows compares them, for code page 932: the packer's
// alone, so that the extractor carries no tables.
#include <stdint.h>

#include "code_table.h"
#include "winname.h"

#include "cp932_table.inc"

enum { COUNT_ASSIGNED = sizeof CP932_ASSIGNED / sizeof CP932_ASSIGNED[0],
       COUNT_FOLD = sizeof CP932_FOLD / sizeof CP932_FOLD[0] };

static int is_assigned_pair(unsigned code)
{
    for (int i = 0; i < COUNT_ASSIGNED; i++)
        if (code >= CP932_ASSIGNED[i][0] && code <= CP932_ASSIGNED[i][1])
            return 1;
    return 0;
}

static unsigned fold_pair(unsigned code)
{
    return code_table_find(CP932_FOLD, COUNT_FOLD, code, code);
}

size_t win_name_fold(const char *c, size_t n, char *out, LeadByteRule is_lead)
{
    n = win_stripped_length(c, n);
    size_t i = 0;
    while (i < n) {
        unsigned char b = (unsigned char)c[i];
        if (i + 1 < n && win_is_pair(is_lead, b, (unsigned char)c[i + 1])) {
            unsigned f = fold_pair((unsigned)b << 8 | (unsigned char)c[i + 1]);
            out[i] = (char)(f >> 8);
            out[i + 1] = (char)(f & 0xFF);
            i += 2;
        } else {
            out[i++] = (char)(b >= 'a' && b <= 'z' ? b - 32 : b);
        }
    }
    out[n] = '\0';
    return n;
}

long win_name_unassigned(const char *c, size_t n, LeadByteRule is_lead)
{
    for (size_t i = 0; i < n; i++) {
        unsigned char b = (unsigned char)c[i];
        if (i + 1 < n && win_is_pair(is_lead, b, (unsigned char)c[i + 1])) {
            if (!is_assigned_pair((unsigned)b << 8 | (unsigned char)c[i + 1]))
                return (long)i;
            i++;
        } else if (is_lead(b) || b == 0x80 || b == 0xA0 || b >= 0xFD) {
            return (long)i;
        }
    }
    return -1;
}
