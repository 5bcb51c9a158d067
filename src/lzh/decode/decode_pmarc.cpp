// PMarc's methods (MSX-DOS, CP/M). -pm2-: LZ77 over an 8 KiB history of
// spaces, its commands (literal classes and copies) in a canonical Huffman
// code that is sent again at fixed points of the output, literals sent as
// places in a list of byte values by last use. -pm1-: its predecessor, of
// fixed codes over a 16 KiB history, whose distances take more bits as the
// output grows past what shorter ones reach.
#include <stdlib.h>
#include <string.h>

#include "canonical.h"
#include "decoder.h"

// A value sent as a base and that many bits more.
struct Range {
    uint16_t base;
    unsigned char bits;
};

static unsigned get_range(struct Bits *b, const struct Range *r)
{
    return r->base + get(b, r->bits);
}

// Byte values in the order of their last use, most recent first: a literal
// is sent as its place here, and every byte written, copied or not, moves
// to the front. The list starts with printable ASCII, then the control
// codes, then the upper half: 0xA0-0xDF (half-width kana), 0x80-0x9F,
// 0xE0-0xFF. A ring of links, so that a use costs the same wherever the
// byte was, and a place is walked to from whichever end is nearer.
struct Recent {
    unsigned char older[256], newer[256];  // the neighbours; newer of the first is the last
    unsigned char first;
};

static void recent_start(struct Recent *r)
{
    static const unsigned char RUNS[][2] = {
        {0x20, 0x7F}, {0x00, 0x1F}, {0xA0, 0xDF}, {0x80, 0x9F}, {0xE0, 0xFF}};
    unsigned char order[256];
    int n = 0;
    for (size_t i = 0; i < sizeof RUNS / sizeof RUNS[0]; i++)
        for (int c = RUNS[i][0]; c <= RUNS[i][1]; c++)
            order[n++] = (unsigned char)c;
    for (int i = 0; i < 256; i++) {
        r->older[order[i]] = order[(i + 1) & 255];
        r->newer[order[(i + 1) & 255]] = order[i];
    }
    r->first = order[0];
}

static unsigned char recent_at(const struct Recent *r, unsigned at)
{
    unsigned char c = r->first;
    if (at < 128) {
        while (at-- > 0)
            c = r->older[c];
    } else {
        for (at = 256 - at; at > 0; at--)
            c = r->newer[c];
    }
    return c;
}

static void recent_use(struct Recent *r, const unsigned char *p, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        unsigned char c = p[i];
        if (c == r->first)
            continue;
        r->older[r->newer[c]] = r->older[c];
        r->newer[r->older[c]] = r->newer[c];
        unsigned char last = r->newer[r->first];
        r->older[c] = r->first;
        r->newer[c] = last;
        r->newer[r->first] = c;
        r->older[last] = c;
        r->first = c;
    }
}

// The byte at place `at` of the list, written and moved to the front.
static void put_recent(struct LzDecoder *z, struct Recent *r, unsigned at)
{
    put_literal(z, recent_at(r, at));
    recent_use(r, z->window + z->pos - 1, 1);
}

// A copy, and the bytes it wrote moved to the front of the list.
static void copy_recent(struct LzDecoder *z, struct Recent *r, size_t dist, size_t len)
{
    size_t before = z->pos;
    copy_match(z, dist, len);
    recent_use(r, z->window + before, z->pos - before);
}

// -pm2-.
enum {
    PM2_HISTORY = 8192,
    PM2_LITERAL_CLASSES = 8,  // commands 0-7; then copies 8-28
    PM2_COPIES = 21,
    PM2_SHORT_COPIES = 15,    // copy codes 0-14 copy 2-16 bytes
    PM2_MAX_COMMANDS = 32,    // the count is 5 bits
    PM2_MAX_OFFSETS = 8,
    PM2_FAST = 8,
};

// A literal's place in the list by its class; a long copy's length.
static const struct Range PM2_LITERALS[PM2_LITERAL_CLASSES] = {
    {0, 3}, {8, 3}, {16, 4}, {32, 5}, {64, 5}, {96, 5}, {128, 6}, {192, 6}};
static const struct Range PM2_LENGTHS[PM2_COPIES - PM2_SHORT_COPIES] = {
    {17, 3}, {25, 3}, {33, 5}, {65, 6}, {129, 7}, {256, 0}};

// When the codes change: at the start (commands, and an offset code of 5
// symbols), after 1 KiB (6), 2 KiB (7), 4 KiB (a flag for new commands,
// then 8), and every 4 KiB after (a flag for both).
struct Pm2Stage {
    unsigned char flag;       // a bit says whether new commands come
    unsigned char commands;   // whether they may
    unsigned char offsets;    // the offset code's symbols
    unsigned char always;     // the offset code comes whatever the flag says
    uint16_t next;            // bytes until the next change
};
static const struct Pm2Stage PM2_STAGES[] = {
    {0, 1, 5, 1, 1024}, {0, 0, 6, 1, 1024}, {0, 0, 7, 1, 2048}, {1, 1, 8, 1, 4096},
    {1, 1, 8, 0, 4096}};
enum { PM2_LAST_STAGE = sizeof PM2_STAGES / sizeof PM2_STAGES[0] - 1 };

struct Pm2 {
    struct Code commands, offsets;
    int offsets_used;  // whether the commands have copies that take an offset code
    struct Recent recent;
};

// The command code: a count, the shortest length (0: one command alone),
// the bits of each length, then each length less the shortest plus one (0:
// unused).
static int read_commands(struct Pm2 *k, struct Bits *b)
{
    int n = (int)get(b, 5), shortest = (int)get(b, 3);
    k->offsets_used = n >= 10 && !(n == 29 && shortest == 0);
    if (shortest == 0) {
        if (n == 0)
            return -1;
        lzh_code_single(&k->commands, n - 1, PM2_FAST);
        return 0;
    }
    int width = (int)get(b, 3);
    unsigned char len[PM2_MAX_COMMANDS];
    for (int i = 0; i < n; i++) {
        int v = (int)get(b, width);
        len[i] = (unsigned char)(v ? shortest + v - 1 : 0);
    }
    return lzh_code_build(&k->commands, n, len, PM2_FAST);
}

// The offset code: 3 bits of length for each of its n symbols.
static int read_offsets(struct Pm2 *k, struct Bits *b, int n)
{
    if (!k->offsets_used || n == 0)
        return 0;
    unsigned char len[PM2_MAX_OFFSETS];
    int used = 0, last = 0;
    for (int i = 0; i < n; i++) {
        len[i] = (unsigned char)get(b, 3);
        if (len[i] != 0) {
            used++;
            last = i;
        }
    }
    if (used == 1) {
        lzh_code_single(&k->offsets, last, PM2_FAST);
        return 0;
    }
    return lzh_code_build(&k->offsets, n, len, PM2_FAST);
}

static int pm2_change_codes(struct Pm2 *k, struct Bits *b, const struct Pm2Stage *s)
{
    int again = s->flag ? (int)get(b, 1) : 1;
    if (again && s->commands && read_commands(k, b) != 0)
        return -1;
    if ((again || s->always) && read_offsets(k, b, s->offsets) != 0)
        return -1;
    return 0;
}

// A copy's distance less one: 6 bits for the shortest copies; by the
// offset code, 6 bits or 2^(v+5) and v+5 bits; none for the longest, which
// repeats the last byte.
static int pm2_offset(struct Pm2 *k, struct Bits *b, int copy)
{
    if (copy == 0)
        return (int)get(b, 6);
    if (copy == PM2_COPIES - 1)
        return 0;
    refill(b);
    int v = lzh_code_decode(b, &k->offsets);
    if (v < 0)
        return -1;
    return v == 0 ? (int)get(b, 6) : (1 << (v + 5)) + (int)get(b, v + 5);
}

LzhStatus lzh_decode_pm2(struct LzDecoder *z, const struct LzhMethod *m)
{
    (void)m;
    struct Pm2 *k = (struct Pm2 *)malloc(sizeof *k);
    if (k == NULL)
        return LZH_NO_MEMORY;
    recent_start(&k->recent);
    k->offsets_used = 0;
    lz_prefill(z, PM2_HISTORY, ' ');
    struct Bits *b = &z->b;
    LzhStatus s = LZH_OK;
    get(b, 1);  // the stream starts with a bit of no meaning
    int stage = 0;
    if (pm2_change_codes(k, b, &PM2_STAGES[0]) != 0)
        s = LZH_CORRUPT;
    int64_t until = PM2_STAGES[0].next;
    while (s == LZH_OK && lz_going(z, 8)) {
        uint64_t before = z->left;
        refill(b);
        int c = lzh_code_decode(b, &k->commands);
        if (c < 0 || c >= PM2_LITERAL_CLASSES + PM2_COPIES) {
            s = LZH_CORRUPT;
            break;
        }
        if (c < PM2_LITERAL_CLASSES) {
            put_recent(z, &k->recent, get_range(b, &PM2_LITERALS[c]));
        } else {
            int copy = c - PM2_LITERAL_CLASSES;
            size_t len = copy < PM2_SHORT_COPIES
                             ? (size_t)copy + 2
                             : get_range(b, &PM2_LENGTHS[copy - PM2_SHORT_COPIES]);
            int offset = pm2_offset(k, b, copy);
            if (offset < 0) {
                s = LZH_CORRUPT;
                break;
            }
            copy_recent(z, &k->recent, (size_t)offset + 1, len);
        }
        s = lz_flush_full(z);
        // The codes change at fixed points of the output, even inside a
        // copy: the bits for them follow the copy's.
        until -= (int64_t)(before - z->left);
        if (s == LZH_OK && until <= 0 && z->left > 0) {
            if (stage < PM2_LAST_STAGE)
                stage++;
            if (pm2_change_codes(k, b, &PM2_STAGES[stage]) != 0)
                s = LZH_CORRUPT;
            until += PM2_STAGES[stage].next;
        }
    }
    free(k);
    if (s == LZH_OK)
        return lz_finish(z);
    return b->error != LZH_OK ? b->error : s;
}

// -pm1-.
enum { PM1_HISTORY = 16384, PM1_MAX_BLOCK = 216 };

// Distances by range; ranges 3 to 5 take fewer bits early in the output,
// while fewer bytes lie behind (PM1_EARLY).
static const struct Range PM1_DISTANCES[] = {
    {0, 6}, {64, 8}, {0, 6}, {64, 9}, {576, 11}, {2624, 13},
    {64, 8}, {576, 8}, {576, 9}, {576, 10}, {2624, 8}, {2624, 9}, {2624, 10}, {2624, 11},
    {2624, 12}};
static const struct {
    uint16_t below;  // while the output is shorter
    unsigned char range, instead;
} PM1_EARLY[] = {{320, 3, 6},   {832, 4, 7},   {1088, 4, 8},  {1600, 4, 9}, {2880, 5, 10},
                 {3136, 5, 11}, {3648, 5, 12}, {4672, 5, 13}, {6720, 5, 14}};
static const struct Range PM1_LITERALS[] = {{0, 4}, {16, 4}, {32, 5}, {64, 6}, {128, 6}, {192, 6}};

// The code of a literal's class: one of 32 small trees, chosen by the
// stream's first 5 bits, with classes a-f as leaves ("" takes no bits:
// class a). Tree 17 is as PMarc has it, with d and e twice and no a or b.
static const char *const PM1_TREES[32] = {
    "((((ab)c)d)(ef))", "(((ab)(cf))(de))", "(((ab)c)(d(ef)))", "((a(bc))(d(ef)))",
    "((a(bd))(c(ef)))", "((a(b(ef)))(cd))", "((ab)((cd)(ef)))", "((ab)((c(ef))d))",
    "((ab)(c(d(ef))))", "(a(((bf)c)(de)))", "(a(((b(ef))c)d))", "(a(((bc)d)(ef)))",
    "(a((b(cf))(de)))", "(a((bc)(d(ef))))", "(a((b(d(ef)))c))", "(a(b((cd)(ef))))",
    "(a(b(c(d(ef)))))", "(((de)c)(de))",    "((a(be))(cd))",    "((ab)(c(de)))",
    "(a(((be)c)d))",    "(a((bc)(de)))",    "(a((b(de))c))",    "(a(b(c(de))))",
    "(((ab)c)d)",       "((a(bd))c)",       "((ab)(cd))",       "(a((bd)c))",
    "(a(b(cd)))",       "(a(bc))",          "(ab)",             ""};
enum { PM1_TREE_BITS = 5 };  // the deepest leaf

struct Pm1 {
    unsigned char classes[1 << PM1_TREE_BITS];  // by the next 5 bits: class << 3 | length
    int no_tree;
    struct Recent recent;
};

// Fills the table under the node at *p, whose code is `code` of `len` bits.
static int tree_fill(struct Pm1 *k, const char **p, unsigned code, int len)
{
    char c = *(*p)++;
    if (c >= 'a' && c <= 'f') {
        int span = 1 << (PM1_TREE_BITS - len);
        for (int i = 0; i < span; i++)
            k->classes[(code << (PM1_TREE_BITS - len)) + i] = (unsigned char)((c - 'a') << 3 | len);
        return 0;
    }
    if (c != '(' || len == PM1_TREE_BITS || tree_fill(k, p, code << 1, len + 1) != 0 ||
        tree_fill(k, p, code << 1 | 1, len + 1) != 0)
        return -1;
    return *(*p)++ == ')' ? 0 : -1;
}

static unsigned pm1_literal_class(const struct Pm1 *k, struct Bits *b)
{
    if (k->no_tree)
        return 0;
    refill(b);
    unsigned e = k->classes[peek(b, PM1_TREE_BITS)];
    skip(b, (int)(e & 7));
    return e >> 3;
}

// Bits of a literal block's length: 1-3, 4-10, 11-24, 25-88 or 89-216.
static size_t pm1_block_length(struct Bits *b)
{
    unsigned x = get(b, 2);
    if (x < 3)
        return x + 1;
    if ((x = get(b, 3)) < 7)
        return x + 4;
    x = get(b, 4);
    return x < 14 ? x + 11 : x == 14 ? get(b, 6) + 25 : get(b, 7) + 89;
}

// A copy's range, by a code that grows as the output passes 64, 576 and
// 2624 bytes: until then, the bits that would choose a range not yet
// reachable are not sent.
static int pm1_range(struct Bits *b, uint64_t done)
{
    if (get(b, 1) == 0) {
        if (done >= 576 && get(b, 1))
            return 4;
        return done >= 64 ? (int)get(b, 1) : 0;
    }
    if (done >= 64 && get(b, 1) == 0)
        return 3;
    return done >= 2624 && get(b, 1) == 0 ? 5 : 2;
}

// A copy's length for ranges 2-5 (0 and 1 copy 2 bytes): 3-5, 6-10,
// 11-14, 15-22, 23-84, 85-116 or 117-244.
static size_t pm1_copy_length(struct Bits *b)
{
    unsigned x = get(b, 2);
    if (x < 3)
        return x + 3;
    x = get(b, 3);
    if (x < 5)
        return x + 6;
    if (x == 5)
        return get(b, 2) + 11;
    if (x == 6)
        return get(b, 3) + 15;
    x = get(b, 6);
    return x < 62 ? x + 23 : x == 62 ? get(b, 5) + 85 : get(b, 7) + 117;
}

static LzhStatus pm1_copy(struct LzDecoder *z, struct Pm1 *k)
{
    struct Bits *b = &z->b;
    uint64_t done = z->original - z->left;
    int range = pm1_range(b, done);
    size_t len = range < 2 ? 2 : pm1_copy_length(b);
    for (size_t i = 0; i < sizeof PM1_EARLY / sizeof PM1_EARLY[0]; i++)
        if (PM1_EARLY[i].range == range && done < PM1_EARLY[i].below) {
            range = PM1_EARLY[i].instead;
            break;
        }
    size_t distance = get_range(b, &PM1_DISTANCES[range]);
    // Nothing lies before the first byte.
    if (distance >= done)
        return LZH_CORRUPT;
    copy_recent(z, &k->recent, distance + 1, len);
    return lz_flush_full(z);
}

// A block of literals, then, unless it is as long as a block can be, a copy.
static LzhStatus pm1_block(struct LzDecoder *z, struct Pm1 *k)
{
    struct Bits *b = &z->b;
    size_t n = pm1_block_length(b);
    for (size_t i = 0; i < n && z->left > 0; i++) {
        unsigned c = pm1_literal_class(k, b);
        put_recent(z, &k->recent, get_range(b, &PM1_LITERALS[c]));
        LzhStatus s = lz_flush_full(z);
        if (s != LZH_OK)
            return s;
    }
    if (n == PM1_MAX_BLOCK || z->left == 0)
        return LZH_OK;
    return pm1_copy(z, k);
}

LzhStatus lzh_decode_pm1(struct LzDecoder *z, const struct LzhMethod *m)
{
    (void)m;
    struct Pm1 *k = (struct Pm1 *)malloc(sizeof *k);
    if (k == NULL)
        return LZH_NO_MEMORY;
    recent_start(&k->recent);
    z->hist = PM1_HISTORY;
    struct Bits *b = &z->b;
    const char *tree = PM1_TREES[get(b, 5)];
    k->no_tree = *tree == '\0';
    LzhStatus s = k->no_tree || tree_fill(k, &tree, 0, 0) == 0 ? LZH_OK : LZH_CORRUPT;
    while (s == LZH_OK && lz_going(z, 8))
        s = get(b, 1) ? pm1_block(z, k) : pm1_copy(z, k);
    free(k);
    if (s == LZH_OK)
        return lz_finish(z);
    return b->error != LZH_OK ? b->error : s;
}
