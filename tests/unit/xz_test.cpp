// The extractor's .xz decoder, against streams liblzma (the format's
// reference) writes.
#include <gtest/gtest.h>
#include <lzma.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tools/solid.h"
#include "xz/xz_decode.h"

static std::string xz(const std::string &data, uint32_t preset, lzma_check check)
{
    std::string out(data.size() + data.size() / 2 + 4096, '\0');
    size_t size = 0;
    EXPECT_EQ(lzma_easy_buffer_encode(preset, check, NULL,
                                      reinterpret_cast<const uint8_t *>(data.data()), data.size(),
                                      reinterpret_cast<uint8_t *>(out.data()), &size, out.size()),
              LZMA_OK);
    out.resize(size);
    return out;
}

// Decoded by ours, `in_piece` bytes of input and `out_piece` of room at a time.
static XzResult decode(const std::string &stream, std::string *out, size_t in_piece = 1 << 20,
                       size_t out_piece = 1 << 20, uint64_t memory = 1 << 30)
{
    static XzDecoder d;
    xz_decoder_init(&d, memory);
    const unsigned char *in = reinterpret_cast<const unsigned char *>(stream.data());
    std::vector<unsigned char> buf(out_piece);
    size_t in_pos = 0;
    XzResult r;
    out->clear();
    for (;;) {
        size_t end = std::min(stream.size(), in_pos + in_piece), out_pos = 0;
        r = xz_decode(&d, in, &in_pos, end, buf.data(), &out_pos, buf.size());
        out->append(reinterpret_cast<char *>(buf.data()), out_pos);
        if (r != XZ_MORE || (in_pos == stream.size() && out_pos == 0))
            break;
    }
    xz_decoder_end(&d);
    return r;
}

TEST(XzDecoder, EveryShapeDecodesToTheBytesLiblzmaPacked)
{
    std::mt19937 rng(7);
    auto make = [&](size_t n, int kind) {
        std::string s(n, '\0');
        for (size_t i = 0; i < n; i++)
            s[i] = kind == 0 ? char(rng())                                    // stored chunks
                 : kind == 1 ? "abcdefgh"[rng() % (1 + i % 8)]                // literals, short matches
                 : i > 5000 && i % 7000 < 3000 ? s[i - 4999 + rng() % 2] : char(rng() % 4);  // long reps
        return s;
    };
    struct Case {
        size_t size;
        int kind;
        uint32_t preset;
        lzma_check check;
        size_t in_piece, out_piece;
    } cases[] = {
        {0, 1, 6, LZMA_CHECK_CRC32, 1, 1},
        {1, 1, 0, LZMA_CHECK_NONE, 1, 1},
        {100000, 0, 6, LZMA_CHECK_CRC32, 4096, 777},       // incompressible: LZMA2's stored chunks
        {300000, 1, 9 | LZMA_PRESET_EXTREME, LZMA_CHECK_CRC32, 1, 65537},
        {300000, 2, 1, LZMA_CHECK_NONE, 65536, 1},
        {3000000, 2, 6, LZMA_CHECK_CRC32, 100003, 3000000},  // chunks of 2 MiB, dictionary 8 MiB
        {5000000, 1, 0, LZMA_CHECK_CRC32, 1 << 20, 1 << 16}, // dictionary 256 KiB: the ring wraps
    };
    for (const Case &c : cases) {
        std::string data = make(c.size, c.kind), got;
        std::string stream = xz(data, c.preset, c.check);
        EXPECT_EQ(decode(stream, &got, c.in_piece, c.out_piece), XZ_END) << c.size << " " << c.kind;
        EXPECT_TRUE(got == data) << c.size << " " << c.kind;
    }
}

TEST(XzDecoder, DamageAnywhereIsRefusedAsLiblzmaRefusesIt)
{
    std::string data = "the quick brown fox jumps over the lazy dog, again and again; ";
    for (int i = 0; i < 6; i++)
        data += data;
    std::string stream = xz(data, 6, LZMA_CHECK_CRC32), got;
    ASSERT_EQ(decode(stream, &got), XZ_END);
    // Every byte changed: the stream's header and flags, the block header,
    // the LZMA2 chunks, the padding, the check, the index and the footer.
    for (size_t at = 0; at < stream.size(); at++) {
        std::string bad = stream;
        bad[at] = char(bad[at] ^ 0x21);
        EXPECT_NE(decode(bad, &got), XZ_END) << "byte " << at;
    }
    // Cut anywhere: never done.
    for (size_t n = 0; n < stream.size(); n++)
        EXPECT_EQ(decode(stream.substr(0, n), &got, 7, 5), XZ_MORE) << n;
    // What follows the footer is no part of the stream.
    EXPECT_EQ(decode(stream + "trailing", &got), XZ_END);
    EXPECT_EQ(got, data);
}

// What an encoder set up in s makes of data, in one call; s is ended.
static std::string encoded(lzma_stream *s, const std::string &data)
{
    std::string out(data.size() * 2 + 4096, '\0');
    s->next_in = reinterpret_cast<const uint8_t *>(data.data());
    s->avail_in = data.size();
    s->next_out = reinterpret_cast<uint8_t *>(out.data());
    s->avail_out = out.size();
    EXPECT_EQ(lzma_code(s, LZMA_FINISH), LZMA_STREAM_END);
    out.resize(out.size() - s->avail_out);
    lzma_end(s);
    return out;
}

TEST(XzDecoder, WhatItDoesNotTakeIsSaid)
{
    std::string data(100000, 'x'), got;
    EXPECT_EQ(decode(xz(data, 6, LZMA_CHECK_CRC64), &got), XZ_UNSUPPORTED);
    EXPECT_EQ(decode(xz(data, 6, LZMA_CHECK_SHA256), &got), XZ_UNSUPPORTED);
    // Preset 6's dictionary is 8 MiB, all of which a stream written as it
    // comes (its block naming no size) needs.
    lzma_stream streamed = LZMA_STREAM_INIT;
    ASSERT_EQ(lzma_easy_encoder(&streamed, 6, LZMA_CHECK_CRC32), LZMA_OK);
    std::string unsized = encoded(&streamed, data);
    EXPECT_EQ(decode(unsized, &got, 1 << 20, 1 << 20, 8 << 20), XZ_END);
    EXPECT_EQ(decode(unsized, &got, 1 << 20, 1 << 20, (8 << 20) - 1), XZ_NO_MEMORY);
    EXPECT_EQ(decode("not an xz stream at all", &got), XZ_BAD);
    // Written as the packer writes it (one block naming its sizes), the
    // same stream needs a window of the data's own size alone.
    lzma_mt mt = {};
    mt.threads = 1;
    mt.block_size = data.size();
    mt.preset = 6;
    mt.check = LZMA_CHECK_CRC32;
    lzma_stream s = LZMA_STREAM_INIT;
    ASSERT_EQ(lzma_stream_encoder_mt(&s, &mt), LZMA_OK);
    std::string sized = encoded(&s, data);
    EXPECT_EQ(decode(sized, &got, 1 << 20, 1 << 20, 100000), XZ_END);
    EXPECT_EQ(got, data);
    EXPECT_EQ(decode(sized, &got, 1 << 20, 1 << 20, 99999), XZ_NO_MEMORY);
    // Cut into blocks, as threads write it: each block's window is its own
    // size, the largest of them what the stream needs.
    mt.block_size = 30000;
    mt.threads = 2;
    s = LZMA_STREAM_INIT;
    ASSERT_EQ(lzma_stream_encoder_mt(&s, &mt), LZMA_OK);
    std::string blocks = encoded(&s, data);
    EXPECT_EQ(decode(blocks, &got, 777, 1 << 20, 30000), XZ_END);
    EXPECT_EQ(got, data);
    EXPECT_EQ(decode(blocks, &got, 777, 1 << 20, 29999), XZ_NO_MEMORY);
    // Another filter before LZMA2 (x86), as liblzma writes it.
    lzma_options_lzma lzma;
    lzma_lzma_preset(&lzma, 6);
    lzma_filter filters[] = {{LZMA_FILTER_X86, NULL}, {LZMA_FILTER_LZMA2, &lzma},
                             {LZMA_VLI_UNKNOWN, NULL}};
    std::string out(200000, '\0');
    size_t size = 0;
    ASSERT_EQ(lzma_stream_buffer_encode(filters, LZMA_CHECK_CRC32, NULL,
                                        reinterpret_cast<const uint8_t *>(data.data()), data.size(),
                                        reinterpret_cast<uint8_t *>(out.data()), &size, out.size()),
              LZMA_OK);
    out.resize(size);
    EXPECT_EQ(decode(out, &got), XZ_UNSUPPORTED);
}

// A stream decoded in two places, as the extractor's two threads do: the
// first decoder pauses before block `first`, a second decodes the blocks
// from there (given the stream header, then their bytes), and the first
// counts them by the sizes their headers store and reads on after them.
// The index must list every block as counted: a wrong size is damage.
TEST(XzDecoder, BlocksDecodedApartCountAsTheirOwn)
{
    std::string data;
    for (int i = 0; data.size() < 100000; i++)
        data += std::to_string(i * 7919 % 1000) + (i % 3 ? " " : "\n");
    lzma_mt mt = {};
    mt.threads = 2;
    mt.block_size = 30000;
    mt.preset = 6;
    mt.check = LZMA_CHECK_CRC32;
    lzma_stream s = LZMA_STREAM_INIT;
    ASSERT_EQ(lzma_stream_encoder_mt(&s, &mt), LZMA_OK);
    const std::string stream = encoded(&s, data);
    const unsigned char *in = reinterpret_cast<const unsigned char *>(stream.data());
    // Where each block starts, and its sizes, as the headers say.
    std::vector<size_t> starts;
    std::vector<uint64_t> unpadded, sizes;
    for (size_t at = 12; in[at] != 0;) {
        uint32_t size = (in[at] + 1u) * 4;
        uint64_t compressed, uncompressed;
        ASSERT_TRUE(xz_block_sizes(in + at, size, &compressed, &uncompressed));
        std::string bad(stream.substr(at, size));
        bad[1] ^= 1;  // the flags: the header's CRC32 no longer matches
        EXPECT_FALSE(xz_block_sizes(reinterpret_cast<const unsigned char *>(bad.data()), size,
                                    &compressed, &uncompressed));
        starts.push_back(at);
        unpadded.push_back(size + compressed + 4);
        sizes.push_back(uncompressed);
        at += ((size + compressed + 3) & ~uint64_t(3)) + 4;
    }
    ASSERT_EQ(sizes.size(), 4u);
    static XzDecoder first, second;
    for (size_t cut = 1; cut < sizes.size(); cut++)
        for (int wrong = 0; wrong < 2; wrong++) {
            SCOPED_TRACE(cut);
            std::string got(data.size(), '\0'), rest(data.size(), '\0');
            unsigned char *out = reinterpret_cast<unsigned char *>(got.data());
            size_t in_pos = 0, out_pos = 0;
            xz_decoder_init(&first, 1 << 30);
            xz_decoder_stop_before(&first, cut);
            EXPECT_EQ(xz_decode(&first, in, &in_pos, stream.size(), out, &out_pos, got.size()),
                      XZ_PAUSED);
            EXPECT_EQ(in_pos, starts[cut]);
            // The second: the stream header, then its blocks from their place.
            std::string apart = stream.substr(0, 12) + stream.substr(starts[cut]);
            size_t apart_pos = 0, rest_pos = 0;
            xz_decoder_init(&second, 1 << 30);
            xz_decoder_stop_before(&second, sizes.size() - cut);
            EXPECT_EQ(xz_decode(&second, reinterpret_cast<const unsigned char *>(apart.data()),
                                &apart_pos, apart.size(),
                                reinterpret_cast<unsigned char *>(rest.data()), &rest_pos,
                                rest.size()),
                      XZ_PAUSED);
            xz_decoder_end(&second);
            EXPECT_EQ(got.substr(0, out_pos) + rest.substr(0, rest_pos), data);
            for (size_t b = cut; b < sizes.size(); b++)
                xz_decoder_count_block(&first, unpadded[b], sizes[b] + (wrong && b == cut));
            in_pos = starts[cut] + (apart_pos - 12);  // on after the second's blocks
            xz_decoder_stop_before(&first, ~uint64_t(0));
            EXPECT_EQ(xz_decode(&first, in, &in_pos, stream.size(), out, &out_pos, got.size()),
                      wrong ? XZ_BAD : XZ_END);
            xz_decoder_end(&first);
        }
}

// The packer's plan of its stream: pieces cover the archive in order, each
// block's first piece starts from nothing, and a later one's window lies in
// its block and within the dictionary. Sizes alone decide.
TEST(SolidPlan, PiecesCoverTheArchiveAndWindowsStayInTheirBlock)
{
    const uint64_t MiB = 1 << 20;
    struct Case {
        const SolidLevel *level;
        uint64_t size, dictionary;
        size_t pieces, blocks;
    } cases[] = {
        {&SOLID_DEFAULT, 0, LZMA_DICT_SIZE_MIN, 1, 1},
        {&SOLID_BEST, 3 * MiB, 3 * MiB, 1, 1},  // a second piece would be under 1 MiB
        {&SOLID_BEST, 4 * MiB, 4 * MiB, 2, 1},
        {&SOLID_DEFAULT, 144 * MiB, 32 * MiB, 2, 2},     // two blocks of 72 MiB
        {&SOLID_DEFAULT, 300 * MiB, 32 * MiB, 4, 4},     // none over three dictionaries
        {&SOLID_BEST, 144 * MiB, 128 * MiB, 2, 1},
        {&SOLID_BEST, 1000 * MiB, 128 * MiB, 6, 3},      // blocks of 384, 384 and 232 MiB
    };
    for (const Case &c : cases) {
        std::vector<SolidPiece> pieces = solid_pieces(*c.level, c.size, c.dictionary);
        ASSERT_EQ(pieces.size(), c.pieces) << c.size;
        uint64_t at = 0, block_start = 0, block_work = 0;
        size_t blocks = 0;
        for (const SolidPiece &p : pieces) {
            EXPECT_EQ(p.start, at);
            if (c.size > 0) {
                EXPECT_GE(p.end - p.start, SOLID_PIECE_MIN);
            }
            EXPECT_EQ(p.window, std::min(c.dictionary, p.start - block_start)) << p.start;
            // A later piece is shorter by its window's hashing: a block's
            // pieces take the same time, to a few bytes of work.
            if (p.start == block_start)
                block_work = p.end - p.start;
            uint64_t work = p.end - p.start + p.window * c.level->window_cost / 100;
            EXPECT_NEAR(double(work), double(block_work), 4.0) << p.start;
            at = p.end;
            if (p.ends_block)
                block_start = p.end, blocks++;
        }
        EXPECT_EQ(at, c.size);
        EXPECT_EQ(blocks, c.blocks) << c.size;
        EXPECT_TRUE(pieces.back().ends_block);
    }
}
