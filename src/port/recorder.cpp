// recorder.cpp: the output of the weekswitch-sim test build, whichever the
// settings chose.
//
// Instead of driving data lines it appends one line per byte, stamped with
// the local time to the millisecond, to the file named by the environment
// variable WEEKSWITCH_SIM_PORT_LOG:
//     2026-12-07 17:00:01.123 0x00
// Each line is written with a single write() to a file opened for appending,
// so it is in the file the moment writePort returns, and a reader can follow
// it while the program runs. Without the variable the bytes are not recorded
// and nothing is said about it. Only this build reads the variable.
#include "port.h"
#include "journal.h"
#include "settings.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char *const logVariable = "WEEKSWITCH_SIM_PORT_LOG";
int logFd = -1;

// "2026-12-07 17:00:01.123 0xFF\n" for the current local time.
int formatLogLine(char *line, size_t size, int value)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    return snprintf(line, size, "%s.%03ld 0x%02X\n", stamp, now.tv_nsec / 1000000, value & 0xFF);
}

}  // namespace

int openPort(bool)
{
    const char *logName = getenv(logVariable);
    if (logName == nullptr || logName[0] == '\0')
        return 0;
    logFd = open(logName, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (logFd < 0) {
        int err = errno;
        report(JOURNAL_WARNING, "Warning:  Cannot open port log:  '%s'\n", logName);
        reportSystemError(JOURNAL_WARNING, err);
        return -1;
    }
    return 0;
}

const char *portPath(void)
{
    const char *logName = getenv(logVariable);
    return logFd >= 0 && logName != nullptr ? logName : "no port log";
}

// A log that takes no more (a full disk, /dev/full) is a port that refuses
// the write, and is tried again as one.
int portLines(void)
{
    return 8;
}

int writePort(int value)
{
    if (logFd < 0)
        return 0;
    char line[64];
    int length = formatLogLine(line, sizeof line, value);
    ssize_t n = write(logFd, line, (size_t)length);
    if (n == length)
        return 0;
    if (n >= 0)
        errno = ENOSPC;
    return -1;
}

// What the real build would switch, so that the record reads the same.
const char *portName(void)
{
    static char name[16];
    if (relayChosen)
        return "relay board";
    snprintf(name, sizeof name, "0x%X", portAddr & 0xFFFF);
    return name;
}

// The log never goes away.
bool portLost(void)
{
    return false;
}

void closePort(void)
{
    if (logFd >= 0)
        close(logFd);
    logFd = -1;
}
