#include <errno.h>
#include <string.h>


#include "dialogue/dialogue.h"
#include "dialogue/texts.h"
#include "support.h"

static const std::string PROMPT = "\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5B\x83\x8B\x90\xE6 [\\grelm]: ";

class Dialogue : public ScratchTest {
protected:
    int run(const char *default_folder = "\\grelm") { return run_dialogue(&host_, default_folder); }
};

TEST_F(Dialogue, EmptyOrBlankReplyInstallsToTheDefault)
{
    type(" \t\r\n" "y\n");
    EXPECT_EQ(run(), 0);
#ifdef _WIN32
    EXPECT_EQ(cwd_bytes().substr(1), ":\\grelm");  // the root of the current drive
    fs::current_path(dir_);
    fs::remove(cwd_bytes().substr(0, 2) + "\\grelm");
#else
    EXPECT_EQ(where(), "\\grelm");  // natively just a name
#endif
    EXPECT_EQ(out(), PROMPT + TEXT_CREATE_QUESTION);
    EXPECT_EQ(err(), "");
}

// The folder a publisher packed in ("\製品", ending in a 0x5C trail byte) is
// offered and taken as "\grelm" is.
TEST_F(Dialogue, ThePackedDefaultFolderIsOfferedAndTaken)
{
    const std::string folder = "\\\x90\xBB\x95\x69\x95\x5C";  // "\製品表"
    type("\n" "y\n");
    EXPECT_EQ(run(folder.c_str()), 0);
#ifdef _WIN32
    EXPECT_EQ(cwd_bytes().substr(2), folder);
    fs::current_path(dir_);
    EXPECT_EQ(rmdir((cwd_bytes().substr(0, 2) + folder).c_str()), 0);
#else
    EXPECT_EQ(where(), folder);
#endif
    EXPECT_EQ(out(), "\x83\x43\x83\x93\x83\x58\x83\x67\x81\x5B\x83\x8B\x90\xE6 [" + folder +
                     "]: " + TEXT_CREATE_QUESTION);
}

TEST_F(Dialogue, ExistingDirectoryEndsAtOnceTriedWithoutSurroundingSpace)
{
    fs::create_directory("target dir");
    type("  target dir \r\n" "left for the payload\n");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(where(), "target dir");
    EXPECT_EQ(out(), PROMPT);
}

TEST_F(Dialogue, OnlyLowerCaseFirstBytesAnswerAndFailuresReturnToThePrompt)
{
    spit("a file", "x");
    type("no/parent\n"      // can't enter it: offer to create
         "Y\n" " y\n" "\n"  // none of these answers
         "yes\n"            // creation fails: parent missing
         "a file\n" "y\n"   // creation fails: an ordinary file is in the way
         "new\n" "nope\n"   // "n..." declines: ask for a directory again
         "new\n" "y\n");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(where(), "new");
    const std::string Q = TEXT_CREATE_QUESTION, R = TEXT_ANSWER_REQUEST;
    EXPECT_EQ(out(), PROMPT + Q + R + Q + R + Q + R + Q + TEXT_CREATE_FAILED +
                     PROMPT + Q + TEXT_CREATE_FAILED +
                     PROMPT + Q + PROMPT + Q);
    EXPECT_FALSE(fs::exists(dir_ / "no"));
    EXPECT_EQ(err(), "");
}

TEST_F(Dialogue, OverLongLinesLeaveTheirRestForTheNextRead)
{
    // 1,023 bytes make the reply; the "y\n" left over answers the question.
    // Creating a 1,023-byte name fails, so the prompt comes back.
    // Then a 127-byte "n..." answer leaves "ok\n" for the directory prompt.
    fs::create_directory("ok");
    type(std::string(1023, 'd') + "y\n" + "x\n" + std::string(127, 'n') + "ok\n");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(where(), "ok");
    const std::string Q = TEXT_CREATE_QUESTION;
    EXPECT_EQ(out(), PROMPT + Q + TEXT_CREATE_FAILED + PROMPT + Q + PROMPT);
}

TEST_F(Dialogue, ShiftJisReplyReachesTheFileSystemUnchanged)
{
    const std::string name = "\x83\x43\x83\x93\x83\x5C\x95\x5C"; // ends in 5C bytes
    type(" " + name + "\r\n" "y\n");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(where(), name);
}

TEST_F(Dialogue, EndOfInputAtThePromptStopsTheInstallation)
{
    type("");
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(out(), PROMPT + "\n" + TEXT_ABORTED);
}

TEST_F(Dialogue, EndOfInputAtTheQuestionStopsAndCreatesNothing)
{
    type("somewhere\n" "Y\n");
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(out(), PROMPT + TEXT_CREATE_QUESTION + TEXT_ANSWER_REQUEST +
                     TEXT_CREATE_QUESTION + "\n" + TEXT_ABORTED);
    EXPECT_TRUE(fs::is_empty(dir_));
    EXPECT_EQ(where(), ".");
}

TEST_F(Dialogue, FailedChangeAfterCreationIsReportedWithTheReply)
{
    fake_.make_dir = [](const char *) { return 0; };  // "made", yet not there
    fs::create_directory("real");
    type("ghost\n" "y\n" "real\n");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(where(), "real");
    EXPECT_EQ(out(), PROMPT + TEXT_CREATE_QUESTION + TEXT_CHDIR_FAILED + PROMPT);
    EXPECT_EQ(err(), std::string("ghost: ") + strerror(ENOENT) + "\n");
}
