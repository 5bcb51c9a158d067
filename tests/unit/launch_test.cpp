#include <errno.h>
#include <string.h>

#include <fstream>
#include <iterator>

#include "launch/launch.h"
#include "launch/layout.h"
#include "support.h"

static std::string slurp(const fs::path &p)
{
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

static void spit(const fs::path &p, const std::string &bytes)
{
    std::ofstream(p, std::ios::binary) << bytes;
}

// Every byte value, line ends and ^Z included, over a length that is no
// multiple of any block size.
static std::string all_byte_values(size_t length)
{
    std::string s(length, '\0');
    for (size_t i = 0; i < length; i++)
        s[i] = char((i * 7 + i / 256) & 0xFF);
    return s;
}

static std::string ran_payload;  // "tmp.exe" as it was when it was run

static int run_and_delete(const char *line)
{
    commands.emplace_back(line);
    if (strcmp(line, "tmp.exe") == 0)
        ran_payload = slurp("tmp.exe");
    if (strcmp(line, "del tmp.exe") == 0)
        remove("tmp.exe");
    return 1;  // whatever the commands return must not matter
}

class Launch : public ScratchTest {
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        host_.run_command = run_and_delete;
        ran_payload = "<not run>";
        stub_ = std::string(PAYLOAD_OFFSET - 2, 'S') + "MZ";  // not part of the payload
    }
    int launch_with(const std::string &payload)
    {
        spit("setup.exe", stub_ + payload);
        return launch(&host_, (dir_ / "setup.exe").c_str());
    }
    const std::vector<std::string> ran_and_deleted{"tmp.exe", "del tmp.exe"};
    std::string stub_;
};

TEST_F(Launch, CopiesEveryPayloadByteThenRunsAndDeletesIt)
{
    for (size_t length : {size_t(1), size_t(256), size_t(64 * 1024), size_t(200001)}) {
        commands.clear();
        std::string payload = all_byte_values(length);
        EXPECT_EQ(launch_with(payload), 0);
        EXPECT_EQ(ran_payload, payload) << length;
        EXPECT_EQ(commands, ran_and_deleted);
        EXPECT_FALSE(fs::exists("tmp.exe"));
    }
    EXPECT_EQ(err(), "");
    EXPECT_EQ(out(), "");
}

TEST_F(Launch, EmptyOrShortInstallerStillRunsAnEmptyPayload)
{
    EXPECT_EQ(launch_with(""), 0);
    EXPECT_EQ(ran_payload, "");
    stub_.resize(100);
    EXPECT_EQ(launch_with(""), 0);
    EXPECT_EQ(ran_payload, "");
    EXPECT_EQ(commands.size(), 4u);
}

TEST_F(Launch, OverwritesAnExistingTmpExe)
{
    spit("tmp.exe", std::string(300000, 'o'));
    EXPECT_EQ(launch_with("new"), 0);
    EXPECT_EQ(ran_payload, "new");
    EXPECT_FALSE(fs::exists("tmp.exe"));
}

TEST_F(Launch, MissingInstallerFileIsReportedAndNothingRuns)
{
    EXPECT_EQ(launch(&host_, "no-such-setup.exe"), 1);
    EXPECT_EQ(err(), std::string("no-such-setup.exe: ") + strerror(ENOENT) + "\n");
    EXPECT_TRUE(commands.empty());
    EXPECT_FALSE(fs::exists("tmp.exe"));
}

TEST_F(Launch, TmpExeThatCannotBeCreatedIsReported)
{
    fs::create_directory("tmp.exe");
    EXPECT_EQ(launch_with("payload"), 1);
    EXPECT_EQ(err(), std::string("tmp.exe: ") + strerror(EISDIR) + "\n");
    EXPECT_TRUE(commands.empty());
}

TEST_F(Launch, FailedWritesRemoveThePartialTmpExeAndNeverRunIt)
{
    // /dev/full fails every write: a small payload fails when it is flushed
    // at close, a large one already in the copy.
    for (size_t length : {size_t(10), size_t(1 << 20)}) {
        fs::create_symlink("/dev/full", "tmp.exe");
        EXPECT_EQ(launch_with(all_byte_values(length)), 1) << length;
        EXPECT_EQ(err(), std::string("tmp.exe: ") + strerror(ENOSPC) + "\n");
        EXPECT_FALSE(fs::exists(fs::symlink_status("tmp.exe")));
        EXPECT_TRUE(commands.empty());
        rewind(err_);
        ASSERT_EQ(ftruncate(fileno(err_), 0), 0);
    }
}

TEST_F(Launch, FailedReadNamesTheInstallerAndRunsNothing)
{
    // A directory opens for reading but fails at the first read.
    fs::create_directory("setup.exe");
    EXPECT_EQ(launch(&host_, "setup.exe"), 1);
    EXPECT_EQ(err(), std::string("setup.exe: ") + strerror(EISDIR) + "\n");
    EXPECT_FALSE(fs::exists("tmp.exe"));
    EXPECT_TRUE(commands.empty());
}
