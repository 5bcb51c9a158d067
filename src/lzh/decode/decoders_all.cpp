// Every decoder: for mkinstaller, which reads the archives of other tools,
// and the native extractor.
#include "decoder.h"

const struct LzhFormatDecoderEntry LZH_FORMAT_DECODERS[] = {
    {LZH_STATIC_HUFFMAN, lzh_decode_static},
    {LZH_ADAPTIVE, lzh_decode_adaptive},
    {LZH_DYNAMIC, lzh_decode_dynamic},
    {LZH_EARLY_STATIC, lzh_decode_early_static},
    {LZH_RING_BYTES, lzh_decode_ring},
    {LZH_RING_BITS, lzh_decode_ring},
    {LZH_PM1, lzh_decode_pm1},
    {LZH_PM2, lzh_decode_pm2},
    {LZH_STORED, NULL},
};
