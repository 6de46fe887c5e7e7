// The learned-line writer: exact bytes, creation, the end-of-data byte,
// failures that must not corrupt the timetable.
#include "eventfile.h"
#include "schedule.h"
#include "settings.h"
#include "test_util.h"

#include <gtest/gtest.h>

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

TEST_F(Learned, RemovesOneTrailingCtrlZ)
{
    writeFile(eventFileName, "mo 8 1\r\n\x1A");
    ASSERT_EQ(append("mo", "9", 0), 0);
    EXPECT_EQ(readFile(eventFileName), "mo 8 1\r\nMon 09:00:00 0 ;; *Learned event*\r\n");

    writeFile(eventFileName, "mo 8 1\n\x1A\x1A");
    ASSERT_EQ(checkEventFileAppendable(), 0);
    EXPECT_EQ(readFile(eventFileName), "mo 8 1\n\x1A");
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

    // A full disk: the write fails and says so instead of claiming success.
    eventFileName = "/dev/full";
    EXPECT_EQ(append("mo", "8", 1, &output), -1);
    EXPECT_EQ(output.out, "ERROR:  Cannot write event file:  '/dev/full'\n");
    EXPECT_EQ(output.err, "No space left on device\n");
}

} // namespace
