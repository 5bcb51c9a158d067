// Only the decoder of what the packer writes (stored data and the static
// Huffman blocks): the Windows extractor stays small, and what it cannot
// read the packer has re-encoded.
#include "decoder.h"

const struct LzhFormatDecoderEntry LZH_FORMAT_DECODERS[] = {
    {LZH_STATIC_HUFFMAN, lzh_decode_static},
    {LZH_STORED, NULL},
};
