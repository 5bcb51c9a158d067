// The encoder against the decoder: whatever goes in must come out, byte for
// byte, with the same CRC. The first byte picks the method and the parser,
// and whether the input is encoded as one piece or cut in two and joined.
#include <stdint.h>
#include <stdio.h>

#include <string>

#include "lzh/crc16.h"
#include "lzh/decode/decode.h"
#include "lzh/encode/encode.h"

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

    // Whole, as one piece; or cut in two where the second byte says, the
    // second piece with the history before it, and joined.
    const unsigned char *p = reinterpret_cast<const unsigned char *>(input.data());
    size_t cut = (data[0] & 0x20) && size >= 2 ? input.size() * data[1] / 256 : input.size();
    size_t h = lzh_history(window_bits, cut);
    std::string first, second;
    LzhPiece a, b;
    if (lzh_encode_piece(p, 0, cut, window_bits, best, append, &first, &a) != LZH_OK ||
        lzh_encode_piece(p + cut - h, h, input.size() - cut, window_bits, best, append, &second,
                         &b) != LZH_OK)
        __builtin_trap();
    if (a.packed != first.size() || b.packed != second.size())
        __builtin_trap();
    std::string packed;
    LzhJoin *j = new LzhJoin;
    lzh_join_init(j, append, &packed);
    lzh_join_bytes(j, reinterpret_cast<const unsigned char *>(first.data()), first.size());
    lzh_join_bits(j, a.tail, a.tail_bits);
    lzh_join_bytes(j, reinterpret_cast<const unsigned char *>(second.data()), second.size());
    lzh_join_bits(j, b.tail, b.tail_bits);
    if (lzh_join_finish(j) != LZH_OK || j->packed != packed.size())
        __builtin_trap();
    delete j;
    uint16_t want_crc = crc16_combine(crc16_update(0, p, cut),
                                      crc16_update(0, p + cut, input.size() - cut),
                                      input.size() - cut);

    std::string out;
    uint16_t crc = 0;
    FILE *f = fmemopen(const_cast<char *>(packed.data()), packed.size() ? packed.size() : 1, "rb");
    LzhInput in = lzh_file_input(f);
    LzhStatus s = lzh_decode(&in, packed.size(), input.size(), lzh_method_of_bits(window_bits), append, &out,
                               &crc);
    fclose(f);
    if (s != LZH_OK || out != input || crc != want_crc)
        __builtin_trap();
    return 0;
}
