// main.cpp: the command line, the choice of mode and the exit check.
#include "calendar.h"
#include "durable.h"
#include "eventfile.h"
#include "journal.h"
#include "output.h"
#include "platform.h"
#include "port.h"
#include "runner.h"
#include "schedule.h"
#include "settings.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

static const int defaultPortAddr = 0x378;

static void readArguments(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (arg[0] == '-') {
            if (strcasecmp(arg, "-check") == 0)
                checkMode = true;
            else if (strcasecmp(arg, "-learn") == 0)
                learnMode = true;
            else if (strcasecmp(arg, "-verbose") == 0)
                verbose = true;
            else if (strncasecmp(arg, "-port:", 6) == 0)
                portAddr = readCInt(arg + 6);
            else if (strcasecmp(arg, "-relay") == 0 || strncasecmp(arg, "-relay:", 7) == 0)
                relayChosen = true, relayBoard = arg[6] == ':' ? arg + 7 : "";
            else
                report(JOURNAL_ERR, "ERROR:  Invalid options:  '%s'\n", arg);
        } else if (!eventFileName.empty()) {
            report(JOURNAL_ERR, "ERROR:  2nd event file found:  '%s'\n", arg);
        } else {
            eventFileName = arg;
        }
    }
    if (portAddr == 0)
        portAddr = defaultPortAddr;
}

static void printNowLine(void)
{
    sampleClock();
    printf("Now:  ");
    printEvent(&nowEvent, "\n");
}

static int runCheckMode(void)
{
    if (verbose)
        printNowLine();
    int status = loadEventFile();
    listTimetable();
    // The dated days after the week; a timetable without them ends as ever.
    listDatedDays();
    if (datedLineCnt == 0)
        printf("Entries/lines:  %lld/%lld\n", entryCnt, lineCnt);
    else
        printf("Entries/lines:  %lld/%lld, dated lines/days:  %lld/%zu\n", entryCnt, lineCnt, datedLineCnt,
               datedDays.size());
    clearEvents();
    if (verbose)
        printNowLine();
    return status;
}

// Run mode: the port is the job, the display is a courtesy. Output that
// nobody reads any more, or a terminal that stopped taking it, must not
// stop the switching, neither by SIGPIPE nor by a write that waits.
static void keepOutputFromStopping(void)
{
    signal(SIGPIPE, SIG_IGN);
    openDisplay();
}

static int runWithMachine(bool learn)
{
    if (checkEventFileRegular() != 0)
        return -1;
    if (learn && checkEventFileAppendable() != 0)
        return -1;
    // The journal writes to disk on its own schedule: the service keeps its
    // own copy of the record in its state folder, for a power cut.
    const char *stateFolders = getenv("STATE_DIRECTORY");
    if (journalOn && stateFolders != nullptr && stateFolders[0] != '\0')
        durableOpen(std::string(stateFolders, strcspn(stateFolders, ":")).c_str());
    // Interactively the timetable, the display and the keys still work
    // without the port; the service without its port would only look busy.
    if (openPort(journalOn) != 0 && journalOn)
        return -1;
    keysNeverSignal(journalOn);
    openKeyboard();
    int status = runSchedule(learn);
    closeKeyboard();
    closePort();
    return status;
}

// The shell sees one byte: failures and refused-line counts above 255 must
// not wrap round to a count that reads as success.
static int exitStatusOf(int status)
{
    if (status < 0 || status > 255)
        return 255;
    return status;
}

int main(int argc, char **argv)
{
    fillClosedStandardFds();
    openJournal();
    // A terminal shows every print at once, the clock line too, which ends
    // in "\r"; a file or pipe gets the output in blocks.
    if (isatty(STDOUT_FILENO))
        setvbuf(stdout, nullptr, _IONBF, 0);

    readArguments(argc, argv);
    // Check mode's listing is its output; whoever runs it reads it there.
    if (checkMode)
        journalOn = false;
    if (verbose)
        printf("Port: 0x%X\n", portAddr);

    int status;
    if (eventFileName.empty()) {
        report(JOURNAL_ERR, "Error:  No event file specified on the command line!\n");
        status = -1;
    } else {
        if (!checkMode)
            keepOutputFromStopping();
        // Only a warning: learn mode may create the file, and the load will
        // say again what is wrong.
        checkEventFileReadable();
        status = checkMode ? runCheckMode() : runWithMachine(learnMode);
    }
    if (allocCnt != 0)
        report(JOURNAL_ERR, "ERROR:  allocCnt=%d\n", allocCnt);
    bool ran = !eventFileName.empty() && !checkMode;
    if (ran) {
        closeDisplay();
        journalClose();
    }
    return exitStatusOf(checkOutputAtExit(status, !ran));
}
