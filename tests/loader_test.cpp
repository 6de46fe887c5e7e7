// The event-file loader: format edge cases, line ends, counters, refusals.
#include "calendar.h"
#include "eventfile.h"
#include "schedule.h"
#include "settings.h"
#include "test_util.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sys/resource.h>

namespace {

struct loadResult {
    int status;
    std::string listing;  // the ring as check mode lists it
    std::string out;      // the loader's messages
    std::string err;
};

class Loader : public ::testing::Test {
protected:
    void SetUp() override { resetProgram(); }
    void TearDown() override { resetProgram(); }

    loadResult load(const std::string &bytes)
    {
        eventFileName = scratchPath("events.txt");
        writeFile(eventFileName, bytes);
        return loadNamed();
    }

    loadResult loadNamed()
    {
        clearEvents();
        beginCapture();
        int status = loadEventFile();
        capturedOutput messages = endCapture();
        beginCapture();
        listEvents();
        return {status, endCapture().out, messages.out, messages.err};
    }
};

TEST_F(Loader, EmptyFileAndMissingFile)
{
    loadResult empty = load("");
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.listing, "");
    EXPECT_EQ(lineCnt, 0);

    eventFileName = scratchPath("no-such-file");
    loadResult missing = loadNamed();
    EXPECT_EQ(missing.status, -1);
    EXPECT_EQ(missing.out, "Warning:  Cannot open event file:  '" + eventFileName + "'\n");
    EXPECT_EQ(missing.err, "No such file or directory\n");
    EXPECT_EQ(missing.listing, "");
}

TEST_F(Loader, CountsLinesAndEntries)
{
    loadResult r = load("mo 8 1\n; a comment\n   \t\ntu 9 0\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lineCnt, 4);
    EXPECT_EQ(entryCnt, 2);
    EXPECT_EQ(r.listing, "Mon 08:00:00 On\nTue 09:00:00 Off\n");
}

TEST_F(Loader, DayWordsAndRanges)
{
    loadResult r = load("MONDAY 1 1\nmon 2 1\nMo 3 1\nsu-tu 4 1\nwe-we 5 1\nmo-tu-we 6 1\nfr-mo 22 0\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(entryCnt, 7);
    EXPECT_EQ(r.listing,
              "Mon 01:00:00 On\nMon 02:00:00 On\nMon 03:00:00 On\nMon 04:00:00 On\nMon 06:00:00 On\n"
              "Mon 22:00:00 Off\nTue 04:00:00 On\nTue 06:00:00 On\nWed 05:00:00 On\nFri 22:00:00 Off\n"
              "Sat 22:00:00 Off\nSun 04:00:00 On\nSun 22:00:00 Off\n");
}

TEST_F(Loader, BadDaysAreRefusedAndCounted)
{
    // A line of only the bad word: its line end is no part of the field shown.
    loadResult r = load("M 8 1\nxx 8 1\nmo-xx 8 1\nmo- 8 1\ntu 8 1\nxx\nmo-xx\r\n");
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(r.out, "ERROR:  Bad day:  'M'\nERROR:  Bad day:  'xx'\n"
                     "ERROR:  Bad day in range:  'mo-xx'\nERROR:  Bad day in range:  'mo-'\n"
                     "ERROR:  Bad day:  'xx'\nERROR:  Bad day in range:  'mo-xx'\n");
    EXPECT_EQ(entryCnt, 1);
    EXPECT_EQ(r.listing, "Tue 08:00:00 On\n");
}

TEST_F(Loader, ValuesInCNotation)
{
    loadResult r = load("mo 1 on\nmo 2 x\nmo 3 08\nmo 4 09\nmo 5 0x1F\nmo 6 010\nmo 7 7\nmo 8 -1\n");
    EXPECT_EQ(r.listing, "Mon 01:00:00 Off\nMon 02:00:00 Off\nMon 03:00:00 Off\nMon 04:00:00 Off\n"
                         "Mon 05:00:00 On\nMon 06:00:00 On\nMon 07:00:00 On\nMon 08:00:00\n");
}

TEST_F(Loader, SeparatorsCommentsAndOddLines)
{
    loadResult r = load("mo,07:30:00,1\n"
                        "sa,8:00,1 ; weekend\n"
                        "  \ttu 9 1 extra fields ignored\n"
                        "we 10:00:00 \n"           // the line end alone is the value: off
                        "th - fr 07:30:00 1\n");   // dash alone reads as the time, fr as the value
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.listing, "Mon 07:30:00 On\nTue 09:00:00 On\nWed 10:00:00 Off\nThu 00:00:00 Off\n"
                         "Sat 08:00:00 On\n");
}

TEST_F(Loader, BadTimesAndDuplicatesLoseOnlyTheirRecords)
{
    loadResult r = load("mo-we 8 1\ntu-th 8 0\nfr 24 1\nfr 23 1\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ERROR:  two entries have the same day/time value!\n"
                     "ERROR:  two entries have the same day/time value!\n"
                     "ERROR:  Bad time value:  '24: 0: 0'\n");
    EXPECT_EQ(entryCnt, 4);
    EXPECT_EQ(r.listing, "Mon 08:00:00 On\nTue 08:00:00 On\nWed 08:00:00 On\nThu 08:00:00 Off\n"
                         "Fri 23:00:00 On\n");
}

TEST_F(Loader, CrLfLoadsLikeLf)
{
    const std::string lf = "; comment\nmo-fr 07:30:00 1\n\nsa 8 0\nsu 9 0x10\n";
    loadResult withLf = load(lf);
    int linesLf = lineCnt;
    std::string crlf;
    for (char c : lf)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    resetProgram();
    loadResult withCrLf = load(crlf);
    EXPECT_EQ(withCrLf.listing, withLf.listing);
    EXPECT_EQ(withCrLf.out, withLf.out);
    EXPECT_EQ(lineCnt, linesLf);
    EXPECT_EQ(withLf.listing.size(), std::string("Mon 07:30:00 On\n").size() * 7 + 1);
}

TEST_F(Loader, LoneCarriageReturnStaysInTheLine)
{
    loadResult r = load("mo 07:30:00 1\rtu 08:00 1\n");
    EXPECT_EQ(lineCnt, 1);
    EXPECT_EQ(r.listing, "Mon 07:30:00 On\n");
}

TEST_F(Loader, CtrlZEndsTheData)
{
    loadResult r = load(std::string("mo 8 1\ntu 9 1\x1A\nwe 10 1\n"));
    EXPECT_EQ(r.listing, "Mon 08:00:00 On\nTue 09:00:00 On\n");
    EXPECT_EQ(lineCnt, 2);
    resetProgram();
    r = load(std::string("mo 8 1\n\x1Axx 1 1\n"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lineCnt, 1);
}

TEST_F(Loader, LearnedLineReadsBack)
{
    loadResult r = load("Sun 12:00:05 1 ;; *Learned event*\r\nTue 07:30:05 0 ;; *Learned event*\r\n");
    EXPECT_EQ(r.listing, "Tue 07:30:05 Off\nSun 12:00:05 On\n");
}

// A line is read whole however long it is: a long comment's tail must never
// become a timetable line that stops the program or switches equipment.
TEST_F(Loader, LongLinesAreReadWhole)
{
    std::string comment = ";" + std::string(253, 'c') + " mo 07:00:00 1 " + std::string(40, 'c') + "\n";
    std::string tailStartsWithDay = ";" + std::string(254, '-') + "mo 07:00:00 1\n";
    std::string longContent = "tu 09:00 1 ; " + std::string(400, 'x') + "\n";
    std::string manyFields = "we 10:00 1";
    for (int i = 0; i < 100; i++)
        manyFields += " field";
    manyFields += "\n";
    loadResult r = load(comment + tailStartsWithDay + longContent + manyFields + "   ;" + std::string(600, ' ') + "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(lineCnt, 5);
    EXPECT_EQ(entryCnt, 2);
    EXPECT_EQ(r.listing, "Tue 09:00:00 On\nWed 10:00:00 On\n");
}

// Without a time or a value the line is refused like a bad day, so run mode
// will not start on a guess.
TEST_F(Loader, IncompleteLinesAreRefused)
{
    loadResult r = load("mo 07:30:00\r\nmo 07:30:00 ;note\nfr\ntu 8 1\nsa 9");
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "ERROR:  Time or value missing:  'mo 07:30:00'\n"
                     "ERROR:  Time or value missing:  'mo 07:30:00'\n"
                     "ERROR:  Time or value missing:  'fr'\n"
                     "ERROR:  Time or value missing:  'sa 9'\n");
    EXPECT_EQ(entryCnt, 1);
    EXPECT_EQ(lineCnt, 5);
    EXPECT_EQ(r.listing, "Tue 08:00:00 On\n");
}

TEST_F(Loader, LastLineWithoutLineEnd)
{
    loadResult r = load("mo 8 1\ntu 9 1");
    EXPECT_EQ(r.listing, "Mon 08:00:00 On\nTue 09:00:00 On\n");
    resetProgram();
    r = load("mo 8 1\n  \t ");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(lineCnt, 2);
}

// Dated lines and holidays lines, a row each: the status, what is said
// (DIR/ is the timetable's folder) and the dated days as check mode lists them.
TEST_F(Loader, DatedLinesAndCalendars)
{
    std::string dailies = "BEGIN:VCALENDAR\n";
    for (int i = 0; i < 30; i++)
        dailies += "BEGIN:VEVENT\nDTSTART;VALUE=DATE:20260101\nRRULE:FREQ=DAILY\nEND:VEVENT\n";
    writeFile(scratchPath("dailies.ics"), dailies + "END:VCALENDAR\n");
    writeFile(scratchPath("seconds.ics"), "BEGIN:VCALENDAR\nBEGIN:VEVENT\nSUMMARY:s\nDTSTART;VALUE=DATE:20260101\n"
                                          "RRULE:FREQ=SECONDLY;BYMONTH=2;BYMONTHDAY=30\nEND:VEVENT\nEND:VCALENDAR\n");
    writeFile(scratchPath("large.ics"), "BEGIN:VCALENDAR\n" + std::string(4 << 20, '\n') + "END:VCALENDAR\n");
    struct row {
        const char *text;
        int status;
        const char *out, *err, *dated;
    } rows[] = {
        {"2026-12-24 as su\n", 0, "", "", "2026-12-24 Thu  as Sun  ; line 1\n"},
        {"2026-05-01 0\n2026-05-02 -1\n2026-05-03 0x1F\n", 0, "", "",
         "2026-05-01 Fri  held Off  ; line 1\n2026-05-02 Sat  held no state  ; line 2\n"
         "2026-05-03 Sun  held On  ; line 3\n"},
        {"2026-11-20 07:30 1\n2026-11-20 25:00 1\n", 0, "ERROR:  Bad time value:  '25: 0: 0'\n", "",
         "2026-11-20 Fri  07:30:00 On  ; line 1\n"},
        {"2026-08-01..2026-08-15 -1\n2026-12-30..2027-01-02 as sa\n2028-02-28..2028-03-01 0\n", 0, "", "",
         "2026-08-01..2026-08-15 Sat..Sat  held no state  ; line 1\n2026-12-30..2027-01-02 Wed..Sat  as Sat  ; line 2\n"
         "2028-02-28..2028-03-01 Mon..Wed  held Off  ; line 3\n"},
        {"2026-02-30 0\n2025-02-29 0\n1969-12-31 0\n10000-01-01 0\n2026-+1-30 0\n", 5,
         "ERROR:  Bad date:  '2026-02-30'\nERROR:  Bad date:  '2025-02-29'\nERROR:  Bad date:  '1969-12-31'\n"
         "ERROR:  Bad date:  '10000-01-01'\nERROR:  Bad date:  '2026-+1-30'\n", "", ""},
        {"[]\n[ pump]\n[0]\n[1-9]\n[3\n[3] x\n[1 a]\n[1,2 b]\n", 7,
         "ERROR:  Section names no line:  '[]'\nERROR:  Section names no line:  '[ pump]'\n"
         "ERROR:  Line outside 1..8 in section:  '[0]'\nERROR:  Line outside 1..8 in section:  '[1-9]'\n"
         "ERROR:  Bad section:  '[3'\nERROR:  Bad section:  '[3] x'\nERROR:  Line 1 named twice:  'a' and 'b'\n", "", ""},
        {"2026-03-10..2026-03-01 0\n2026-12-24 as xx\n2026-01-01..2029-01-05 0\n", 3,
         "ERROR:  Date range runs backwards:  '2026-03-10..2026-03-01'\nERROR:  Bad day after as:  'xx'\n"
         "ERROR:  Date range longer than three years:  '2026-01-01..2029-01-05'\n", "", ""},
        {"2026-12-24..2026-12-26 as su\n2026-12-25..2026-12-27 0\n2026-11-20 07:30 1\n2026-11-20 7:30:00 0\n", 0,
         "ERROR:  Dated twice:  '2026-12-25' and 1 more, by line 1 and line 2 (the first stays)\n"
         "ERROR:  Dated twice:  '2026-11-20 07:30:00', by line 3 and line 4 (the first stays)\n", "",
         "2026-11-20 Fri  07:30:00 On  ; line 3\n2026-12-24..2026-12-26 Thu..Sat  as Sun  ; line 1\n"
         "2026-12-27 Sun  held Off  ; line 2\n"},
        {"holidays none.ics as su\n", 1, "ERROR:  Cannot read calendar:  'DIR/none.ics'\n",
         "No such file or directory\n", ""},
        {"holidays events.txt 0\n", 1, "ERROR:  Cannot read calendar:  'DIR/events.txt'\n",
         "Not an iCalendar file: no BEGIN:VCALENDAR to END:VCALENDAR.\n", ""},
        {"holidays large.ics 0\n", 1, "ERROR:  Cannot read calendar:  'DIR/large.ics'\n",
         "Larger than 4 MiB: no holiday calendar is so large.\n", ""},
        {"holidays dailies.ics 0\n", 1, "ERROR:  Cannot read calendar:  'DIR/dailies.ics'\n",
         "Its events give more than 100,000 dates.\n", ""},
        {"holidays seconds.ics 0\n", 1, "ERROR:  Cannot read calendar:  'DIR/seconds.ics'\n",
         "The event 's' of 2026-01-01 recurs within a day.\n", ""},
    };
    std::string dir = scratchPath("");
    for (const row &r : rows) {
        resetProgram();
        loadResult got = load(r.text);
        beginCapture();
        listDatedDays();
        std::string dated = endCapture().out, out = r.out;
        if (out.find("DIR/") != std::string::npos)
            out.replace(out.find("DIR/"), 4, dir);
        EXPECT_EQ(got.status, r.status) << r.text;
        EXPECT_EQ(got.out, out) << r.text;
        EXPECT_EQ(got.err, r.err) << r.text;
        EXPECT_EQ(dated, r.dated) << r.text;
    }
    // Published holiday calendars start their yearly rules long before 1970.
    writeFile(scratchPath("old.ics"), "BEGIN:VCALENDAR\nBEGIN:VEVENT\nSUMMARY:May Day\nDTSTART;VALUE=DATE:19000501\n"
                                      "RRULE:FREQ=YEARLY\nEND:VEVENT\nEND:VCALENDAR\n");
    resetProgram();
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    EXPECT_EQ(load("holidays old.ics 1\n").status, 0);
    EXPECT_EQ(datedDays.count(dateNumber(local.tm_year + 1900, 5, 1)), 1u);
}

} // namespace

namespace {

// A stream of count bytes of fill, then tail, made up as it is read: a file
// larger than the test could afford to hold.
struct madeUpText {
    unsigned long long count;
    char fill;
    std::string tail;
};

ssize_t readMadeUp(void *cookie, char *buf, size_t size)
{
    madeUpText *text = (madeUpText *)cookie;
    size_t n = text->count < size ? (size_t)text->count : size;
    memset(buf, text->fill, n);
    text->count -= n;
    for (; n < size && !text->tail.empty(); n++) {
        buf[n] = text->tail[0];
        text->tail.erase(0, 1);
    }
    return (ssize_t)n;
}

int loadMadeUp(madeUpText text)
{
    cookie_io_functions_t io = {readMadeUp, nullptr, nullptr, nullptr};
    FILE *fp = fopencookie(&text, "r", io);
    int status = loadEventStream(fp);
    fclose(fp);
    return status;
}

long peakKiB(void)
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

// An endless line keeps memory flat; only its head can make an entry and a
// message shows a cut head.
TEST_F(Loader, HugeLinesAreReadToTheEndButNotKept)
{
    long before = peakKiB();
    beginCapture();
    int status = loadMadeUp({64ull << 20, 'x', "\nmo 8 1\n"});
    capturedOutput out = endCapture();
    EXPECT_LT(peakKiB() - before, 16 * 1024);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out.out, "ERROR:  Bad day:  '" + std::string(80, 'x') + "[...]'\n");
    EXPECT_EQ(lineCnt, 2);

    loadResult r = load("tu 9 1 ;" + std::string(10000, ' ') + "\r\n" + ";" + std::string(5000, 'c') + " mo 7 1\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.listing, "Tue 09:00:00 On\n");
}

// File text never reaches the terminal as control bytes.
TEST_F(Loader, ControlBytesAreQuotedEscaped)
{
    // Bidirectional controls (U+202E, U+2066, U+2069) would reorder the
    // terminal line; their neighbours U+2029 and U+206A pass.
    loadResult r = load("\x1b[2Jxx 1 1\nmo-\x1b]0;title\n\xc3\xa9\x9b\xc2\x9b\x7f 1 1\nmo 7:00\x07\n"
                        "x\xe2\x80\xaey\xe2\x81\xa6z\xe2\x81\xa9\xe2\x80\xa9\xe2\x81\xaa 1 1\n");
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.out, "ERROR:  Bad day:  '\\x1B[2Jxx'\n"
                     "ERROR:  Bad day in range:  'mo-\\x1B]0'\n"
                     "ERROR:  Bad day:  '\xc3\xa9\\x9B\\xC2\\x9B\\x7F'\n"
                     "ERROR:  Time or value missing:  'mo 7:00\\x07'\n"
                     "ERROR:  Bad day:  'x\\xE2\\x80\\xAEy\\xE2\\x81\\xA6z\\xE2\\x81\\xA9\xe2\x80\xa9\xe2\x81\xaa'\n");
}

// More lines than an int counts, as a 2.2 GB file of empty lines has.
TEST_F(Loader, CountersDoNotWrap)
{
    lineCnt = INT32_MAX;
    entryCnt = INT32_MAX;
    EXPECT_EQ(loadMadeUp({3, '\n', "mo 8 1\n"}), 0);
    EXPECT_EQ(lineCnt, INT32_MAX + 4LL);
    EXPECT_EQ(entryCnt, INT32_MAX + 1LL);
}
