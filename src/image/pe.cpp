#include "pe.h"

static uint32_t rd16(const unsigned char *p)
{
    return p[0] | (uint32_t)p[1] << 8;
}

static uint32_t rd32(const unsigned char *p)
{
    return p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

uint32_t pe_image_end(const unsigned char *head, size_t n)
{
    if (n < 64 || head[0] != 'M' || head[1] != 'Z')
        return 0;
    uint32_t pe = rd32(head + 0x3C);
    if (pe > n || n - pe < 24 || rd32(head + pe) != 0x00004550)  // "PE\0\0"
        return 0;
    uint32_t sections = rd16(head + pe + 6);
    uint32_t optional = rd16(head + pe + 20);
    uint64_t table = (uint64_t)pe + 24 + optional;
    if (optional < 64 || table + (uint64_t)sections * 40 > n)
        return 0;
    uint64_t end = rd32(head + pe + 24 + 60);  // SizeOfHeaders
    for (uint32_t i = 0; i < sections; i++) {
        const unsigned char *s = head + table + i * 40;
        uint64_t raw_size = rd32(s + 16), raw_at = rd32(s + 20);
        if (raw_size > 0 && raw_at + raw_size > end)
            end = raw_at + raw_size;
    }
    return end > 0xFFFFFFFFu ? 0 : (uint32_t)end;
}

uint32_t pe_file_image_end(FILE *f)
{
    static unsigned char head[PE_HEAD_SIZE];
    if (fseek(f, 0, SEEK_SET) != 0)
        return 0;
    size_t n = fread(head, 1, sizeof head, f);
    return pe_image_end(head, n);
}
