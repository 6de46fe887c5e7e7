// main.cpp: weekswitch-week, the timetable drawn as the week it gives.
//
// It loads the event file with weekswitch's own loader and reads the ring the
// way the runner does, so the picture is what the port will do. It touches
// neither the port nor the keyboard. A timetable with dated days is drawn
// as a real week, the one asked for or this one: the weekly pattern alone
// would show the port doing what it will not do on them. Beside the record
// every week's plan is the real week, so a holiday kept is planned. With
// sections each line has a week of its own, compared with its own bit of
// the byte recorded.
#include "actual.h"
#include "calendar.h"
#include "eventfile.h"
#include "output.h"
#include "schedule.h"
#include "settings.h"
#include "week.h"

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <langinfo.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

const int failed = 255;
const int defaultWidth = 80;

const char usage[] =
    "Usage: weekswitch-week [--from HH:MM] [--to HH:MM] [--svg FILE] EVENTFILE\n"
    "       weekswitch-week --actual [--week YYYY-MM-DD] [--weeks N] [--directory DIR | --file FILE...]\n"
    "                       [--unit UNIT] [--from HH:MM] [--to HH:MM] [--svg FILE] EVENTFILE\n";

// Weeks drawn at most in one go: a year.
const int maxWeeks = 53;

struct options_t {
    const char *svgPath = nullptr;
    int from = 0;
    int to = daySeconds;
    // Beside the service's record.
    bool actual = false;
    long long weekUsec = -1;  // a moment in the first week asked for
    int32_t weekDate = -1;    // the date given with --week
    int weeks = 1;
    recordSource_t source;
};

// "2026-12-07" as noon of that day, local time, and as a date number
// (-1 before 1970); -1 if no such date.
long long readDate(const char *text, int32_t *date)
{
    int y, m, d, used = 0;
    if (sscanf(text, "%4d-%2d-%2d%n", &y, &m, &d, &used) != 3 || text[used] != '\0' || m < 1 || m > 12 || d < 1 ||
        d > 31)
        return -1;
    struct tm noon = {};
    noon.tm_year = y - 1900;
    noon.tm_mon = m - 1;
    noon.tm_mday = d;
    noon.tm_hour = 12;
    noon.tm_isdst = -1;
    time_t t = mktime(&noon);
    if (t == (time_t)-1 || noon.tm_mday != d)
        return -1;
    *date = dateNumber(y, m, d);
    return (long long)t * 1000000;
}

// "HH:MM" or "HH:MM:SS" as seconds of the day; 24:00 only as an end.
int readClock(const char *text, bool isEnd)
{
    int h, m, s = 0, used = 0;
    int got = sscanf(text, "%2d:%2d%n:%2d%n", &h, &m, &used, &s, &used);
    if (got < 2 || text[used] != '\0' || h < 0 || m < 0 || m > 59 || s < 0 || s > 59)
        return -1;
    int second = h * 3600 + m * 60 + s;
    if (second > daySeconds || (second == daySeconds && !isEnd))
        return -1;
    return second;
}

int readClockOption(const char *name, const char *value, bool isEnd, int &second)
{
    if (value[0] == '\0')
        return -1;
    second = readClock(value, isEnd);
    if (second < 0) {
        printf("ERROR:  Bad time for %s:  '%s' (HH:MM wanted)\n", name, value);
        return -1;
    }
    return 0;
}

// The value of an option given as "--name VALUE" or "--name=VALUE"; ""
// after saying so when there is none, or it is empty (no file is named "").
const char *optionValue(int argc, char **argv, int &i, const char *name)
{
    size_t length = strlen(name);
    if (strncmp(argv[i], name, length) != 0)
        return nullptr;
    const char *value = nullptr;
    if (argv[i][length] == '=')
        value = argv[i] + length + 1;
    else if (argv[i][length] != '\0')
        return nullptr;
    else if (i + 1 < argc)
        value = argv[++i];
    if (value == nullptr || value[0] == '\0') {
        printf("ERROR:  %s needs a value\n", name);
        return "";
    }
    return value;
}

// 0, or -1 after saying what is wrong with the command line.
int readArguments(int argc, char **argv, options_t &opt)
{
    bool optionsEnded = false;
    const char *weekText = "";
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        const char *value;
        if (optionsEnded || arg[0] != '-' || arg[1] == '\0') {
            if (!eventFileName.empty()) {
                printf("ERROR:  2nd event file found:  '%s'\n", arg);
                return -1;
            }
            eventFileName = arg;
        } else if (strcmp(arg, "--") == 0) {
            optionsEnded = true;
        } else if ((value = optionValue(argc, argv, i, "--svg")) != nullptr) {
            if (value[0] == '\0')
                return -1;
            opt.svgPath = value;
        } else if ((value = optionValue(argc, argv, i, "--from")) != nullptr) {
            if (readClockOption("--from", value, false, opt.from) != 0)
                return -1;
        } else if ((value = optionValue(argc, argv, i, "--to")) != nullptr) {
            if (readClockOption("--to", value, true, opt.to) != 0)
                return -1;
        } else if (strcmp(arg, "--actual") == 0) {
            opt.actual = true;
        } else if ((value = optionValue(argc, argv, i, "--week")) != nullptr) {
            if (value[0] == '\0')
                return -1;
            weekText = value;
            opt.weekUsec = readDate(value, &opt.weekDate);
            if (opt.weekUsec < 0) {
                printf("ERROR:  Bad date for --week:  '%s' (YYYY-MM-DD wanted)\n", value);
                return -1;
            }
        } else if ((value = optionValue(argc, argv, i, "--weeks")) != nullptr) {
            if (value[0] == '\0')
                return -1;
            char *end;
            long n = strtol(value, &end, 10);
            if (*end != '\0' || n < 1 || n > maxWeeks) {
                printf("ERROR:  Bad number for --weeks:  '%s' (1 to %d)\n", value, maxWeeks);
                return -1;
            }
            opt.actual = true;
            opt.weeks = (int)n;
        } else if ((value = optionValue(argc, argv, i, "--directory")) != nullptr) {
            if (value[0] == '\0')
                return -1;
            opt.actual = true;
            opt.source.directory = value;
        } else if ((value = optionValue(argc, argv, i, "--file")) != nullptr) {
            if (value[0] == '\0')
                return -1;
            opt.actual = true;
            opt.source.files.push_back(value);
        } else if ((value = optionValue(argc, argv, i, "--unit")) != nullptr) {
            if (value[0] == '\0')
                return -1;
            opt.actual = true;
            opt.source.unit = strchr(value, '.') != nullptr ? value : std::string(value) + ".service";
        } else {
            printf("ERROR:  Invalid options:  '%s'\n", arg);
            return -1;
        }
    }
    if (eventFileName.empty()) {
        printf("Error:  No event file specified on the command line!\n");
        return -1;
    }
    if (opt.from >= opt.to) {
        printf("ERROR:  --from must come before --to\n");
        return -1;
    }
    if (!opt.source.directory.empty() && !opt.source.files.empty()) {
        printf("ERROR:  --directory and --file cannot be given together\n");
        return -1;
    }
    // Alone, --week asks for the week as it will run: the timeline has no
    // date before 1970.
    if (opt.weekUsec >= 0 && !opt.actual && opt.weekDate < 0) {
        printf("ERROR:  Bad date for --week:  '%s' (1970-01-01 or later wanted)\n", weekText);
        return -1;
    }
    return 0;
}

gridStyle_t terminalStyle(void)
{
    gridStyle_t style = {defaultWidth, false, false};
    bool terminal = isatty(STDOUT_FILENO);
    struct winsize size;
    const char *columns = getenv("COLUMNS");
    if (terminal && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        style.width = size.ws_col;
    else if (columns != nullptr && atoi(columns) > 0)
        style.width = atoi(columns);
    const char *term = getenv("TERM");
    const char *noColour = getenv("NO_COLOR");
    style.colour = terminal && term != nullptr && term[0] != '\0' && strcmp(term, "dumb") != 0 &&
                   (noColour == nullptr || noColour[0] == '\0');
    // Only the character type: numbers keep their C form whatever the locale.
    setlocale(LC_CTYPE, "");
    style.unicode = strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    return style;
}

// Where the record was read, as said to the user.
std::string sourceText(const recordSource_t &source, const std::vector<std::string> &disk)
{
    std::vector<std::string> journals;
    for (const std::string &f : source.files)
        if (std::find(disk.begin(), disk.end(), f) == disk.end())
            journals.push_back(f);
    std::string journal, unit = ", unit " + source.unit;
    if (!source.directory.empty())
        journal = "the journal in '" + source.directory + "'";
    else if (journals.size() == 1)
        journal = "the journal file '" + journals[0] + "'";
    else if (!journals.empty())
        journal = std::to_string(journals.size()) + " journal files";
    else if (source.files.empty())
        journal = "the local journal";
    std::string onDisk = disk.size() == 1 ? "the record on disk '" + disk[0] + "'"
                         : !disk.empty() ? std::to_string(disk.size()) + " records on disk"
                                         : std::string();
    if (journal.empty() || onDisk.empty())
        return journal + onDisk + unit;
    return journal + " and " + onDisk + unit;
}

// The weeks asked for beside the record, drawn one after the other; the
// picture shows the last. Each week's plan is that week as the timeline
// runs it, its dated days shown when the timetable has any. 0, or the
// failure status after a message.
int drawActual(weekView_t view, const options_t &opt)
{
    recordRead_t read;
    long long firstUsec = opt.weekUsec;
    if (firstUsec < 0) {
        // The weeks up to the one of the last record.
        if (readRecords(opt.source, 0, 0, &read) != 0)
            return failed;
        if (read.lastRecordUsec < 0) {
            printf("ERROR:  No record of the service at all:  %s\n", sourceText(opt.source, read.diskFiles).c_str());
            return failed;
        }
        firstUsec = weekHolding(read.lastRecordUsec).startUsec - (long long)(opt.weeks - 1) * 7 * 86400 * 1000000;
        firstUsec += 12LL * 3600 * 1000000;  // the Monday's noon: clear of a clock change
    }
    std::vector<realWeek_t> weeks;
    for (int w = 0; w < opt.weeks; w++)
        weeks.push_back(weekHolding(w == 0 ? firstUsec : weeks.back().endUsec + 12LL * 3600 * 1000000));
    if (readRecords(opt.source, weeks.front().startUsec, weeks.back().endUsec, &read) != 0)
        return failed;
    bool any = std::any_of(read.records.begin(), read.records.end(),
                           [&](const record_t &r) { return r.usec >= weeks.front().startUsec; });
    if (!any) {
        if (opt.weeks == 1)
            printf("ERROR:  No record of the service in the week of Monday %s:  %s\n", weeks.front().monday.c_str(),
                   sourceText(opt.source, read.diskFiles).c_str());
        else
            printf("ERROR:  No record of the service in the %d weeks from Monday %s:  %s\n", opt.weeks,
                   weeks.front().monday.c_str(), sourceText(opt.source, read.diskFiles).c_str());
        return failed;
    }
    gridStyle_t style = terminalStyle();
    weekActual_t actual;
    std::vector<weekSpan_t> plan;
    for (size_t w = 0; w < weeks.size(); w++) {
        if (w > 0)
            printf("\n");
        plan = computeRealWeek(weeks[w].mondayDate);
        view.monday = datedDays.empty() ? -1 : weeks[w].mondayDate;
        view.lines = computeLineRows(weeks[w].mondayDate);
        if (view.lines.empty())
            compareWeek(plan, weeks[w], read, &actual);
        else
            compareLines(view.lines, weeks[w], read, &actual);
        actual.source = sourceText(opt.source, read.diskFiles);
        printGrid(plan, view, style, &actual);
    }
    if (read.unreadable > 0)
        printf("\nRecord: %d entr%s of the service could not be read (an older weekswitch's plain lines?) "
               "and %s left out.\n", read.unreadable, read.unreadable == 1 ? "y" : "ies",
               read.unreadable == 1 ? "is" : "are");
    if (opt.svgPath != nullptr && writeSvg(opt.svgPath, plan, view, &actual) != 0)
        return failed;
    return 0;
}

int drawWeek(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            printf("%s", usage);
            return 0;
        }
    }
    options_t opt;
    if (readArguments(argc, argv, opt) != 0) {
        printf("%s", usage);
        return failed;
    }

    int refused = loadEventFile();
    if (refused < 0) {
        clearEvents();
        return failed;
    }
    sampleClock();
    weekView_t view = {eventFileName, opt.from, opt.to, secondOfWeek(&nowEvent)};
    if (opt.actual) {
        int status = drawActual(view, opt);
        if (refused > 0)
            printf("\n%d line%s refused: weekswitch will not run this file.\n", refused, refused == 1 ? "" : "s");
        clearEvents();
        return status != 0 ? status : refused > 255 ? failed : refused;
    }
    std::vector<weekSpan_t> week;
    if (opt.weekDate >= 0 || !datedDays.empty()) {
        view.monday = mondayOf(opt.weekDate >= 0 ? opt.weekDate : nowDate);
        week = computeRealWeek(view.monday);
        long long now = (long long)(nowDate - view.monday) * daySeconds + view.now % daySeconds;
        view.now = now >= 0 && now < weekSeconds ? (int)now : -1;
    } else {
        week = computeWeek();
    }
    // Without dated days any Monday's week is the weekly pattern: this one
    // holds the clock's second the Now line names.
    view.lines = computeLineRows(view.monday >= 0 ? view.monday : mondayOf(nowDate));
    printGrid(week, view, terminalStyle());
    if (refused > 0)
        printf("\n%d line%s refused: weekswitch will not run this file.\n"
               "The picture shows the entries that were accepted.\n", refused, refused == 1 ? "" : "s");

    int status = refused > 255 ? failed : refused;
    if (opt.svgPath != nullptr && writeSvg(opt.svgPath, week, view) != 0)
        status = failed;
    clearEvents();
    if (allocCnt != 0)
        printf("ERROR:  allocCnt=%d\n", allocCnt);
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    // Without it an --svg file opened first would take the place of the
    // missing standard output, and the grid would land in the picture.
    fillClosedStandardFds();
    // The grid is the work: one that did not reach its place is a failure.
    int status = drawWeek(argc, argv);
    return checkOutputAtExit(status, true) < 0 ? failed : status;
}
