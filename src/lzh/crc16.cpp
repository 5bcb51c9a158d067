#include "crc16.h"

// Two tables, so the loop takes two bytes per step (the table of a CRC is
// linear over XOR); all extracted data goes through here once.
static uint16_t table[2][256];
static int table_ready;

static void make_table(void)
{
    for (unsigned i = 0; i < 256; i++) {
        unsigned c = i;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (c >> 1) ^ 0xA001u : c >> 1;
        table[0][i] = (uint16_t)c;
    }
    for (unsigned i = 0; i < 256; i++)
        table[1][i] = (uint16_t)((table[0][i] >> 8) ^ table[0][table[0][i] & 0xFF]);
    table_ready = 1;
}

uint16_t crc16_update(uint16_t crc, const unsigned char *p, size_t n)
{
    if (!table_ready)
        make_table();
    unsigned c = crc;
    for (; n >= 2; n -= 2, p += 2) {
        c ^= (unsigned)p[0] | ((unsigned)p[1] << 8);
        c = table[1][c & 0xFF] ^ table[0][c >> 8];
    }
    if (n)
        c = (c >> 8) ^ table[0][(c ^ *p) & 0xFF];
    return (uint16_t)c;
}
