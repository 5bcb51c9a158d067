#include "crc16.h"

// Eight tables, so the loop takes eight bytes per step (slicing by 8: the
// table of a CRC is linear over XOR, and table k is a byte's effect k bytes
// further on); all extracted and packed data goes through here once.
enum { SLICES = 8 };
static uint16_t table[SLICES][256];
static int table_ready;

static void make_table(void)
{
    for (unsigned i = 0; i < 256; i++) {
        unsigned c = i;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (c >> 1) ^ 0xA001u : c >> 1;
        table[0][i] = (uint16_t)c;
    }
    for (int k = 1; k < SLICES; k++)
        for (unsigned i = 0; i < 256; i++)
            table[k][i] = (uint16_t)((table[k - 1][i] >> 8) ^ table[0][table[k - 1][i] & 0xFF]);
    table_ready = 1;
}

uint16_t crc16_update(uint16_t crc, const unsigned char *p, size_t n)
{
    if (!table_ready)
        make_table();
    unsigned c = crc;
    for (; n >= SLICES; n -= SLICES, p += SLICES) {
        c ^= (unsigned)p[0] | ((unsigned)p[1] << 8);
        c = table[7][c & 0xFF] ^ table[6][c >> 8] ^ table[5][p[2]] ^ table[4][p[3]] ^
            table[3][p[4]] ^ table[2][p[5]] ^ table[1][p[6]] ^ table[0][p[7]];
    }
    for (; n > 0; n--)
        c = (c >> 8) ^ table[0][(c ^ *p++) & 0xFF];
    return (uint16_t)c;
}

// The register after a zero bit is a linear map of the one before, so after
// n zero bytes it is that map to the power 8n: a 16x16 matrix over GF(2),
// one column per bit, raised by squaring.
static uint16_t apply(const uint16_t *m, uint16_t v)
{
    uint16_t r = 0;
    for (int i = 0; v; i++, v >>= 1)
        if (v & 1)
            r ^= m[i];
    return r;
}

static void square(uint16_t *m)
{
    uint16_t t[16];
    for (int i = 0; i < 16; i++)
        t[i] = apply(m, m[i]);
    for (int i = 0; i < 16; i++)
        m[i] = t[i];
}

uint16_t crc16_combine(uint16_t crc_a, uint16_t crc_b, uint64_t len_b)
{
    uint16_t m[16];  // one zero bit
    m[0] = 0xA001;
    for (int i = 1; i < 16; i++)
        m[i] = (uint16_t)(1u << (i - 1));
    for (int k = 0; k < 3; k++)  // one zero byte
        square(m);
    uint16_t c = crc_a;
    for (; len_b; len_b >>= 1) {
        if (len_b & 1)
            c = apply(m, c);
        square(m);
    }
    return (uint16_t)(c ^ crc_b);
}
