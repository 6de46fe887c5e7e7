// The week drawn from the ring, checked second by second against the record
// the runner finds in force, on timetables that are easy to get wrong.
#include "actual.h"
#include "eventfile.h"
#include "settings.h"
#include "test_util.h"
#include "week.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <sstream>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct timetable_t {
    const char *name;
    const char *lines;
    int32_t week = -1, onSeconds = 0;  // a real week: a date in it, its time on by hand
    // With sections, each row by hand: its name, time on, switchings and time without a state.
    const char *rows = nullptr;
};

const timetable_t timetables[] = {
    // On at 07:10 for two minutes and a ten-second pulse at noon: both
    // inside one 30-minute column.
    {"ChangesInsideASlot", "mo 07:10 1\nmo 07:12 0\nmo 12:00:30 1\nmo 12:00:40 0\nmo 12:29:59 1\nmo 12:30:01 0\n"},
    {"NoStateEntry", "mo-fr 08:00 1\nmo-fr 17:00 -1\nsa 10:00 0\nsa 10:00:05 -1\n"},
    // Ranges over the weekend; Sunday 23:59:59 comes into force on Monday.
    {"WrappingRanges", "fr-mo 22:00 1\nsa-tu 06:00 0\nsu 23:59:59 0\nmo 00:00 1\n"},
    {"OneEntryOnly", "we 12:00 1\n"},
    {"Empty", "; nothing yet\n"},
    {"HeldFromWednesday", "mo-fr 07:30 1\nmo-fr 18:00 0\n2026-12-23..2027-01-03 0\n", dateNumber(2026, 12, 21),
     21 * 3600},
    {"AsSundayAndOneOffs", "mo-fr 07:30 1\nmo-fr 18:00 0\nsu 10:00 1\nsu 11:00 0\n2026-12-24 as su\n"
     "2026-12-22 12:00 0\n2026-12-22 12:30:30 1\n2026-12-23 07:30 -1\n", dateNumber(2026, 12, 24),
     32 * 3600 + 59 * 60 + 30},
    // Monday begins with Friday's held value; at the year's end with the Sunday before's last second.
    {"MondayFromAHeldDayBack", "mo-fr 08:00 1\nmo-fr 17:00 0\n2027-01-01 1\n", dateNumber(2027, 1, 4), 53 * 3600 + 1},
    {"YearEnd", "mo-fr 08:00 1\nmo-fr 17:00 0\nsu 23:59:59 1\n2026-12-31 as sa\n2027-01-01 0\n",
     dateNumber(2027, 1, 3), 35 * 3600 + 1},
    {"LeapDay", "mo-fr 08:00 1\nmo-fr 17:00 0\n2028-02-29 0\n2028-03-01 09:00 -1\n", dateNumber(2028, 3, 1), 28 * 3600},
    // Sections: two over line 2 (named by the first), an entry before any of them for every line, a -1.
    {"SectionsOverlapping", "mo-su 06:00 0\n[1,2 lights]\nmo-fr 07:00 1\nmo-fr 08:00 0\n[2]\nmo 07:30 0\n"
     "[3 bell]\ntu 12:00 1\ntu 12:00:05 -1\n", -1, 0,
     "lights (1) 5:00 10 0:00|lights (2) 4:30 10 0:00|bell 0:00:05 2 17:59:55|lines 4-8 0:00 0 0:00"},
    {"SectionWrappingOverSunday", "[1 porch]\nsu 23:59:59 1\nmo 00:00:30 0\nfr-sa 22:00 1\nsa-tu 06:00 -1\n"
     "[2 pump]\nsa 10:00 1\n", -1, 0, "porch 16:00:31 6 145:59:59|pump 168:00 0 0:00"},
    {"SectionsOverAHeldDay", "[1 porch]\nmo-su 18:00 1\nmo-su 23:00 0\n[2 pump]\nmo-fr 08:00 1\nmo-fr 09:00 0\n"
     "2026-12-09 10:00 1\n2026-12-10 0\n", dateNumber(2026, 12, 9), 0, "porch 30:00 12 0:00|pump 18:00 10 0:00"},
};

void PrintTo(const timetable_t &t, std::ostream *os)
{
    *os << t.name;
}

int32_t keyAt(int second)
{
    int day = second / daySeconds, t = second % daySeconds;
    return day << 24 | toBcd(t / 3600) << 16 | toBcd(t / 60 % 60) << 8 | toBcd(t % 60);
}

class Week : public ::testing::TestWithParam<timetable_t> {
protected:
    void SetUp() override
    {
        resetProgram();
        eventFileName = scratchPath("week.txt");
        writeFile(eventFileName, GetParam().lines);
        beginCapture();
        int refused = loadEventFile();
        endCapture();
        ASSERT_EQ(refused, 0);
        kinds.resize(weekSeconds);
        if (GetParam().week >= 0 || GetParam().rows != nullptr) {
            int32_t monday = mondayOf(GetParam().week >= 0 ? GetParam().week : dateNumber(2026, 12, 7));
            rows = computeLineRows(monday);
            week = computeRealWeek(monday);
            // What the runner holds each second: it asks the timeline again when the next entry is due.
            timedEntry_t inForce, next;
            ASSERT_EQ(timelineAt(monday - 1, daySeconds - 1, &inForce, &next), 0);
            before = kindOfState(inForce.state);
            std::vector<int> values(weekSeconds + 1, portValueAt(monday - 1, daySeconds - 1));
            for (int s = 0; s < weekSeconds; s++) {
                bool due = s == 0 || (long long)monday * daySeconds + s >= inForceFrom(next);
                if (due)
                    timelineAt(monday + s / daySeconds, s % daySeconds, &inForce, &next);
                values[s + 1] = due ? portValueAt(monday + s / daySeconds, s % daySeconds) : values[s];
                kinds[s] = kindOfState(inForce.state);
            }
            // Each row's line is on as the timeline's byte says; without a state where its row says.
            for (const lineRow_t &row : rows) {
                lineKinds.emplace_back(weekSeconds + 1);
                for (int s = -1; s < weekSeconds; s++)
                    lineKinds.back()[s + 1] = (values[s + 1] & row.mask & -row.mask) != 0 ? kindOn
                                              : spanAt(row.week, s).kind == kindNone ? kindNone : kindOff;
            }
            return;
        }
        week = computeWeek();
        // What the runner's findCurrentEvent gives at every clock second.
        for (int s = 0; s < weekSeconds; s++) {
            const rtEvent_t *ev = findCurrentEvent(keyAt(s));
            kinds[s] = ev == nullptr || ev->state == -1 ? kindNone : ev->state ? kindOn : kindOff;
        }
        before = kinds.back();
    }
    static int kindOfState(int state) { return state == -1 ? kindNone : state ? kindOn : kindOff; }
    void TearDown() override { resetProgram(); }

    // The output's kind, or with sections row r's, at a second of the week or the one before it.
    int kindAt(int s, int r = -1) const { return r >= 0 ? lineKinds[r][s + 1] : s < 0 ? before : kinds[s]; }

    // The column a slot must show, from the seconds themselves.
    char expectedCell(int from, int to, int r) const
    {
        int changes = 0;
        for (int s = from + 1; s < to; s++)
            changes += kindAt(s, r) != kindAt(s - 1, r);
        int first = kindAt(from, r), last = kindAt(to - 1, r);
        if (changes > 1)
            return '*';
        if (changes == 1 && (first == kindOn) != (last == kindOn))
            return last == kindOn ? '/' : '\\';
        if (changes == 1 || first == kindNone)
            return '-';
        return first == kindOn ? '#' : '.';
    }

    // Checks every column and the figures of each day of the grid.
    void checkGrid(int from, int to)
    {
        weekView_t view = {"week.txt", from, to, -1};
        view.lines = rows;
        size_t label = 6;  // a day's name, or with sections each row's
        for (const lineRow_t &row : rows)
            label = std::max(label, row.name.size() + 3);
        beginCapture();
        printGrid(week, view, {80, false, false});
        std::istringstream out(endCapture().out);
        std::string line;
        std::getline(out, line);
        int slot = atoi(line.substr(line.find("= ") + 2).c_str());
        slot *= line.find(" min") != std::string::npos ? 60 : line.find(" h") != std::string::npos ? 3600 : 1;
        std::getline(out, line);
        std::getline(out, line);
        int perDay = std::max<int>(rows.size(), 1);
        for (int i = 0; i < 7 * perDay; i++) {
            int day = i / perDay, r = rows.empty() ? -1 : i % perDay;
            ASSERT_TRUE(std::getline(out, line));
            if (r == 0) {
                ASSERT_EQ(line.substr(1), dayNames[day]) << "a day's own row";
                ASSERT_TRUE(std::getline(out, line));
            }
            std::string cells = line.substr(label, line.find(' ', label) - label);
            ASSERT_EQ((int)cells.size(), (to - from + slot - 1) / slot) << line;
            int dayStart = day * daySeconds;
            for (int c = 0; c < (int)cells.size(); c++) {
                int a = dayStart + from + c * slot;
                EXPECT_EQ(cells[c], expectedCell(a, std::min(a + slot, dayStart + to), r))
                    << dayNames[day] << " column " << c << " of " << slot << " s";
            }
            int onSeconds = 0, switchings = 0;
            for (int s = dayStart + from; s < dayStart + to; s++) {
                onSeconds += kindAt(s, r) == kindOn;
                switchings += (kindAt(s, r) == kindOn) != (kindAt(s - 1, r) == kindOn);
            }
            std::istringstream figures(line.substr(label + cells.size()));
            std::string onText;
            int printedSwitchings = -1;
            figures >> onText >> printedSwitchings;
            EXPECT_EQ(onText, formatDuration(onSeconds)) << line;
            EXPECT_EQ(printedSwitchings, switchings) << line;
        }
    }

    std::vector<weekSpan_t> week;
    std::vector<int> kinds;
    int before;  // the kind the second before Monday
    std::vector<lineRow_t> rows;
    std::vector<std::vector<int>> lineKinds;  // each row's from the second before Monday
};

TEST_P(Week, SpansAgreeWithTheRecordInForceEverySecond)
{
    ASSERT_FALSE(week.empty());
    // With sections each row against the byte of the timeline, and its figures by hand.
    std::string figures;
    for (size_t r = 0; r < rows.size(); r++) {
        int on = 0, switchings = 0, none = 0, wrong = -1;
        for (int s = -1; s < weekSeconds; s++) {
            if ((spanAt(rows[r].week, s).kind == kindOn) != (kindAt(s, r) == kindOn) && wrong < 0)
                wrong = s;
            on += s >= 0 && kindAt(s, r) == kindOn;
            none += s >= 0 && kindAt(s, r) == kindNone;
            switchings += s >= 0 && (kindAt(s, r) == kindOn) != (kindAt(s - 1, r) == kindOn);
        }
        EXPECT_EQ(wrong, -1) << rows[r].name << ": first second that differs";
        figures += (r > 0 ? "|" : "") + rows[r].name + " " + formatDuration(on) + " " + std::to_string(switchings) +
                   " " + formatDuration(none);
    }
    EXPECT_EQ(figures, GetParam().rows != nullptr ? GetParam().rows : "");
    if (!rows.empty())
        return;
    EXPECT_EQ(week.front().start, GetParam().week >= 0 ? -1 : 0);
    EXPECT_EQ(week.back().end, weekSeconds);
    EXPECT_EQ(spanAt(week, -1).kind, kindAt(-1));
    int wrong = -1;
    for (size_t i = 0; i < week.size(); i++) {
        if (i > 0) {
            ASSERT_EQ(week[i].start, week[i - 1].end);
        }
        for (int s = std::max(week[i].start, 0); s < week[i].end && wrong < 0; s++) {
            if (week[i].kind != kinds[s])
                wrong = s;
        }
    }
    EXPECT_EQ(wrong, -1) << "first second that differs";
    EXPECT_EQ(GetParam().week >= 0 ? std::count(kinds.begin(), kinds.end(), kindOn) : 0, GetParam().onSeconds);
}

TEST_P(Week, GridShowsEveryColumnAsTheRunnerWould)
{
    checkGrid(0, daySeconds);
    checkGrid(7 * 3600, 8 * 3600);
    checkGrid(11 * 3600 + 59 * 60, 12 * 3600 + 31 * 60);
    checkGrid(23 * 3600 + 59 * 60, daySeconds);
}

// The file-size limit reached halfway through the picture: the old picture
// stays whole and nothing else is left beside it.
TEST_P(Week, FailedSvgWriteKeepsTheOldPicture)
{
    std::string folder = scratchPath("svg");
    mkdir(folder.c_str(), 0755);
    std::string keep = folder + "/keep.svg";
    writeFile(keep, "the old picture");
    weekView_t view = {eventFileName, 0, daySeconds, 0};
    // Only the soft limit: it must be raised again for the second write.
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit tight = {4096, old.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &tight);
    beginCapture();
    int result = writeSvg(keep.c_str(), week, view);
    capturedOutput output = endCapture();
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(output.out, "ERROR:  Cannot write SVG file:  '" + keep + "'\n");
    EXPECT_EQ(output.err, "File too large\n");
    EXPECT_EQ(readFile(keep), "the old picture");
    std::vector<std::string> names;
    DIR *dir = opendir(folder.c_str());
    while (struct dirent *entry = readdir(dir))
        names.push_back(entry->d_name);
    closedir(dir);
    EXPECT_EQ(names.size(), 3u) << "keep.svg, . and .. only";

    ASSERT_EQ(writeSvg(keep.c_str(), week, view), 0);
    std::string picture = readFile(keep);
    EXPECT_EQ(picture.substr(picture.size() - 7), "</svg>\n");
}

// The week as switched against the plan, from records made for the test:
// what differs, and the reason given for it.
TEST(ActualWeek, RecordsTellWhatDifferedAndWhy)
{
    setenv("TZ", "UTC", 1);
    tzset();
    const long long monday = 1796601600LL;  // 2026-12-07 00:00:00 UTC
    const long long hour = 3600, day = 24 * hour;
    struct rec {
        long long at;  // seconds from the week's Monday 00:00
        int kind;
        const char *entry;  // "Mon 07:30:00 On", or nullptr
        long long delayMs;
        const char *boot;
        const char *text;
    };
    struct row {
        const char *what, *timetable;
        std::vector<rec> records;
        std::vector<std::pair<const char *, long long>> bootEnds;  // seconds from Monday
        int planned, onTime, late, missed, unplanned;
        std::vector<std::string> differences;  // "L Wed 12:30:01 Wed 12:30:00 On: why"
        int notKnown = 0;
    } rows[] = {
        {"a change across midnight and the week's wrap missed, the machine off",
         "su 23:59:59 1\nmo 06:00 0\n",
         {{-3 * hour, recInForce, "Mon 06:00:00 Off", -1, "a", ""},
          {-1 * hour, recEnded, nullptr, -1, "a", "Ended: signal SIGTERM"},
          {7 * hour, recStarted, nullptr, -1, "b", ""},
          {7 * hour, recInForce, "Mon 06:00:00 Off", -1, "b", ""}},
         {{"a", -1 * hour + 5}, {"b", 7 * day}},
         2, 0, 1, 1, 0,
         {"M Mon 00:00:00 Sun 23:59:59 On: nothing ran: the machine was shut down",
          "L Mon 06:00:01 Mon 06:00:00 Off: at the start after nothing ran (the machine was shut down)"}},
        {"a late one, the program held up", "we 12:00 0\nwe 12:30 1\n",
         {{2 * day, recInForce, "Wed 12:30:00 On", -1, "a", ""},
          {2 * day + 12 * hour + 1, recSwitched, "Wed 12:00:00 Off", 4, "a", ""},
          {2 * day + 12 * hour + 1805, recSwitched, "Wed 12:30:00 On", 4200, "a", ""}},
         {{"a", 7 * day}},
         2, 1, 1, 0, 0,
         {"L Wed 12:30:01 Wed 12:30:00 On: the program was held up"}},
        {"an unplanned one, a learned line", "th 07:30 1\nth 18:00 0\n",
         {{3 * day, recInForce, "Thu 18:00:00 Off", -1, "a", ""},
          {3 * day + 7 * hour + 1801, recSwitched, "Thu 07:30:00 On", 3, "a", ""},
          {3 * day + 10 * hour, recLearned, "Thu 10:00:00 Off", -1, "a", "Learned: Thu 10:00:00 Off"},
          {3 * day + 10 * hour, recReread, nullptr, -1, "a", "Re-read: learned line"},
          {3 * day + 10 * hour + 1, recInForce, "Thu 10:00:00 Off", -1, "a", ""}},
         {{"a", 7 * day}},
         2, 2, 0, 0, 1,
         {"U Thu 10:00:01 Thu 10:00:00 Off: a learned line (Learned: Thu 10:00:00 Off)"}},
        {"a boot in the middle, the power cut", "tu 12:00 0\ntu 12:30 1\n",
         {{1 * day, recInForce, "Tue 12:30:00 On", -1, "a", ""},
          {1 * day + 12 * hour + 1, recSwitched, "Tue 12:00:00 Off", 4, "a", ""},
          {1 * day + 15 * hour, recStarted, nullptr, -1, "b", ""},
          {1 * day + 15 * hour, recInForce, "Tue 12:30:00 On", -1, "b", ""}},
         {{"a", 1 * day + 12 * hour + 20 * 60}, {"b", 7 * day}},
         2, 1, 1, 0, 0,
         {"L Tue 12:30:01 Tue 12:30:00 On: at the start after nothing ran (the machine was off (or restarting), "
          "the program's last record before)"}},
        {"killed without a record: the change at the next start is late", "th 12:30 1\nth 12:45 0\n",
         {{3 * day, recInForce, "Thu 12:45:00 Off", -1, "a", ""}, {3 * day + 36000, recOther, nullptr, -1, "a", ""},
          {3 * day + 45005, recStarted, nullptr, -1, "a", ""},
          {3 * day + 45005, recInForce, "Thu 12:30:00 On", -1, "a", ""},
          {3 * day + 45901, recSwitched, "Thu 12:45:00 Off", 3, "a", ""}},
         {{"a", 7 * day}}, 2, 1, 1, 0, 0,
         {"L Thu 12:30:01 Thu 12:30:00 On: at the start after nothing ran "
          "(ended without a record: killed or crashed)"}},
        {"a switching recorded in the second its boot ended", "we 17:41:19 0\nwe 17:50 1\n",
         {{2 * day, recInForce, "Wed 17:50:00 On", -1, "a", ""},
          {2 * day + 63680, recSwitched, "Wed 17:41:19 Off", 0, "a", ""},
          {2 * day + 64800, recStarted, nullptr, -1, "b", ""},
          {2 * day + 64800, recInForce, "Wed 17:50:00 On", -1, "b", ""}},
         {{"a", 2 * day + 63680}, {"b", 7 * day}}, 2, 1, 1, 0, 0,
         {"L Wed 17:50:01 Wed 17:50:00 On: at the start after nothing ran (the machine was off (or restarting), "
          "the program's last record before)"}},
        {"a week before the record began", "mo 08:00 1\nmo 09:00 0\n",
         {{7 * day + hour, recStarted, nullptr, -1, "a", ""},
          {7 * day + hour, recInForce, "Mon 09:00:00 Off", -1, "a", ""}},
         {{"a", 8 * day}}, 0, 0, 0, 0, 0, {}},
        {"records lost, by an older program's count", "tu 12:00 0\ntu 12:30 1\n",
         {{day, recInForce, "Tue 12:30:00 On", -1, "a", ""},
          {day + 13 * hour, recDropped, nullptr, -1, "a", "Record: 2 lines lost, the journal did not take them"}},
         {{"a", 7 * day}}, 2, 0, 0, 0, 0, {}, 2},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        resetProgram();
        eventFileName = scratchPath("plan.txt");
        writeFile(eventFileName, r.timetable);
        beginCapture();
        ASSERT_EQ(loadEventFile(), 0);
        endCapture();
        recordRead_t read;
        for (const rec &x : r.records) {
            record_t one = {(monday + x.at) * 1000000, x.kind, -1, -1, -1, x.delayMs, x.boot, x.text};
            if (x.entry != nullptr) {
                ASSERT_TRUE(parseEntryText(x.entry, &one.entrySecond, &one.entryState)) << x.entry;
                one.value = one.entryState > 0 ? 0xFF : 0x00;
            }
            read.records.push_back(one);
        }
        for (const auto &b : r.bootEnds)
            read.bootEnds.push_back({b.first, (monday + b.second) * 1000000});
        read.lastUsec = (monday + 7 * day) * 1000000;
        weekActual_t actual;
        realWeek_t week = weekHolding((monday + day / 2) * 1000000);
        compareWeek(computeRealWeek(week.mondayDate), week, read, &actual);
        std::vector<std::string> said;
        for (const difference_t &d : actual.differences) {
            said.push_back(std::string(1, "LMU"[d.kind]) + " " + formatWeekSecond(d.second) + " " + d.entry + ": " +
                           d.why);
        }
        EXPECT_EQ(said, r.differences);
        EXPECT_EQ(actual.planned, r.planned);
        EXPECT_EQ(actual.onTime, r.onTime);
        EXPECT_EQ(actual.late, r.late);
        EXPECT_EQ(actual.missed, r.missed);
        EXPECT_EQ(actual.unplanned, r.unplanned);
        EXPECT_EQ(actual.notKnown, r.notKnown);
        clearEvents();
    }
    unsetenv("TZ");
    tzset();
}

INSTANTIATE_TEST_SUITE_P(Timetables, Week, ::testing::ValuesIn(timetables),
                         [](const ::testing::TestParamInfo<timetable_t> &info) { return info.param.name; });

// A picture written through a link in a world-writable folder "open",
// owned by us, beside an old picture that is private and, as root, another
// user's. In open, planted.svg (to the old picture), dangling.svg (to
// made.svg, missing) and d (to the folder above) belong to another user:
// only root can plant them. ours.svg (to the old picture) and chain.svg (to
// planted.svg) belong to us.
struct svgTarget_t {
    const char *name;
    const char *path;   // in open
    bool followed;      // else refused, with nothing written
};

const svgTarget_t svgTargets[] = {
    {"PlantedLink", "planted.svg", false},
    {"PlantedLinkToAFolder", "d/old.svg", false},
    {"PlantedDanglingLink", "dangling.svg", false},
    {"OurLinkToAPlantedLink", "chain.svg", false},
    {"OurLink", "ours.svg", true},
};

void PrintTo(const svgTarget_t &t, std::ostream *os)
{
    *os << t.name;
}

class SvgTarget : public ::testing::TestWithParam<svgTarget_t> {};

TEST_P(SvgTarget, OnlyALinkNobodyElseCouldPlantIsFollowedAndTheFileKeepsItsOwnerAndMode)
{
    std::string folder = scratchPath(std::string("links-") + GetParam().name);
    std::string open = folder + "/open", old = folder + "/old.svg";
    mkdir(folder.c_str(), 0755);
    mkdir(open.c_str(), 0777);
    chmod(open.c_str(), 0777);
    writeFile(old, "the old picture");
    chmod(old.c_str(), 0600);
    bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(old.c_str(), 4242, 4243), 0);
    }
    const char *const links[][2] = {{"planted.svg", "../old.svg"}, {"d", ".."}, {"dangling.svg", "../made.svg"},
                                    {"ours.svg", "../old.svg"}, {"chain.svg", "planted.svg"}};
    for (const auto &link : links)
        ASSERT_EQ(symlink(link[1], (open + "/" + link[0]).c_str()), 0);
    if (root) {
        for (const char *planted : {"planted.svg", "d", "dangling.svg"})
            ASSERT_EQ(lchown((open + "/" + planted).c_str(), 4242, 4242), 0);
    } else if (!GetParam().followed) {
        GTEST_SKIP() << "needs root to plant another user's link";
    }
    resetProgram();
    std::string path = open + "/" + GetParam().path;
    weekView_t view = {"week.txt", 0, daySeconds, -1};
    beginCapture();
    int result = writeSvg(path.c_str(), computeWeek(), view);
    capturedOutput output = endCapture();
    if (GetParam().followed) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(output.out, "");
        EXPECT_EQ(readFile(old).substr(0, 5), "<?xml");
    } else {
        EXPECT_EQ(result, -1);
        EXPECT_EQ(output.out, "ERROR:  Not following a symbolic link in a world-writable folder:  '" + path + "'\n");
        EXPECT_EQ(readFile(old), "the old picture");
    }
    EXPECT_EQ(output.err, "");
    struct stat st;
    ASSERT_EQ(stat(old.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    if (root) {
        EXPECT_EQ(st.st_uid, 4242u);
        EXPECT_EQ(st.st_gid, 4243u);
    }
    for (const auto &link : links)
        EXPECT_EQ(lstat((open + "/" + link[0]).c_str(), &st) == 0 && S_ISLNK(st.st_mode), true) << link[0];
    std::vector<std::string> names;
    DIR *dir = opendir(folder.c_str());
    while (struct dirent *entry = readdir(dir))
        names.push_back(entry->d_name);
    closedir(dir);
    EXPECT_EQ(names.size(), 4u) << "old.svg, open, . and .. only";
}

// The folder of the picture swapped for a planted link to another folder
// and back, over and over, while pictures are written: each goes into the
// folder or is refused, never through the link.
TEST(SvgTargetSwapped, ALinkSwappedInAfterTheCheckIsNotFollowed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to plant another user's link";
    std::string base = scratchPath("swapped"), open = base + "/open", victim = base + "/victim";
    std::string folder = open + "/d", link = open + "/link", path = folder + "/week.svg";
    for (const std::string &made : {base, open, victim, folder})
        mkdir(made.c_str(), 0755);
    chmod(open.c_str(), 0777);
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    ASSERT_EQ(lchown(link.c_str(), 4242, 4242), 0);
    pid_t swapper = fork();
    if (swapper == 0)
        for (;;)
            renameat2(AT_FDCWD, folder.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
    resetProgram();
    weekView_t view = {"week.txt", 0, daySeconds, -1};
    for (int i = 0; i < 300; i++) {
        beginCapture();
        writeSvg(path.c_str(), computeWeek(), view);
        endCapture();
    }
    kill(swapper, SIGKILL);
    waitpid(swapper, nullptr, 0);
    DIR *dir = opendir(victim.c_str());
    int names = 0;
    while (readdir(dir) != nullptr)
        names++;
    closedir(dir);
    EXPECT_EQ(names, 2) << "nothing but . and .. in the other folder";
}

INSTANTIATE_TEST_SUITE_P(Links, SvgTarget, ::testing::ValuesIn(svgTargets),
                         [](const ::testing::TestParamInfo<svgTarget_t> &info) { return info.param.name; });

}  // namespace
