#include "winname.h"

#include <string.h>

// Marks the texts for the packing tool's message catalog, which translates
// them where it shows them; here they stay English.
#define N_(s) s

int cp932_is_lead_byte(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

int win_is_pair(LeadByteRule is_lead, unsigned char a, unsigned char b)
{
    return is_lead(a) && b >= 0x40 && b <= 0xFE && b != 0x7F;
}

static int ascii_upper(int c)
{
    return c >= 'a' && c <= 'z' ? c - 32 : c;
}

size_t win_stripped_length(const char *c, size_t n)
{
    while (n > 0 && (c[n - 1] == '.' || c[n - 1] == ' '))
        n--;
    return n;
}

static int same_upper(const char *c, size_t n, const char *name)
{
    if (strlen(name) != n)
        return 0;
    for (size_t i = 0; i < n; i++)
        if (ascii_upper((unsigned char)c[i]) != name[i])
            return 0;
    return 1;
}

// The part before the first dot, its trailing spaces dropped, decides: the
// system maps "nul.txt" and "COM1 .log" to devices just like "NUL".
static int is_device_name(const char *c, size_t n)
{
    static const char *const plain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    size_t stem = 0;
    while (stem < n && c[stem] != '.')
        stem++;
    while (stem > 0 && c[stem - 1] == ' ')
        stem--;
    for (size_t k = 0; k < sizeof plain / sizeof plain[0]; k++)
        if (same_upper(c, stem, plain[k]))
            return 1;
    // COM0 and LPT0 too: documented as reserved, so never worth the risk.
    return stem == 4 && (same_upper(c, 3, "COM") || same_upper(c, 3, "LPT")) &&
           c[3] >= '0' && c[3] <= '9';
}

const char *win_name_problem(const char *c, size_t n, LeadByteRule is_lead)
{
    size_t chars = 0;
    for (size_t i = 0; i < n; i++, chars++) {
        unsigned char b = (unsigned char)c[i];
        if (i + 1 < n && win_is_pair(is_lead, b, (unsigned char)c[i + 1])) {
            i++;
            continue;
        }
        // Windows would turn it into a default character, and what follows
        // might then mean something else to it than it does to us.
        if (is_lead(b))
            return N_("a byte that starts no character in the code page");
        if (b < 0x20)
            return N_("control character in the name");
        if (strchr("<>:\"/\\|?*", b) != NULL)
            return N_("character Windows does not allow in names (< > : \" / \\ | ? *)");
    }
    if (chars > WIN_NAME_MAX)
        return N_("name longer than the 255 characters Windows allows");
    size_t len = win_stripped_length(c, n);
    if (len == 0)
        return N_("name of only dots or spaces");
    if (is_device_name(c, len))
        return N_("Windows device name");
    return NULL;
}
