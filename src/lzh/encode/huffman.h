// Huffman codes for the encoder: lengths limited to the format's 16 bits,
// and the canonical code words the decoder derives from them.
#ifndef LZH_HUFFMAN_H
#define LZH_HUFFMAN_H

#include <stdint.h>

// Code lengths for freq[0..n) (n <= 510), none over 16, that still make a
// complete prefix code (the Kraft sum is exactly one) when two or more
// symbols are used. Returns how many symbols are used; with fewer than two,
// every length is 0. Ties are broken by symbol: the same counts always give
// the same code.
int lzh_code_lengths(const uint32_t *freq, int n, unsigned char *len);

// The canonical code words, as the decoder assigns them: by length, then
// by symbol.
void lzh_code_words(const unsigned char *len, int n, uint16_t *code);

#endif
