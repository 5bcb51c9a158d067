#include <errno.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "launch/launch.h"
#include "image/pe.h"
#include "launch/layout.h"
#include "support.h"

// Every byte value, line ends and ^Z included, over a length that is no
// multiple of any block size.
static std::string all_byte_values(size_t length)
{
    std::string s(length, '\0');
    for (size_t i = 0; i < length; i++)
        s[i] = char((i * 7 + i / 256) & 0xFF);
    return s;
}

class Launch : public ScratchTest {
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        // "tmp.exe" as it is when it runs; "del" deletes it.
        fake_.on_command = [this](const std::string &line) {
            if (line == "tmp.exe")
                ran_payload_ = slurp("tmp.exe");
            if (line == "del tmp.exe")
                remove("tmp.exe");
        };
        stub_ = std::string(PAYLOAD_OFFSET - 2, 'S') + "MZ";  // not part of the payload
    }
    int launch_with(const std::string &payload)
    {
        spit("setup.exe", stub_ + payload);
        return launch(&host_, (dir_bytes_ + PLAT_SEP + "setup.exe").c_str());
    }
    void forget_errors()
    {
        fclose(err_);
        err_ = host_.err = tmpfile();
    }
    const std::vector<std::string> ran_and_deleted{"tmp.exe", "del tmp.exe"};
    std::string stub_, ran_payload_ = "<not run>";
};

TEST_F(Launch, CopiesEveryPayloadByteThenRunsAndDeletesIt)
{
    // Around the block size and its multiples: a copy that stops after the
    // first block, or drops a block's tail, shows here.
    const size_t B = COPY_BLOCK_SIZE;
    for (size_t length : {size_t(1), B - 1, B, B + 1, 2 * B, 3 * B + 7}) {
        fake_.commands.clear();
        std::string payload = all_byte_values(length);
        EXPECT_EQ(launch_with(payload), 0);
        EXPECT_EQ(ran_payload_.size(), payload.size()) << length;
        EXPECT_TRUE(ran_payload_ == payload) << length;
        EXPECT_EQ(fake_.commands, ran_and_deleted);
        EXPECT_FALSE(fs::exists("tmp.exe"));
    }
    EXPECT_EQ(err(), "");
    EXPECT_EQ(out(), "");
}

TEST_F(Launch, EmptyOrShortInstallerStillRunsAnEmptyPayload)
{
    EXPECT_EQ(launch_with(""), 0);
    EXPECT_EQ(ran_payload_, "");
    stub_.resize(100);
    EXPECT_EQ(launch_with(""), 0);
    EXPECT_EQ(ran_payload_, "");
    EXPECT_EQ(fake_.commands.size(), 4u);
}

// A stub whose headers name a certificate table at `at`, `size` bytes long,
// as signing writes them: the smallest well-formed PE32 head.
static std::string signed_stub(uint32_t at, uint32_t size)
{
    std::string s(PAYLOAD_OFFSET, '\0');
    auto put32 = [&](size_t i, uint32_t v) {
        for (int k = 0; k < 4; k++)
            s[i + k] = char((v >> (8 * k)) & 0xFF);
    };
    s[0] = 'M';
    s[1] = 'Z';
    put32(0x3C, 0x40);
    s.replace(0x40, 4, std::string("PE\0\0", 4));
    put32(0x44, 0x14C);             // i386, no sections
    put32(0x44 + 16, 224);          // optional header size
    const size_t opt = 0x58;
    put32(opt, 0x10B);              // PE32
    put32(opt + 60, 0x200);         // headers size
    put32(opt + 92, 16);            // data directories
    put32(opt + 128, at);
    put32(opt + 132, size);
    return s;
}

// A certificate table of one WIN_CERTIFICATE entry of `size` bytes, as
// signing appends it: length, revision 2.0, PKCS#7 signed data.
static std::string cert_table(uint32_t size)
{
    std::string t(size, 'C');
    for (int k = 0; k < 4; k++)
        t[k] = char((size >> (8 * k)) & 0xFF);
    t.replace(4, 4, std::string("\x00\x02\x02\x00", 4));
    return t;
}

TEST_F(Launch, ASignedInstallersCertificateTableStaysOutOfTmpExe)
{
    // The payload, itself signed, runs exactly as it was signed.
    std::string payload = all_byte_values(100000), table = cert_table(3000);
    const uint32_t at = PAYLOAD_OFFSET + 100000;
    stub_ = signed_stub(at, 3000);
    EXPECT_EQ(launch_with(payload + table), 0);
    EXPECT_TRUE(ran_payload_ == payload) << ran_payload_.size();
    // An entry that names anything but a well-formed table ending the file,
    // after the stub, is no certificate table: everything after the stub is
    // copied. (where, size, the bytes at the end of the file)
    std::string junk(500, 'j'), bad_revision = table, bad_type = table, short_length = table;
    bad_revision[5] = 3;
    bad_type[6] = 9;
    short_length[0] = 7;
    const struct {
        uint32_t at, size;
        std::string tail;
    } not_tables[] = {
        {at, 2999, table},                                 // not to the end
        {PAYLOAD_OFFSET - 8, 100000 + 3000 + 8, table},    // starts inside the stub
        {at, 500, junk},                                   // no entry header at all
        {PAYLOAD_OFFSET, 100000 + 3000, table},            // the whole payload
        {at + 2999, 1, table},                             // one byte
        {at + 4, 2996, table},                             // not 8-byte aligned
        {at, 3000, bad_revision}, {at, 3000, bad_type}, {at, 3000, short_length},
    };
    for (const auto &c : not_tables) {
        stub_ = signed_stub(c.at, c.size);
        EXPECT_EQ(launch_with(payload + c.tail), 0);
        EXPECT_TRUE(ran_payload_ == payload + c.tail) << c.at << " " << c.size;
    }
    // Two entries, the first padded to 8 bytes, fill it as well.
    stub_ = signed_stub(at, 1000 + 3000);
    std::string two = cert_table(996) + std::string(4, '\0') + table;
    EXPECT_EQ(launch_with(payload + two), 0);
    EXPECT_TRUE(ran_payload_ == payload);
}

TEST_F(Launch, OverwritesAnExistingTmpExe)
{
    spit("tmp.exe", std::string(300000, 'o'));
    EXPECT_EQ(launch_with("new"), 0);
    EXPECT_EQ(ran_payload_, "new");
    EXPECT_FALSE(fs::exists("tmp.exe"));
}

TEST_F(Launch, MissingInstallerFileIsReportedAndNothingRuns)
{
    EXPECT_EQ(launch(&host_, "no-such-setup.exe"), 1);
    EXPECT_EQ(err(), std::string("no-such-setup.exe: ") + strerror(ENOENT) + "\n");
    EXPECT_TRUE(fake_.commands.empty());
    EXPECT_FALSE(fs::exists("tmp.exe"));
}

TEST_F(Launch, TmpExeThatCannotBeCreatedIsReported)
{
    fs::create_directory("tmp.exe");
    EXPECT_EQ(launch_with("payload"), 1);
    // A folder in the way: "Is a directory" natively, "Permission denied" on
    // Windows, as the C library says it.
    std::string e = err();
    EXPECT_TRUE(e == std::string("tmp.exe: ") + strerror(EISDIR) + "\n" ||
                e == std::string("tmp.exe: ") + strerror(EACCES) + "\n") << e;
    EXPECT_TRUE(fake_.commands.empty());
}

// A stream whose writes succeed and whose close fails, as when the system
// reports a full disk or a lost share only when the file is closed.
static FILE *failing_close(const char *path, const char *mode)
{
#ifdef __GLIBC__
    if (strcmp(path, "tmp.exe") == 0) {
        FILE *real = fopen(path, mode);
        cookie_io_functions_t io = {};
        io.write = [](void *c, const char *p, size_t n) -> ssize_t {
            return (ssize_t)fwrite(p, 1, n, (FILE *)c);
        };
        io.close = [](void *c) {
            fclose((FILE *)c);
            errno = EIO;
            return -1;
        };
        return fopencookie(real, mode, io);
    }
#endif
    return fopen(path, mode);
}

TEST_F(Launch, FailedCloseRemovesTmpExeAndNeverRunsIt)
{
#ifndef __GLIBC__
    GTEST_SKIP() << "needs fopencookie to make a close fail";
#endif
    fake_.open_file = failing_close;
    EXPECT_EQ(launch_with(all_byte_values(1000)), 1);
    EXPECT_EQ(err(), std::string("tmp.exe: ") + strerror(EIO) + "\n");
    EXPECT_FALSE(fs::exists("tmp.exe"));
    EXPECT_TRUE(fake_.commands.empty());
}

TEST_F(Launch, FailedWritesRemoveThePartialTmpExeAndNeverRunIt)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "needs /dev/full";
    // /dev/full fails every write, of a small payload and of one that takes
    // several blocks.
    for (size_t length : {size_t(10), size_t(COPY_BLOCK_SIZE) * 3}) {
        fs::create_symlink("/dev/full", "tmp.exe");
        EXPECT_EQ(launch_with(all_byte_values(length)), 1) << length;
        EXPECT_EQ(err(), std::string("tmp.exe: ") + strerror(ENOSPC) + "\n");
        EXPECT_FALSE(fs::exists(fs::symlink_status("tmp.exe")));
        EXPECT_TRUE(fake_.commands.empty());
        forget_errors();
    }
}

TEST_F(Launch, FailedReadNamesTheInstallerAndRunsNothing)
{
    // A directory: natively it opens and fails at the first read; on Windows
    // it fails to open. Either way the installer is named and nothing runs.
    fs::create_directory("setup.exe");
    EXPECT_EQ(launch(&host_, "setup.exe"), 1);
    EXPECT_EQ(err().rfind("setup.exe: ", 0), 0u) << err();
    EXPECT_FALSE(fs::exists("tmp.exe"));
    EXPECT_TRUE(fake_.commands.empty());
}

// The header checksum, summed in blocks of any even length, against the
// loader's own steps: a 16-bit word at a time, each carry folded back at
// once. All ones, all zeros, an odd length and random bytes.
TEST(PeChecksum, BlocksOfAnyEvenLengthGiveTheLoadersSum)
{
    auto loaders = [](const std::string &d) {
        uint32_t sum = 0;
        for (size_t i = 0; i < d.size(); i += 2) {
            sum += (unsigned char)d[i] | (i + 1 < d.size() ? (unsigned char)d[i + 1] << 8 : 0);
            sum = (sum & 0xFFFF) + (sum >> 16);
        }
        return sum + uint32_t(d.size());
    };
    std::string random(100001, '\0');
    for (size_t i = 0; i < random.size(); i++)
        random[i] = char((i * 2654435761u) >> 13);
    for (const std::string &d : {std::string(70000, '\xFF'), std::string(4096, '\0'),
                                 std::string("\x01\xFF\xFE", 3), random}) {
        const unsigned char *p = reinterpret_cast<const unsigned char *>(d.data());
        for (size_t block : {size_t(2), size_t(6), size_t(4096), d.size() + 1}) {
            uint32_t sum = 0;
            for (size_t at = 0; at < d.size(); at += block)
                sum = pe_checksum_add(sum, p + at, std::min(block, d.size() - at));
            EXPECT_EQ(pe_checksum_end(sum, d.size()), loaders(d)) << d.size() << " by " << block;
        }
    }
}
