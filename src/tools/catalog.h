// Lookup in a compiled message catalog (the GNU .mo format: a header, then
// tables of lengths and offsets of the original and the translated texts,
// the originals sorted by their bytes). The catalog is checked as it is
// read, so a damaged one finds nothing rather than reading outside itself.
#ifndef CATALOG_H
#define CATALOG_H

#include <stddef.h>

// The translation of msgid, or NULL. For a text with plural forms, msgid is
// its singular and the first form is returned: the catalog is Japanese,
// which has one form.
const char *catalog_find(const unsigned char *mo, size_t size, const char *msgid);

#endif
