// Code page 932's generated tables are sorted pairs of 16-bit codes: the
// packer looks a code up by the first of a pair.
#ifndef CODE_TABLE_H
#define CODE_TABLE_H

#include <stdint.h>

// The second code of the pair whose first is key in table[0..n), or
// missing if none is.
static inline unsigned code_table_find(const uint16_t (*table)[2], int n, unsigned key,
                                       unsigned missing)
{
    int lo = 0, hi = n - 1;
    while (lo <= hi) {
        int mid = (lo + hi) / 2;
        if (table[mid][0] == key)
            return table[mid][1];
        if (table[mid][0] < key)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    return missing;
}

#endif
