#include "canonical.h"

#include <string.h>

int lzh_code_build(struct Code *code, int nsym, const unsigned char *len, int fast)
{
    uint16_t next[17];
    memset(code->count, 0, sizeof code->count);
    for (int s = 0; s < nsym; s++) {
        if (len[s] > 16)
            return -1;
        code->count[len[s]]++;
    }
    code->count[0] = 0;

    int left = 1;
    unsigned c = 0, idx = 0;
    for (int l = 1; l <= 16; l++) {
        left = left * 2 - code->count[l];
        if (left < 0)
            return -1;
        code->first[l] = (uint16_t)c;
        next[l] = (uint16_t)c;
        code->offset[l] = (uint16_t)idx;
        idx += code->count[l];
        c = (c + code->count[l]) << 1;
    }

    code->fast = fast;
    int size = 1 << fast;
    for (int i = 0; i < size; i++)
        code->table[i] = NO_CODE;
    uint16_t placed[17];
    memcpy(placed, code->offset, sizeof placed);
    for (int s = 0; s < nsym; s++) {
        int l = len[s];
        if (l == 0)
            continue;
        code->sorted[placed[l]++] = (uint16_t)s;
        unsigned v = next[l]++;
        if (l <= fast) {
            int span = 1 << (fast - l);
            uint16_t entry = (uint16_t)((s << 5) | l);
            for (int i = 0; i < span; i++)
                code->table[(v << (fast - l)) + i] = entry;
        } else {
            code->table[v >> (l - fast)] = LONG_CODE;
        }
    }
    return 0;
}

void lzh_code_single(struct Code *code, int symbol, int fast)
{
    code->fast = fast;
    for (int i = 0; i < (1 << fast); i++)
        code->table[i] = (uint16_t)(symbol << 5);
}

