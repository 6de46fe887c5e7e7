// main.cpp: weekswitch-week, the timetable drawn as the week it gives.
//
// It loads the event file with weekswitch's own loader and reads the ring the
// way the runner does, so the picture is what the port will do. It touches
// neither the port nor the keyboard.
#include "eventfile.h"
#include "output.h"
#include "schedule.h"
#include "settings.h"
#include "week.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <langinfo.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

const int failed = 255;
const int defaultWidth = 80;

const char usage[] =
    "Usage: weekswitch-week [--from HH:MM] [--to HH:MM] [--svg FILE] EVENTFILE\n";

struct options_t {
    const char *svgPath = nullptr;
    int from = 0;
    int to = daySeconds;
};

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

// The value of an option given as "--name VALUE" or "--name=VALUE".
const char *optionValue(int argc, char **argv, int &i, const char *name)
{
    size_t length = strlen(name);
    if (strncmp(argv[i], name, length) != 0)
        return nullptr;
    if (argv[i][length] == '=')
        return argv[i] + length + 1;
    if (argv[i][length] != '\0')
        return nullptr;
    if (i + 1 >= argc) {
        printf("ERROR:  %s needs a value\n", name);
        return "";
    }
    return argv[++i];
}

// 0, or -1 after saying what is wrong with the command line.
int readArguments(int argc, char **argv, options_t &opt)
{
    bool optionsEnded = false;
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
    std::vector<weekSpan_t> week = computeWeek();
    sampleClock();
    weekView_t view = {eventFileName, opt.from, opt.to, secondOfWeek(&nowEvent)};
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
