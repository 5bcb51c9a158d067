// The encoder against the decoder: whatever goes in must come out, byte for
// byte, with the same CRC. The first byte picks the method and the parser,
// and whether the input is encoded as two pieces, cut where the second byte
// says, and joined.
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "lzh/crc16.h"
#include "lzh/decode.h"
#include "lzh/encode.h"

static int append(void *ctx, const unsigned char *p, size_t n)
{
    static_cast<std::string *>(ctx)->append(reinterpret_cast<const char *>(p), n);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static const int bits[3] = {13, 15, 16};
    int window_bits = bits[data[0] % 3];
    int best = (data[0] >> 4) & 1;
    std::string input(reinterpret_cast<const char *>(data + 1), size - 1);

    FILE *in = fmemopen(const_cast<char *>(input.data()), input.size() ? input.size() : 1, "rb");
    if (input.empty())
        fgetc(in);  // fmemopen can't open an empty buffer; read its one byte away
    std::string packed;
    LzhEncoded r;
    if (lzh_encode(in, window_bits, best, append, &packed, &r) != LZH_OK)
        __builtin_trap();
    fclose(in);
    if (r.original != input.size() || r.packed != packed.size())
        __builtin_trap();
    if ((data[0] & 0x20) && size >= 2) {
        size_t cut = input.size() * data[1] / 256;
        const unsigned char *p = reinterpret_cast<const unsigned char *>(input.data());
        size_t h = lzh_history(window_bits, cut);
        std::string first, second;
        LzhPiece a, b;
        if (lzh_encode_piece(p, 0, cut, window_bits, best, append, &first, &a) != LZH_OK ||
            lzh_encode_piece(p + cut - h, h, input.size() - cut, window_bits, best, append,
                             &second, &b) != LZH_OK)
            __builtin_trap();
        LzhJoin *j = new LzhJoin;
        packed.clear();
        lzh_join_init(j, append, &packed);
        lzh_join_bytes(j, reinterpret_cast<const unsigned char *>(first.data()), first.size());
        lzh_join_bits(j, a.tail, a.tail_bits);
        lzh_join_bytes(j, reinterpret_cast<const unsigned char *>(second.data()), second.size());
        lzh_join_bits(j, b.tail, b.tail_bits);
        if (lzh_join_finish(j) != LZH_OK || j->packed != packed.size())
            __builtin_trap();
        delete j;
        r.crc = crc16_combine(crc16_update(0, p, cut), crc16_update(0, p + cut, input.size() - cut),
                              input.size() - cut);
    }

    std::string out;
    uint16_t crc = 0;
    FILE *p = fmemopen(const_cast<char *>(packed.data()), packed.size() ? packed.size() : 1, "rb");
    LzhStatus s = lzh_decode(p, packed.size(), input.size(), window_bits, append, &out, &crc);
    fclose(p);
    if (s != LZH_OK || out != input || crc != r.crc)
        __builtin_trap();
    return 0;
}
