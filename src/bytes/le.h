// Little-endian fields of the file formats this system reads and writes:
// LZH headers and PE headers store every number low byte first.
#ifndef BYTES_LE_H
#define BYTES_LE_H

#include <stdint.h>

static inline uint32_t le16(const unsigned char *p)
{
    return p[0] | (uint32_t)p[1] << 8;
}

static inline uint32_t le32(const unsigned char *p)
{
    return p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static inline uint64_t le64(const unsigned char *p)
{
    return le32(p) | (uint64_t)le32(p + 4) << 32;
}

static inline void put_le16(unsigned char *p, uint32_t v)
{
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
}

static inline void put_le32(unsigned char *p, uint32_t v)
{
    put_le16(p, v & 0xFFFF);
    put_le16(p + 2, v >> 16);
}

static inline void put_le64(unsigned char *p, uint64_t v)
{
    put_le32(p, (uint32_t)v);
    put_le32(p + 4, (uint32_t)(v >> 32));
}

#endif
