// A decoder of .xz streams (the .xz file format 1.0): one stream of blocks
// whose only filter is LZMA2, each checked with CRC32 or with no check, then
// the index and footer, every field verified. Written for the extractor:
// no C++ library, one heap allocation (the dictionary, sized by the block
// headers, no larger than a block that names its size, and refused past a
// limit), input and output in pieces of any size.
#ifndef XZ_DECODE_H
#define XZ_DECODE_H

#include <stddef.h>
#include <stdint.h>

// The bytes every .xz stream starts with, and its whole header: magic,
// flags (2), their CRC32.
enum { XZ_MAGIC_SIZE = 6, XZ_STREAM_HEADER_SIZE = 12 };
extern const unsigned char XZ_MAGIC[XZ_MAGIC_SIZE];

enum XzResult {
    XZ_MORE,         // give more input, or take the output and call again
    XZ_END,          // the stream's footer is read: the output is whole
    XZ_BAD,          // the stream is damaged, or is no .xz stream
    XZ_UNSUPPORTED,  // a filter, check or dictionary this decoder does not take
    XZ_NO_MEMORY,    // the dictionary would exceed the limit, or malloc failed
    XZ_PAUSED,       // stopped before the block it was asked to stop before
};

// LZMA's probabilities: the fixed models, then literals for lc + lp <= 4.
// A chunk is gathered with room after it: a damaged one may read past its
// end within a symbol (at most some 60 bits' worth) before that is seen.
enum { XZ_PROBS = 1848 + (0x300 << 4), XZ_CHUNK_MAX = 65536, XZ_CHUNK_SLACK = 64,
       XZ_HEADER_MAX = 1024 };

struct XzDecoder {
    uint64_t memory_limit;
    // Where the stream parser is, and the field it is collecting.
    int step;
    unsigned char field[XZ_HEADER_MAX];
    uint32_t field_size, field_have;
    unsigned char stream_flags[2];  // the header's, which the footer repeats
    unsigned check_type, check_size;
    // The block being decoded.
    uint64_t block_compressed, block_uncompressed;  // as decoded so far
    uint64_t header_compressed, header_uncompressed;  // as its header says; ~0: absent
    uint32_t block_header_size;
    uint32_t crc;                                     // of the block's output
    // What the index must say: the count and a digest of every block's
    // unpadded and uncompressed size, as decoded, and as the index lists them.
    uint64_t blocks, index_records, index_size;
    uint64_t stop_before;  // the block to pause before; ~0: none
    uint32_t blocks_digest, index_digest;
    uint64_t index_value[2];
    uint64_t index_field;
    int varint_shift;
    // LZMA2: the chunk being read, and what the next chunk may be.
    unsigned char chunk[XZ_CHUNK_MAX + XZ_CHUNK_SLACK];
    uint32_t chunk_in_size, chunk_in_have, chunk_out_left;
    int chunk_is_lzma, need_dictionary_reset, need_properties, need_state_reset;
    // The dictionary: a ring of `size` bytes, `pos` the next to write, `full`
    // how many are valid since it was last reset.
    unsigned char *window;
    uint32_t size, allocated, pos, full, dictionary_size;
    // LZMA's state between symbols: the range decoder over the chunk, the
    // properties, the state, the last four distances and a match left to copy.
    uint32_t range, code, rc_pos;
    unsigned lc, lp, pb, state;
    uint32_t rep[4];
    uint32_t match_left;
    uint16_t probs[XZ_PROBS];
};

// Ready to read a stream; the dictionary may take up to memory_limit bytes.
void xz_decoder_init(struct XzDecoder *d, uint64_t memory_limit);

// Reads from in[*in_pos..in_size) and writes to out[*out_pos..out_size),
// moving both positions. XZ_MORE asks for more input if none is left,
// otherwise for room; any other result is final.
enum XzResult xz_decode(struct XzDecoder *d, const unsigned char *in, size_t *in_pos,
                        size_t in_size, unsigned char *out, size_t *out_pos, size_t out_size);

// Makes xz_decode pause with XZ_PAUSED before it reads anything of block
// number `block` (the first is 0); ~0 lets it go on. Another decoder may
// then decode the blocks that follow, from their own place in the file.
void xz_decoder_stop_before(struct XzDecoder *d, uint64_t block);

// Counts a block another decoder decoded and verified in this one's place,
// by its unpadded and uncompressed size: the index must list it there. The
// input is then to go on where that block ends.
void xz_decoder_count_block(struct XzDecoder *d, uint64_t unpadded, uint64_t uncompressed);

// The sizes a block header stores (its documentation, section 3.1): h holds
// the header, whose first byte gives its size. 0 if it lacks either size or
// is damaged. The block's own decoding verifies them.
int xz_block_sizes(const unsigned char *h, uint32_t size, uint64_t *compressed,
                   uint64_t *uncompressed);

// The bytes of each block's check in a stream whose header h holds (4 for
// CRC32, 0 for none); the header itself is verified by decoding.
uint32_t xz_check_size(const unsigned char *h);

// Frees the dictionary.
void xz_decoder_end(struct XzDecoder *d);

// The CRC32 of the .xz format (the common one, reflected 0xEDB88320).
uint32_t xz_crc32(uint32_t crc, const unsigned char *p, size_t n);

#endif
