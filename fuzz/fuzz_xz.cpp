// The extractor's .xz decoder against liblzma, the format's reference: every
// stream liblzma decodes, ours decodes to the same bytes (or says it does
// not take its check or filter); every stream liblzma refuses, ours refuses,
// without a crash. Inputs that start with 'G' are data to compress first,
// so that well-formed streams of every shape are tried too, read by ours in
// pieces of odd sizes.
#include <lzma.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "xz/xz_decode.h"

static const uint64_t MEMORY = 64 << 20;
static const size_t OUTPUT_MAX = 16 << 20;

// Ours, fed `piece` bytes of input and room at a time.
static XzResult ours(const uint8_t *in, size_t size, size_t piece, std::string *out)
{
    static XzDecoder d;
    xz_decoder_init(&d, MEMORY);
    std::vector<unsigned char> buf(piece);
    size_t in_pos = 0;
    XzResult r;
    for (;;) {
        size_t end = in_pos + piece < size ? in_pos + piece : size, out_pos = 0;
        r = xz_decode(&d, in, &in_pos, end, buf.data(), &out_pos, buf.size());
        out->append(reinterpret_cast<char *>(buf.data()), out_pos);
        if (r != XZ_MORE || out->size() > OUTPUT_MAX || (in_pos == size && out_pos == 0))
            break;
    }
    xz_decoder_end(&d);
    return r;
}

// liblzma's verdict: 1 with the output, 0 refused, -1 no verdict (memory,
// or more output than is worth comparing).
static int reference(const uint8_t *in, size_t size, std::string *out)
{
    lzma_stream s = LZMA_STREAM_INIT;
    if (lzma_stream_decoder(&s, MEMORY, 0) != LZMA_OK)
        abort();
    std::vector<uint8_t> buf(1 << 16);
    s.next_in = in;
    s.avail_in = size;
    lzma_ret r;
    do {
        s.next_out = buf.data();
        s.avail_out = buf.size();
        r = lzma_code(&s, LZMA_FINISH);
        out->append(reinterpret_cast<char *>(buf.data()), buf.size() - s.avail_out);
    } while (r == LZMA_OK && out->size() <= OUTPUT_MAX);
    lzma_end(&s);
    if (r == LZMA_MEMLIMIT_ERROR || r == LZMA_MEM_ERROR || out->size() > OUTPUT_MAX)
        return -1;
    return r == LZMA_STREAM_END;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size >= 2 && data[0] == 'G') {
        uint32_t preset = data[1] % 4;  // dictionaries of 256 KiB to 4 MiB
        lzma_check check = data[1] & 0x80 ? LZMA_CHECK_CRC32 : LZMA_CHECK_NONE;
        std::vector<uint8_t> xz(size * 2 + 256);
        size_t xz_size = 0;
        if (lzma_easy_buffer_encode(preset, check, NULL, data + 2, size - 2, xz.data(), &xz_size,
                                    xz.size()) != LZMA_OK)
            abort();
        std::string got;
        if (ours(xz.data(), xz_size, 1 + data[1] * 37 % 5000, &got) != XZ_END ||
            got != std::string(reinterpret_cast<const char *>(data + 2), size - 2))
            __builtin_trap();
        return 0;
    }
    std::string want, got;
    int verdict = reference(data, size, &want);
    XzResult r = ours(data, size, size > 0 ? 1 + data[size - 1] * 131 % 8000 : 1, &got);
    if (verdict < 0 || r == XZ_NO_MEMORY)
        return 0;
    if (verdict == 1 && r != XZ_UNSUPPORTED && (r != XZ_END || got != want))
        __builtin_trap();
    if (verdict == 0 && r == XZ_END)
        __builtin_trap();
    return 0;
}
