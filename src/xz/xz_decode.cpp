#include "xz_decode.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "../bytes/le.h"

// The .xz format's fields (its documentation, xz-file-format.txt, sections 2
// to 4).
enum {
    STREAM_FOOTER_SIZE = 12,  // CRC32, backward size, flags, magic "YZ"
    CHECK_NONE = 0,
    CHECK_CRC32 = 1,
    CHECK_TYPE_MASK = 0x0F,
    BLOCK_FLAGS_FILTERS = 0x03,
    BLOCK_FLAGS_RESERVED = 0x3C,
    BLOCK_FLAGS_COMPRESSED = 0x40,
    BLOCK_FLAGS_UNCOMPRESSED = 0x80,
    FILTER_LZMA2 = 0x21,
    LZMA2_DICT_MAX_BITS = 40,
    VARINT_MAX_BYTES = 9,
    DICTIONARY_MIN = 4096,
};
const unsigned char XZ_MAGIC[XZ_MAGIC_SIZE] = {0xFD, '7', 'z', 'X', 'Z', 0x00};
static const uint64_t ABSENT = ~(uint64_t)0;

// Where the stream parser is.
enum Step {
    STEP_STREAM_HEADER,
    STEP_BLOCK_START,    // a block header's size, or the index indicator
    STEP_BLOCK_HEADER,
    STEP_CHUNK_CONTROL,  // LZMA2's control byte
    STEP_CHUNK_HEADER,   // the sizes, and LZMA's properties
    STEP_CHUNK_DATA,     // the chunk's packed bytes, gathered whole
    STEP_CHUNK_OUTPUT,
    STEP_BLOCK_PADDING,
    STEP_BLOCK_CHECK,
    STEP_INDEX,
    STEP_INDEX_PADDING,
    STEP_INDEX_CRC,
    STEP_STREAM_FOOTER,
    STEP_DONE,
};

// Eight tables, eight bytes a step (slicing by 8, as the archive's CRC-16
// does): every decoded byte goes through here once.
enum { CRC_SLICES = 8 };
static uint32_t crc_table[CRC_SLICES][256];

static void crc_make_tables(void)
{
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++)
            c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        crc_table[0][i] = c;
    }
    for (int k = 1; k < CRC_SLICES; k++)
        for (uint32_t i = 0; i < 256; i++)
            crc_table[k][i] = (crc_table[k - 1][i] >> 8) ^ crc_table[0][crc_table[k - 1][i] & 0xFF];
}

uint32_t xz_crc32(uint32_t crc, const unsigned char *p, size_t n)
{
    if (crc_table[0][1] == 0)
        crc_make_tables();
    crc = ~crc;
    for (; n >= CRC_SLICES; n -= CRC_SLICES, p += CRC_SLICES) {
        uint32_t low = crc ^ le32(p);
        crc = crc_table[7][low & 0xFF] ^ crc_table[6][(low >> 8) & 0xFF] ^
              crc_table[5][(low >> 16) & 0xFF] ^ crc_table[4][low >> 24] ^
              crc_table[3][p[4]] ^ crc_table[2][p[5]] ^ crc_table[1][p[6]] ^ crc_table[0][p[7]];
    }
    for (; n > 0; n--)
        crc = crc_table[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

// ---- LZMA (the range decoder and the symbols; LZMA2 frames it in chunks)

// The probability models, in one array.
enum {
    STATES = 12,
    POS_STATES_MAX = 16,
    LEN_TO_POS_STATES = 4,
    END_POS_MODEL_INDEX = 14,
    FULL_DISTANCES = 128,
    ALIGN_BITS = 4,
    MATCH_MIN = 2,
    LEN_LOW_BITS = 3,
    LEN_MID_BITS = 3,
    LEN_HIGH_BITS = 8,
    LEN_CHOICE = 0,
    LEN_CHOICE_2 = 1,
    LEN_LOW = 2,
    LEN_MID = LEN_LOW + (POS_STATES_MAX << LEN_LOW_BITS),
    LEN_HIGH = LEN_MID + (POS_STATES_MAX << LEN_MID_BITS),
    LEN_CODER_SIZE = LEN_HIGH + (1 << LEN_HIGH_BITS),
    IS_MATCH = 0,
    IS_REP = IS_MATCH + STATES * POS_STATES_MAX,
    IS_REP_G0 = IS_REP + STATES,
    IS_REP_G1 = IS_REP_G0 + STATES,
    IS_REP_G2 = IS_REP_G1 + STATES,
    IS_REP0_LONG = IS_REP_G2 + STATES,
    POS_SLOT = IS_REP0_LONG + STATES * POS_STATES_MAX,
    SPEC_POS = POS_SLOT + (LEN_TO_POS_STATES << 6),
    ALIGN = SPEC_POS + 1 + FULL_DISTANCES - END_POS_MODEL_INDEX,
    LEN_CODER = ALIGN + (1 << ALIGN_BITS),
    REP_LEN_CODER = LEN_CODER + LEN_CODER_SIZE,
    LITERAL = REP_LEN_CODER + LEN_CODER_SIZE,
    LITERAL_CODER_SIZE = 0x300,
    PROB_BITS = 11,
    PROB_INIT = 1 << (PROB_BITS - 1),
    MOVE_BITS = 5,
    TOP = 1 << 24,
    LC_LP_MAX = 4,  // LZMA2's limit
    PB_MAX = 4,
    PROPERTIES_MAX = (PB_MAX + 1) * 5 * 9,
};
typedef char probs_fit[LITERAL + (LITERAL_CODER_SIZE << LC_LP_MAX) <= XZ_PROBS ? 1 : -1];

// The decoder's hot state, held in locals while a chunk decodes (through
// the struct, every bit would go to memory): the range decoder over the
// gathered chunk, and the window.
struct Lzma {
    uint32_t range, code, in_pos, in_size;
    const unsigned char *in;
    unsigned char *window;
    uint32_t pos, full, size;
    uint16_t *probs;
};

#define HOT static inline __attribute__((always_inline))
// Once a block or a chunk: built small and kept out of the hot loop.
#define COLD __attribute__((cold, noinline))

// A byte of the chunk. Reading past its packed size is damage, which is
// seen after each symbol (rc_overrun): the slack after the chunk holds what
// one symbol may read.
HOT unsigned char rc_byte(struct Lzma *z)
{
    return z->in[z->in_pos++];
}

HOT int rc_overrun(const struct Lzma *z)
{
    return z->in_pos > z->in_size;
}

// The range is renormalized before each bit, so that a chunk's last bit
// reads no byte beyond it.
HOT void rc_normalize(struct Lzma *z)
{
    if (z->range < TOP) {
        z->range <<= 8;
        z->code = z->code << 8 | rc_byte(z);
    }
}

HOT unsigned rc_bit(struct Lzma *z, uint16_t *prob)
{
    rc_normalize(z);
    uint32_t bound = (z->range >> PROB_BITS) * *prob;
    if (z->code < bound) {
        z->range = bound;
        *prob = (uint16_t)(*prob + (((1 << PROB_BITS) - *prob) >> MOVE_BITS));
        return 0;
    }
    z->range -= bound;
    z->code -= bound;
    *prob = (uint16_t)(*prob - (*prob >> MOVE_BITS));
    return 1;
}

HOT uint32_t rc_direct(struct Lzma *z, unsigned bits)
{
    uint32_t value = 0;
    while (bits-- > 0) {
        rc_normalize(z);
        z->range >>= 1;
        unsigned bit = z->code >= z->range;
        if (bit)
            z->code -= z->range;
        value = value << 1 | bit;
    }
    return value;
}

HOT uint32_t bit_tree(struct Lzma *z, uint16_t *probs, unsigned bits)
{
    uint32_t m = 1;
    for (unsigned i = 0; i < bits; i++)
        m = m << 1 | rc_bit(z, &probs[m]);
    return m - (1u << bits);
}

HOT uint32_t bit_tree_reverse(struct Lzma *z, uint16_t *probs, unsigned bits)
{
    uint32_t m = 1, value = 0;
    for (unsigned i = 0; i < bits; i++) {
        unsigned bit = rc_bit(z, &probs[m]);
        m = m << 1 | bit;
        value |= bit << i;
    }
    return value;
}

HOT uint32_t decode_length(struct Lzma *z, uint16_t *coder, unsigned pos_state)
{
    if (rc_bit(z, &coder[LEN_CHOICE]) == 0)
        return bit_tree(z, coder + LEN_LOW + (pos_state << LEN_LOW_BITS), LEN_LOW_BITS);
    if (rc_bit(z, &coder[LEN_CHOICE_2]) == 0)
        return (1 << LEN_LOW_BITS) +
               bit_tree(z, coder + LEN_MID + (pos_state << LEN_MID_BITS), LEN_MID_BITS);
    return (1 << LEN_LOW_BITS) + (1 << LEN_MID_BITS) + bit_tree(z, coder + LEN_HIGH, LEN_HIGH_BITS);
}

HOT uint32_t decode_distance(struct Lzma *z, uint32_t length)
{
    unsigned len_state = length < LEN_TO_POS_STATES - 1 ? length : LEN_TO_POS_STATES - 1;
    uint32_t slot = bit_tree(z, z->probs + POS_SLOT + (len_state << 6), 6);
    if (slot < 4)
        return slot;
    unsigned direct = (slot >> 1) - 1;
    uint32_t distance = (2 | (slot & 1)) << direct;
    if (slot < END_POS_MODEL_INDEX)
        return distance + bit_tree_reverse(z, z->probs + SPEC_POS + distance - slot, direct);
    distance += rc_direct(z, direct - ALIGN_BITS) << ALIGN_BITS;
    return distance + bit_tree_reverse(z, z->probs + ALIGN, ALIGN_BITS);
}

COLD static void lzma_reset_state(struct XzDecoder *d)
{
    unsigned literal_probs = LITERAL_CODER_SIZE << (d->lc + d->lp);
    for (unsigned i = 0; i < LITERAL + literal_probs; i++)
        d->probs[i] = PROB_INIT;
    d->state = 0;
    d->rep[0] = d->rep[1] = d->rep[2] = d->rep[3] = 0;
    d->match_left = 0;
}

HOT unsigned char window_back(const struct Lzma *z, uint32_t distance)
{
    uint32_t at = z->pos > distance ? z->pos - distance - 1 : z->pos + z->size - distance - 1;
    return z->window[at];
}

// `full` is brought up to date only where it is asked (window_full): the
// position only grows while a chunk decodes, so it is the count at the
// start plus what was written since, up to the ring's size.
HOT void window_put(struct Lzma *z, unsigned char c)
{
    z->window[z->pos++] = c;
}

HOT uint32_t window_full(const struct Lzma *z, uint32_t pos0)
{
    uint32_t n = z->pos - pos0;
    return z->size - z->full > n ? z->full + n : z->size;
}

// Copies *left bytes of the match at `distance`, up to `end`: a run
// inside the ring at once, otherwise a byte at a time (a match may
// overlap itself, and its source may wrap).
HOT void copy_match(struct Lzma *z, uint32_t distance, uint32_t *left, uint32_t end)
{
    uint32_t n = *left < end - z->pos ? *left : end - z->pos;
    *left -= n;
    if (z->pos > distance && distance >= n) {
        memcpy(z->window + z->pos, z->window + z->pos - distance - 1, n);
        z->pos += n;
        return;
    }
    while (n-- > 0)
        window_put(z, window_back(z, distance));
}

// Decodes symbols until the window's position reaches `end` (no further
// than its end, so the ring wraps only between calls). 0, or -1 for a
// damaged chunk.
static int lzma_run(struct XzDecoder *d, uint32_t end)
{
    struct Lzma z = {d->range, d->code, d->rc_pos, d->chunk_in_size, d->chunk,
                     d->window, d->pos, d->full, d->size, d->probs};
    uint32_t rep0 = d->rep[0], rep1 = d->rep[1], rep2 = d->rep[2], rep3 = d->rep[3];
    unsigned s = d->state;
    uint32_t left = d->match_left;
    const unsigned lc = d->lc;
    const uint32_t pos_mask = (1u << d->pb) - 1, lp_mask = (1u << d->lp) - 1;
    int status = 0;
    const uint32_t pos0 = z.pos;
    copy_match(&z, rep0, &left, end);
    while (z.pos < end) {
        if (rc_overrun(&z)) {
            status = -1;
            break;
        }
        // The position in the stream since the dictionary's reset, as far
        // as its low bits go: the ring's size is a multiple of 16.
        unsigned pos_state = z.pos & pos_mask;
        if (rc_bit(&z, &z.probs[IS_MATCH + s * POS_STATES_MAX + pos_state]) == 0) {
            // The byte before: the ring's last while nothing is written,
            // which a reset makes zero.
            unsigned prev = z.window[(z.pos ? z.pos : z.size) - 1];
            uint16_t *probs = z.probs + LITERAL +
                              LITERAL_CODER_SIZE * (((z.pos & lp_mask) << lc) + (prev >> (8 - lc)));
            uint32_t symbol = 1;
            if (s < 7) {
                // The common case, eight bits of one tree, unrolled.
#pragma GCC unroll 8
                for (int i = 0; i < 8; i++)
                    symbol = symbol << 1 | rc_bit(&z, &probs[symbol]);
            } else {
                unsigned match_byte = window_back(&z, rep0);
                while (symbol < 0x100) {
                    unsigned match_bit = (match_byte >> 7) & 1;
                    match_byte <<= 1;
                    unsigned bit = rc_bit(&z, &probs[((1 + match_bit) << 8) + symbol]);
                    symbol = symbol << 1 | bit;
                    if (bit != match_bit)
                        break;
                }
                while (symbol < 0x100)
                    symbol = symbol << 1 | rc_bit(&z, &probs[symbol]);
            }
            window_put(&z, (unsigned char)symbol);
            s = s < 4 ? 0 : s < 10 ? s - 3 : s - 6;
            continue;
        }
        uint32_t length;
        if (rc_bit(&z, &z.probs[IS_REP + s]) == 0) {
            length = decode_length(&z, z.probs + LEN_CODER, pos_state);
            s = s < 7 ? 7 : 10;
            uint32_t distance = decode_distance(&z, length);
            // LZMA2 has no end marker (distance 0xFFFFFFFF).
            if (distance >= window_full(&z, pos0)) {
                status = -1;
                break;
            }
            rep3 = rep2;
            rep2 = rep1;
            rep1 = rep0;
            rep0 = distance;
        } else {
            if (window_full(&z, pos0) == 0) {
                status = -1;
                break;
            }
            if (rc_bit(&z, &z.probs[IS_REP_G0 + s]) == 0) {
                if (rc_bit(&z, &z.probs[IS_REP0_LONG + s * POS_STATES_MAX + pos_state]) == 0) {
                    s = s < 7 ? 9 : 11;
                    window_put(&z, window_back(&z, rep0));
                    continue;
                }
            } else {
                uint32_t distance;
                if (rc_bit(&z, &z.probs[IS_REP_G1 + s]) == 0) {
                    distance = rep1;
                } else {
                    if (rc_bit(&z, &z.probs[IS_REP_G2 + s]) == 0) {
                        distance = rep2;
                    } else {
                        distance = rep3;
                        rep3 = rep2;
                    }
                    rep2 = rep1;
                }
                rep1 = rep0;
                rep0 = distance;
            }
            length = decode_length(&z, z.probs + REP_LEN_CODER, pos_state);
            s = s < 7 ? 8 : 11;
        }
        left = length + MATCH_MIN;
        copy_match(&z, rep0, &left, end);
    }
    d->range = z.range;
    d->code = z.code;
    d->rc_pos = z.in_pos;
    d->full = window_full(&z, pos0);
    d->pos = z.pos;
    d->rep[0] = rep0;
    d->rep[1] = rep1;
    d->rep[2] = rep2;
    d->rep[3] = rep3;
    d->state = s;
    d->match_left = left;
    return status != 0 || rc_overrun(&z) ? -1 : 0;
}

// ---- The .xz container and LZMA2's chunks

// A variable-length integer (section 1.2): 7 bits a byte, low first, at
// most 9 bytes, no needless last zero byte.
COLD static int read_varint(const unsigned char *p, uint32_t n, uint32_t *at, uint64_t *value)
{
    *value = 0;
    for (unsigned i = 0; i < VARINT_MAX_BYTES; i++) {
        if (*at >= n)
            return 0;
        unsigned char b = p[(*at)++];
        *value |= (uint64_t)(b & 0x7F) << (7 * i);
        if ((b & 0x80) == 0)
            return i == 0 || b != 0;
    }
    return 0;
}

// Gathers the field's bytes up to n; 1 once it holds them all.
static int gather(struct XzDecoder *d, const unsigned char *in, size_t *in_pos, size_t in_size,
                  unsigned char *into, uint32_t n)
{
    size_t take = n - d->field_have;
    if (take > in_size - *in_pos)
        take = in_size - *in_pos;
    memcpy(into + d->field_have, in + *in_pos, take);
    *in_pos += take;
    d->field_have += (uint32_t)take;
    if (d->field_have < n)
        return 0;
    d->field_have = 0;
    return 1;
}

COLD static void digest_pair(uint32_t *digest, uint64_t a, uint64_t b)
{
    unsigned char bytes[16];
    put_le64(bytes, a);
    put_le64(bytes + 8, b);
    *digest = xz_crc32(*digest, bytes, sizeof bytes);
}

COLD uint32_t xz_check_size(const unsigned char *h)
{
    return (h[7] & CHECK_TYPE_MASK) == CHECK_CRC32 ? 4 : 0;
}

COLD static enum XzResult stream_header(struct XzDecoder *d)
{
    const unsigned char *h = d->field;
    if (memcmp(h, XZ_MAGIC, XZ_MAGIC_SIZE) != 0 || le32(h + 8) != xz_crc32(0, h + 6, 2))
        return XZ_BAD;
    if (h[6] != 0 || (h[7] & ~CHECK_TYPE_MASK) != 0)
        return XZ_UNSUPPORTED;  // a later version of the format
    d->check_type = h[7];
    if (d->check_type != CHECK_NONE && d->check_type != CHECK_CRC32)
        return XZ_UNSUPPORTED;
    d->check_size = xz_check_size(h);
    d->step = STEP_BLOCK_START;
    return XZ_MORE;
}

COLD int xz_block_sizes(const unsigned char *h, uint32_t size, uint64_t *compressed,
                   uint64_t *uncompressed)
{
    uint32_t at = 2, both = BLOCK_FLAGS_COMPRESSED | BLOCK_FLAGS_UNCOMPRESSED;
    return size >= 8 && size == ((uint32_t)h[0] + 1) * 4 &&
           le32(h + size - 4) == xz_crc32(0, h, size - 4) && (h[1] & both) == both &&
           read_varint(h, size - 4, &at, compressed) && *compressed > 0 &&
           read_varint(h, size - 4, &at, uncompressed);
}

COLD static enum XzResult block_header(struct XzDecoder *d)
{
    const unsigned char *h = d->field;
    uint32_t size = d->block_header_size, at = 2;
    if (le32(h + size - 4) != xz_crc32(0, h, size - 4))
        return XZ_BAD;
    unsigned flags = h[1];
    if (flags & BLOCK_FLAGS_RESERVED)
        return XZ_UNSUPPORTED;
    d->header_compressed = d->header_uncompressed = ABSENT;
    if ((flags & BLOCK_FLAGS_COMPRESSED) &&
        (!read_varint(h, size - 4, &at, &d->header_compressed) || d->header_compressed == 0))
        return XZ_BAD;
    if ((flags & BLOCK_FLAGS_UNCOMPRESSED) &&
        !read_varint(h, size - 4, &at, &d->header_uncompressed))
        return XZ_BAD;
    // One filter, LZMA2, with its one byte of properties: the dictionary.
    uint64_t id, properties;
    if ((flags & BLOCK_FLAGS_FILTERS) != 0)
        return XZ_UNSUPPORTED;
    if (!read_varint(h, size - 4, &at, &id) || !read_varint(h, size - 4, &at, &properties))
        return XZ_BAD;
    if (id != FILTER_LZMA2 || properties != 1)
        return XZ_UNSUPPORTED;
    if (at >= size - 4)
        return XZ_BAD;
    unsigned dict = h[at++];
    if (dict > LZMA2_DICT_MAX_BITS)
        return XZ_UNSUPPORTED;
    for (; at < size - 4; at++)
        if (h[at] != 0)
            return XZ_UNSUPPORTED;
    uint64_t dictionary = dict == LZMA2_DICT_MAX_BITS ? 0xFFFFFFFFu
                                                      : (uint64_t)(2 | (dict & 1)) << (dict / 2 + 11);
    // A block that names its size needs no more window than that: a
    // product smaller than the dictionary costs only its own size.
    if (d->header_uncompressed != ABSENT && d->header_uncompressed < dictionary)
        dictionary = d->header_uncompressed;
    if (dictionary < DICTIONARY_MIN)
        dictionary = DICTIONARY_MIN;
    dictionary = (dictionary + 15) & ~(uint64_t)15;  // positions' low bits stay right across the ring
    if (dictionary > d->memory_limit || dictionary > 0xFFFFFFF0u)
        return XZ_NO_MEMORY;
    if (dictionary > d->allocated) {
        free(d->window);
        d->window = (unsigned char *)malloc((size_t)dictionary);
        d->allocated = d->window != NULL ? (uint32_t)dictionary : 0;
        if (d->window == NULL)
            return XZ_NO_MEMORY;
    }
    d->size = (uint32_t)dictionary;
    d->pos = d->full = 0;
    d->block_compressed = d->block_uncompressed = 0;
    d->crc = 0;
    d->need_dictionary_reset = d->need_properties = 1;
    d->step = STEP_CHUNK_CONTROL;
    return XZ_MORE;
}

COLD static enum XzResult chunk_control(struct XzDecoder *d, unsigned control)
{
    d->block_compressed++;
    if (control == 0x00) {
        d->step = STEP_BLOCK_PADDING;
        return XZ_MORE;
    }
    if (control >= 0xE0 || control == 0x01) {
        d->need_properties = 1;
        d->need_dictionary_reset = 0;
        d->full = d->pos = 0;
        d->window[d->size - 1] = 0;  // the byte "before" the first
    } else if (d->need_dictionary_reset) {
        return XZ_BAD;
    }
    if (control < 0x80 && control > 0x02)
        return XZ_BAD;
    d->chunk_is_lzma = control >= 0x80;
    if (d->chunk_is_lzma) {
        unsigned reset = (control >> 5) & 3;  // 0 none, 1 state, 2 and properties, 3 and dictionary
        if (reset < 2 && d->need_properties)
            return XZ_BAD;
        d->chunk_out_left = (uint32_t)(control & 0x1F) << 16;
        d->field_size = reset >= 2 ? 5 : 4;
        d->need_state_reset = reset >= 1;
    } else {
        d->field_size = 2;
    }
    d->step = STEP_CHUNK_HEADER;
    return XZ_MORE;
}

COLD static enum XzResult chunk_header(struct XzDecoder *d)
{
    const unsigned char *h = d->field;
    d->block_compressed += d->field_size;
    if (!d->chunk_is_lzma) {
        d->chunk_in_size = d->chunk_out_left = ((uint32_t)h[0] << 8 | h[1]) + 1;
    } else {
        d->chunk_out_left += ((uint32_t)h[0] << 8 | h[1]) + 1;
        d->chunk_in_size = ((uint32_t)h[2] << 8 | h[3]) + 1;
        if (d->field_size == 5) {
            unsigned p = h[4];
            if (p >= PROPERTIES_MAX)
                return XZ_BAD;
            d->lc = p % 9;
            d->lp = p / 9 % 5;
            d->pb = p / 45;
            if (d->lc + d->lp > LC_LP_MAX)
                return XZ_BAD;
            d->need_properties = 0;
        }
        if (d->need_state_reset)
            lzma_reset_state(d);
    }
    d->block_compressed += d->chunk_in_size;
    d->step = STEP_CHUNK_DATA;
    return XZ_MORE;
}

static enum XzResult chunk_start(struct XzDecoder *d)
{
    d->rc_pos = 0;
    if (d->chunk_is_lzma) {
        // The range decoder starts anew in every chunk: a zero byte, then
        // the code's four bytes.
        if (d->chunk_in_size < 5 || d->chunk[0] != 0)
            return XZ_BAD;
        d->code = (uint32_t)d->chunk[1] << 24 | (uint32_t)d->chunk[2] << 16 |
                  (uint32_t)d->chunk[3] << 8 | d->chunk[4];
        d->range = 0xFFFFFFFFu;
        d->rc_pos = 5;
    }
    d->step = STEP_CHUNK_OUTPUT;
    return XZ_MORE;
}

static enum XzResult chunk_output(struct XzDecoder *d, unsigned char *out, size_t *out_pos,
                                  size_t out_size)
{
    while (d->chunk_out_left > 0) {
        if (*out_pos == out_size)
            return XZ_MORE;
        uint32_t n = d->chunk_out_left, start = d->pos;
        if (n > out_size - *out_pos)
            n = (uint32_t)(out_size - *out_pos);
        if (n > d->size - d->pos)
            n = d->size - d->pos;
        if (d->chunk_is_lzma) {
            if (lzma_run(d, start + n) != 0)
                return XZ_BAD;
        } else {
            memcpy(d->window + start, d->chunk + d->rc_pos, n);
            d->rc_pos += n;
            d->pos += n;
            d->full = d->size - d->full > n ? d->full + n : d->size;
        }
        memcpy(out + *out_pos, d->window + start, n);
        d->crc = xz_crc32(d->crc, d->window + start, n);
        *out_pos += n;
        d->chunk_out_left -= n;
        d->block_uncompressed += n;
        if (d->pos == d->size)
            d->pos = 0;
    }
    // Every packed byte read (the range normalized once more, as the
    // encoder's flush leaves it), the range decoder's code run down to
    // zero, no match going on past the chunk.
    if (d->chunk_is_lzma) {
        struct Lzma z = {d->range, d->code, d->rc_pos, d->chunk_in_size, d->chunk,
                         NULL, 0, 0, 0, NULL};
        rc_normalize(&z);
        d->range = z.range;
        d->code = z.code;
        d->rc_pos = z.in_pos;
    }
    // A read past the chunk left rc_pos beyond its size.
    if (d->rc_pos != d->chunk_in_size ||
        (d->chunk_is_lzma && (d->code != 0 || d->match_left != 0)))
        return XZ_BAD;
    d->step = STEP_CHUNK_CONTROL;
    return XZ_MORE;
}

COLD static enum XzResult block_end(struct XzDecoder *d)
{
    if ((d->header_compressed != ABSENT && d->header_compressed != d->block_compressed) ||
        (d->header_uncompressed != ABSENT && d->header_uncompressed != d->block_uncompressed))
        return XZ_BAD;
    if (d->check_type == CHECK_CRC32 && le32(d->field) != d->crc)
        return XZ_BAD;
    xz_decoder_count_block(d, d->block_header_size + d->block_compressed + d->check_size,
                           d->block_uncompressed);
    return XZ_MORE;
}

COLD void xz_decoder_count_block(struct XzDecoder *d, uint64_t unpadded, uint64_t uncompressed)
{
    digest_pair(&d->blocks_digest, unpadded, uncompressed);
    d->blocks++;
    d->step = STEP_BLOCK_START;
}

void xz_decoder_stop_before(struct XzDecoder *d, uint64_t block)
{
    d->stop_before = block;
}

// The index, a byte at a time: the count of records, then each record's
// unpadded and uncompressed size.
COLD static enum XzResult index_byte(struct XzDecoder *d, unsigned char b)
{
    d->index_size++;
    uint64_t *value = &d->index_value[d->index_field == 0 ? 0 : (d->index_field - 1) % 2];
    if (d->varint_shift == 0)
        *value = 0;
    if (d->varint_shift > 7 * (VARINT_MAX_BYTES - 1) || (b == 0 && d->varint_shift > 0))
        return XZ_BAD;
    *value |= (uint64_t)(b & 0x7F) << d->varint_shift;
    if (b & 0x80) {
        d->varint_shift += 7;
        return XZ_MORE;
    }
    d->varint_shift = 0;
    if (d->index_field == 0) {
        d->index_records = *value;
        if (d->index_records != d->blocks)
            return XZ_BAD;
    } else if (d->index_field % 2 == 0) {
        digest_pair(&d->index_digest, d->index_value[0], d->index_value[1]);
    }
    d->index_field++;
    return XZ_MORE;
}

COLD static enum XzResult stream_footer(struct XzDecoder *d, const unsigned char *header_flags)
{
    const unsigned char *f = d->field;
    if (le32(f) != xz_crc32(0, f + 4, 6) || f[10] != 'Y' || f[11] != 'Z' ||
        memcmp(f + 8, header_flags, 2) != 0 || ((uint64_t)le32(f + 4) + 1) * 4 != d->index_size)
        return XZ_BAD;
    d->step = STEP_DONE;
    return XZ_END;
}

void xz_decoder_init(struct XzDecoder *d, uint64_t memory_limit)
{
    memset(d, 0, offsetof(struct XzDecoder, probs));
    d->memory_limit = memory_limit;
    d->stop_before = ABSENT;
    d->step = STEP_STREAM_HEADER;
}

void xz_decoder_end(struct XzDecoder *d)
{
    free(d->window);
    d->window = NULL;
    d->allocated = 0;
}

enum XzResult xz_decode(struct XzDecoder *d, const unsigned char *in, size_t *in_pos,
                        size_t in_size, unsigned char *out, size_t *out_pos, size_t out_size)
{
    static const unsigned char zeros[4] = {0};
    for (;;) {
        enum XzResult r = XZ_MORE;
        switch (d->step) {
        case STEP_STREAM_HEADER:
            if (!gather(d, in, in_pos, in_size, d->field, XZ_STREAM_HEADER_SIZE))
                return XZ_MORE;
            memcpy(d->stream_flags, d->field + 6, 2);
            r = stream_header(d);
            break;
        case STEP_BLOCK_START:
            if (d->blocks == d->stop_before)
                return XZ_PAUSED;
            if (!gather(d, in, in_pos, in_size, d->field, 1))
                return XZ_MORE;
            if (d->field[0] == 0) {
                d->index_size = 1;
                d->index_field = d->varint_shift = 0;
                d->index_digest = 0;
                d->crc = xz_crc32(0, d->field, 1);
                d->step = STEP_INDEX;
            } else {
                d->block_header_size = ((uint32_t)d->field[0] + 1) * 4;
                d->field_have = 1;
                d->step = STEP_BLOCK_HEADER;
            }
            break;
        case STEP_BLOCK_HEADER:
            if (!gather(d, in, in_pos, in_size, d->field, d->block_header_size))
                return XZ_MORE;
            r = block_header(d);
            break;
        case STEP_CHUNK_CONTROL:
            if (*in_pos == in_size)
                return XZ_MORE;
            r = chunk_control(d, in[(*in_pos)++]);
            break;
        case STEP_CHUNK_HEADER:
            if (!gather(d, in, in_pos, in_size, d->field, d->field_size))
                return XZ_MORE;
            r = chunk_header(d);
            break;
        case STEP_CHUNK_DATA:
            if (!gather(d, in, in_pos, in_size, d->chunk, d->chunk_in_size))
                return XZ_MORE;
            r = chunk_start(d);
            break;
        case STEP_CHUNK_OUTPUT:
            r = chunk_output(d, out, out_pos, out_size);
            if (r == XZ_MORE && d->step == STEP_CHUNK_OUTPUT)
                return XZ_MORE;
            break;
        case STEP_BLOCK_PADDING: {
            uint32_t padding = (uint32_t)((4 - (d->block_header_size + d->block_compressed) % 4) % 4);
            if (!gather(d, in, in_pos, in_size, d->field, padding))
                return XZ_MORE;
            if (memcmp(d->field, zeros, padding) != 0)
                return XZ_BAD;
            d->step = STEP_BLOCK_CHECK;
            break;
        }
        case STEP_BLOCK_CHECK:
            if (!gather(d, in, in_pos, in_size, d->field, d->check_size))
                return XZ_MORE;
            r = block_end(d);
            break;
        case STEP_INDEX:
            if (d->index_field > 0 && d->index_field == 1 + 2 * d->index_records) {
                if (d->index_digest != d->blocks_digest)
                    return XZ_BAD;
                d->step = STEP_INDEX_PADDING;
                break;
            }
            if (*in_pos == in_size)
                return XZ_MORE;
            d->crc = xz_crc32(d->crc, in + *in_pos, 1);
            r = index_byte(d, in[(*in_pos)++]);
            break;
        case STEP_INDEX_PADDING:
            while (d->index_size % 4 != 0) {
                if (*in_pos == in_size)
                    return XZ_MORE;
                if (in[*in_pos] != 0)
                    return XZ_BAD;
                d->crc = xz_crc32(d->crc, in + (*in_pos)++, 1);
                d->index_size++;
            }
            d->step = STEP_INDEX_CRC;
            break;
        case STEP_INDEX_CRC:
            if (!gather(d, in, in_pos, in_size, d->field, 4))
                return XZ_MORE;
            if (le32(d->field) != d->crc)
                return XZ_BAD;
            d->index_size += 4;
            d->step = STEP_STREAM_FOOTER;
            break;
        case STEP_STREAM_FOOTER:
            if (!gather(d, in, in_pos, in_size, d->field, STREAM_FOOTER_SIZE))
                return XZ_MORE;
            return stream_footer(d, d->stream_flags);
        default:
            return XZ_END;
        }
        if (r != XZ_MORE)
            return r;
    }
}
