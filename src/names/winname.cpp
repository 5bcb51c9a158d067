#include "winname.h"

#include <string.h>

int win_is_pair(LeadByteRule is_lead, unsigned char a, unsigned char b)
{
    return is_lead(a) && b >= 0x40 && b <= 0xFE && b != 0x7F;
}

static int ascii_upper(int c)
{
    return c >= 'a' && c <= 'z' ? c - 32 : c;
}

// Windows ignores trailing dots and spaces when it opens or creates a file.
static size_t stripped_length(const char *c, size_t n)
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
            return "a byte that starts no character in the code page";
        if (b < 0x20)
            return "control character in the name";
        if (strchr("<>:\"/\\|?*", b) != NULL)
            return "character Windows does not allow in names (< > : \" / \\ | ? *)";
    }
    if (chars > WIN_NAME_MAX)
        return "name longer than the 255 characters Windows allows";
    size_t len = stripped_length(c, n);
    if (len == 0)
        return "name of only dots or spaces";
    if (is_device_name(c, len))
        return "Windows device name";
    return NULL;
}

// Code page 932 keeps full-width letters in fixed runs: upper case at
// 82 60-79 (A-Z), 83 9F-B6 (Greek), 84 40-60 (Cyrillic); lower case at
// 82 81-9A, 83 BF-D6 and 84 70-91, where 84 7F is no character.
static unsigned char fold_trail(unsigned char lead, unsigned char t)
{
    if (lead == 0x82 && t >= 0x81 && t <= 0x9A)
        return (unsigned char)(t - 0x21);
    if (lead == 0x83 && t >= 0xBF && t <= 0xD6)
        return (unsigned char)(t - 0x20);
    if (lead == 0x84 && t >= 0x70 && t <= 0x7E)
        return (unsigned char)(t - 0x30);
    if (lead == 0x84 && t >= 0x80 && t <= 0x91)
        return (unsigned char)(t - 0x31);
    return t;
}

size_t win_name_fold(const char *c, size_t n, char *out, LeadByteRule is_lead)
{
    n = stripped_length(c, n);
    size_t i = 0;
    while (i < n) {
        unsigned char b = (unsigned char)c[i];
        if (i + 1 < n && win_is_pair(is_lead, b, (unsigned char)c[i + 1])) {
            out[i] = (char)b;
            out[i + 1] = (char)fold_trail(b, (unsigned char)c[i + 1]);
            i += 2;
        } else {
            out[i++] = (char)ascii_upper(b);
        }
    }
    out[n] = '\0';
    return n;
}
