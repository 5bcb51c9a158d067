// The methods, in one table: what each is called, the history its matches
// reach, its position code, and whether the packer writes it. Everything
// that names a method reads it here.
#ifndef LZH_METHODS_H
#define LZH_METHODS_H

// How a method's data is laid out, and so which decoder reads it.
enum LzhFormat {
    LZH_STORED,
    LZH_STATIC_HUFFMAN,  // blocks of canonical Huffman codes (lh4-lh7, lhx)
    LZH_RING_BYTES,      // LArc's -lz5-: flag bytes, matches at places in a 4 KiB ring
    LZH_RING_BITS,       // LArc's -lzs-: flag bits, matches in a 2 KiB ring
    LZH_ADAPTIVE,        // -lh1-: an adaptive Huffman code, positions in a fixed one
    LZH_DYNAMIC,         // -lh2-: adaptive codes for both, the position code growing
    LZH_EARLY_STATIC,    // -lh3-: static codes in blocks, an 8 KiB window
    LZH_PM1,             // PMarc's -pm1-: fixed codes, ranges that widen with the output
    LZH_PM2,             // PMarc's -pm2-: a command code sent again as the output grows
};

struct LzhMethod {
    char name[6];       // as headers store it: "-lh5-"
    int window_bits;    // 0: stored; else matches reach back 2^window_bits bytes
    int np, pbit;       // the position code: its symbols, the bits of their count
    int packer_writes;  // -m takes it, as "lh5"
    enum LzhFormat format;
};

// The method a header names, or NULL for one this system does not decode.
// Directories ("-lhd-") have no method.
const struct LzhMethod *lzh_method(const char name[5]);

// The method the packer writes with window_bits (0: stored), or NULL.
const struct LzhMethod *lzh_method_of_bits(int window_bits);

// The table, for what lists the methods (-m and its help).
extern const struct LzhMethod LZH_METHODS[];
extern const int LZH_METHOD_COUNT;

#endif
