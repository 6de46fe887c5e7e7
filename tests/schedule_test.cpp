// Records from text and back: day words, time texts, values, printing.
#include "schedule.h"
#include "test_util.h"

#include <gtest/gtest.h>

namespace {

// What a record made from these texts prints, or the error it printed.
std::string parsed(const char *day, const char *time, int32_t value)
{
    rtEvent_t ev = {};
    beginCapture();
    if (parseEvent(&ev, day, time, value) == 0)
        printEvent(&ev, "|");
    return endCapture().out;
}

TEST(ParseDay, FirstTwoLettersInAnyCase)
{
    struct { const char *text; int day; } cases[] = {
        {"Monday", 0}, {"mon", 0}, {"MO", 0}, {"tu", 1}, {"WEDNESDAY", 2}, {"thx", 3},
        {"Fr", 4}, {"sA", 5}, {"Sun", 6}, {"M", 7}, {"xx", 7}, {"", 7}, {"m0", 7}, {"-mo", 7},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parseDay(c.text), c.day) << c.text;
}

TEST(ReadCInt, CNotationWithClamping)
{
    struct { const char *text; int32_t value; } cases[] = {
        {"7", 7}, {"010", 8}, {"0x1F", 31}, {"0X1f", 31}, {"08", 0}, {"09", 0}, {"on", 0},
        {"x", 0}, {"", 0}, {"  -2", -2}, {"+5", 5}, {"-1", -1}, {"1\n", 1}, {"0378", 0x1F},
        {"01674", 0x3BC}, {"956", 0x3BC}, {"99999999999", INT32_MAX}, {"-99999999999", INT32_MIN},
        {"0xFFFFFFFF", INT32_MAX}, {"2147483648", INT32_MAX},
    };
    for (const auto &c : cases)
        EXPECT_EQ(readCInt(c.text), c.value) << c.text;
}

TEST(ParseEvent, TimeTexts)
{
    struct { const char *time; const char *printed; } cases[] = {
        {"7:5", "Tue 07:05:00 On|"},
        {"8::30", "Tue 08:30:00 On|"},
        {"07:30:00:99", "Tue 07:30:00 On|"},
        {"7h", "Tue 07:00:00 On|"},
        {"", "Tue 00:00:00 On|"},
        {"23:59:59", "Tue 23:59:59 On|"},
        {"07:30:00\n", "Tue 07:30:00 On|"},
        {"24:00:00", "ERROR:  Bad time value:  '24: 0: 0'\n"},
        {"-1:00:00", "ERROR:  Bad time value:  '-1: 0: 0'\n"},
        {"25", "ERROR:  Bad time value:  '25: 0: 0'\n"},
        {"12:60", "ERROR:  Bad time value:  '12:60: 0'\n"},
        {"1:2:345", "ERROR:  Bad time value:  ' 1: 2:345'\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parsed("tu", c.time, 1), c.printed) << c.time;
}

TEST(ParseEvent, BadDayShowsThreeCharacters)
{
    EXPECT_EQ(parsed("xylophone", "07:00", 1), "ERROR:  Bad day value:  'xyl'\n");
    EXPECT_EQ(parsed("q", "07:00", 1), "ERROR:  Bad day value:  'q'\n");
}

TEST(ParseEvent, ValuesBecomeStates)
{
    struct { int32_t value; int32_t state; const char *printed; } cases[] = {
        {0, 0, "Mon 08:00:00 Off|"}, {-1, -1, "Mon 08:00:00|"}, {1, 255, "Mon 08:00:00 On|"},
        {2, 255, "Mon 08:00:00 On|"}, {16, 255, "Mon 08:00:00 On|"}, {-2, 255, "Mon 08:00:00 On|"},
        {INT32_MIN, 255, "Mon 08:00:00 On|"},
    };
    for (const auto &c : cases) {
        rtEvent_t ev = {};
        ASSERT_EQ(parseEvent(&ev, "mo", "8", c.value), 0);
        EXPECT_EQ(ev.state, c.state);
        EXPECT_EQ(parsed("mo", "8", c.value), c.printed);
    }
}

TEST(ParseEvent, KeyOrdersTheWeek)
{
    rtEvent_t sun = {}, mon = {}, mon2 = {};
    ASSERT_EQ(parseEvent(&sun, "su", "23:59:59", 1), 0);
    ASSERT_EQ(parseEvent(&mon, "mo", "0:0:0", 1), 0);
    ASSERT_EQ(parseEvent(&mon2, "mo", "0:0:1", 1), 0);
    EXPECT_EQ(sun.dayTime, 0x06235959);
    EXPECT_EQ(mon.dayTime, 0);
    EXPECT_LT(mon.dayTime, mon2.dayTime);
    EXPECT_LT(mon2.dayTime, sun.dayTime);
    EXPECT_EQ(toBcd(59), 0x59);
    EXPECT_EQ(toBcd(7), 0x07);
}

TEST(PrintEvent, SuffixIsOptional)
{
    rtEvent_t ev = {};
    ASSERT_EQ(parseEvent(&ev, "Sunday", "23:59:59", 255), 0);
    beginCapture();
    printEvent(&ev, "\n");
    printEvent(&ev, nullptr);
    EXPECT_EQ(endCapture().out, "Sun 23:59:59 On\nSun 23:59:59 On");
}

} // namespace
