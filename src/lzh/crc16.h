// CRC-16 as LZH archives use it: polynomial 0x8005, reflected (0xA001),
// initial value 0, no final XOR.
#ifndef LZH_CRC16_H
#define LZH_CRC16_H

#include <stddef.h>
#include <stdint.h>

uint16_t crc16_update(uint16_t crc, const unsigned char *p, size_t n);

// The CRC of A followed by B, from A's CRC, B's CRC and B's length.
uint16_t crc16_combine(uint16_t crc_a, uint16_t crc_b, uint64_t len_b);

#endif
