// The learned-line writer: exact bytes, creation, the end-of-data byte,
// failures that must not corrupt the timetable.
#include "eventfile.h"
#include "schedule.h"
#include "settings.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Learned : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetProgram();
        eventFileName = scratchPath("learned.txt");
        unlink(eventFileName.c_str());
    }
    void TearDown() override { resetProgram(); }

    int append(const char *day, const char *time, int32_t value, capturedOutput *output = nullptr)
    {
        rtEvent_t ev = {};
        parseEvent(&ev, day, time, -1);
        ev.state = value;  // learn mode stores 0 or 1 in the clock sample
        beginCapture();
        int result = appendLearnedEvent(&ev);
        capturedOutput captured = endCapture();
        if (output)
            *output = captured;
        return result;
    }
};

TEST_F(Learned, CreatesTheFileAndWritesCrLf)
{
    ASSERT_EQ(append("tu", "07:30:05", 1), 0);
    ASSERT_EQ(append("su", "23:59:59", 0), 0);
    EXPECT_EQ(readFile(eventFileName),
              "Tue 07:30:05 1 ;; *Learned event*\r\nSun 23:59:59 0 ;; *Learned event*\r\n");
}

// Old editors pad with several Ctrl-Z; a line after any of them is never
// read. The start-up check changes nothing, only the append removes them.
TEST_F(Learned, RemovesEveryTrailingCtrlZ)
{
    writeFile(eventFileName, "mo 8 1\r\n\x1A");
    ASSERT_EQ(append("mo", "9", 0), 0);
    EXPECT_EQ(readFile(eventFileName), "mo 8 1\r\nMon 09:00:00 0 ;; *Learned event*\r\n");

    writeFile(eventFileName, "mo 8 1\n\x1A\x1A\x1A");
    ASSERT_EQ(checkEventFileAppendable(), 0);
    EXPECT_EQ(readFile(eventFileName), "mo 8 1\n\x1A\x1A\x1A");
    ASSERT_EQ(append("mo", "9", 0), 0);
    EXPECT_EQ(readFile(eventFileName), "mo 8 1\nMon 09:00:00 0 ;; *Learned event*\r\n");

    writeFile(eventFileName, "mo 8 1\n\x1Atu 9 1\n\x1A");
    capturedOutput output;
    beginCapture();
    EXPECT_EQ(checkEventFileAppendable(), -1);
    output = endCapture();
    EXPECT_EQ(output.out, "ERROR:  Event file has data after an end-of-data byte (0x1A):  '" + eventFileName + "'\n");
    EXPECT_EQ(append("mo", "9", 0), -1);
    EXPECT_EQ(readFile(eventFileName), "mo 8 1\n\x1Atu 9 1\n\x1A");
}

// Appended to a last line without a line end, the learned line would be
// read as extra fields of that line and lost.
TEST_F(Learned, EndsAnUnfinishedLastLineFirst)
{
    writeFile(eventFileName, "mo 8 1");
    ASSERT_EQ(append("mo", "9", 0), 0);
    EXPECT_EQ(readFile(eventFileName), "mo 8 1\r\nMon 09:00:00 0 ;; *Learned event*\r\n");
    beginCapture();
    loadEventFile();
    listEvents();
    EXPECT_EQ(endCapture().out, "Mon 08:00:00 On\nMon 09:00:00 Off\n");
}

TEST_F(Learned, AppendabilityCheckCreatesAnEmptyFile)
{
    ASSERT_EQ(checkEventFileAppendable(), 0);
    struct stat st;
    ASSERT_EQ(stat(eventFileName.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

TEST_F(Learned, FailuresAreReported)
{
    eventFileName = scratchPath("no-such-folder/learned.txt");
    capturedOutput output;
    EXPECT_EQ(append("mo", "8", 1, &output), -1);
    EXPECT_EQ(output.out, "ERROR:  Cannot open event file for appending:  '" + eventFileName + "'\n");
    EXPECT_EQ(output.err, "No such file or directory\n");
    beginCapture();
    EXPECT_EQ(checkEventFileAppendable(), -1);
    endCapture();

    // A full disk: the write fails and says so instead of claiming success,
    // and the file keeps its bytes, end-of-data bytes included.
    eventFileName = scratchPath("learned.txt");
    std::string before = "mo 8 1 ;" + std::string(100, '-') + "\n\x1A\x1A";
    writeFile(eventFileName, before);
    // Room for the messages captured in files, not for the learned line.
    // Only the soft limit: without CAP_SYS_RESOURCE a lowered hard limit
    // could not be raised again for the tests that follow.
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit tight = {130, old.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &tight);
    EXPECT_EQ(append("mo", "8", 1, &output), -1);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(output.out, "ERROR:  Cannot write event file:  '" + eventFileName + "'\n");
    EXPECT_EQ(output.err, "File too large\n");
    EXPECT_EQ(readFile(eventFileName), before);

    eventFileName = "/dev/full";
    EXPECT_EQ(append("mo", "8", 1, &output), -1);
    EXPECT_EQ(output.out, "ERROR:  Event file is not a regular file:  '/dev/full'\n");
}

// Root's learn mode in a world-writable folder without the sticky bit: a
// link planted by another user is not followed, neither as the file nor as
// a folder on its path, a dangling link creates nothing, and no file is
// touched.
TEST_F(Learned, PlantedLinksAreNotFollowed)
{
    std::string folder = scratchPath("open-to-all");
    mkdir(folder.c_str(), 0777);
    chmod(folder.c_str(), 0777);
    std::string secret = scratchPath("secret");
    writeFile(secret, "root only\x1A");
    eventFileName = folder + "/week.txt";
    unlink(eventFileName.c_str());
    ASSERT_EQ(symlink(secret.c_str(), eventFileName.c_str()), 0);
    if (geteuid() != 0 || lchown(eventFileName.c_str(), 4242, 4242) != 0)
        GTEST_SKIP() << "needs root to plant another user's link";
    capturedOutput output;
    beginCapture();
    EXPECT_EQ(checkEventFileAppendable(), -1);
    output = endCapture();
    EXPECT_EQ(output.out, "ERROR:  Not following a symbolic link in a world-writable folder:  '" + eventFileName + "'\n");
    EXPECT_EQ(append("mo", "8", 1), -1);
    EXPECT_EQ(readFile(secret), "root only\x1A");
    // Our own link to the planted one: the link it names is judged too.
    std::string planted = eventFileName;
    eventFileName = folder + "/ours.txt";
    ASSERT_EQ(symlink("week.txt", eventFileName.c_str()), 0);
    EXPECT_EQ(append("mo", "8", 1), -1);
    EXPECT_EQ(readFile(secret), "root only\x1A");
    unlink(eventFileName.c_str());
    eventFileName = planted;

    std::string elsewhere = scratchPath("elsewhere");
    unlink(elsewhere.c_str());
    unlink(eventFileName.c_str());
    ASSERT_EQ(symlink(elsewhere.c_str(), eventFileName.c_str()), 0);
    EXPECT_EQ(append("mo", "8", 1), -1);
    EXPECT_NE(access(elsewhere.c_str(), F_OK), 0);
    unlink(eventFileName.c_str());

    // A planted link to another user's folder higher up the path: its file is
    // not appended to and none is created there. Our own link is followed.
    std::string victim = scratchPath("victim");
    mkdir(victim.c_str(), 0755);
    writeFile(victim + "/week.txt", "mo 8 1\n");
    planted = folder + "/d";
    unlink(planted.c_str());
    ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
    ASSERT_EQ(lchown(planted.c_str(), 4242, 4242), 0);
    eventFileName = planted + "/week.txt";
    EXPECT_EQ(append("mo", "9", 1, &output), -1);
    EXPECT_EQ(output.out, "ERROR:  Not following a symbolic link in a world-writable folder:  '" + eventFileName + "'\n");
    EXPECT_EQ(readFile(victim + "/week.txt"), "mo 8 1\n");
    eventFileName = planted + "/new.txt";
    EXPECT_EQ(append("mo", "9", 1), -1);
    EXPECT_NE(access((victim + "/new.txt").c_str(), F_OK), 0);
    ASSERT_EQ(lchown(planted.c_str(), geteuid(), getegid()), 0);
    eventFileName = planted + "/week.txt";
    EXPECT_EQ(append("mo", "9", 1), 0);
    EXPECT_EQ(readFile(victim + "/week.txt"), "mo 8 1\nMon 09:00:00 1 ;; *Learned event*\r\n");
    unlink(planted.c_str());
}

} // namespace
