// loader.cpp: reads the event file into the ring.
//
// Lines are read to their end, whatever their length: a comment stays a
// comment and can never spill over into a timetable line of its own. Only the
// first keptLineBytes of a line are kept, so no file, not even an endless one
// without line ends, makes the program grow.
#include "eventfile.h"
#include "journal.h"

#include "settings.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

long long entryCnt = 0;
long long lineCnt = 0;

// Ctrl-Z ends the data of files written by old editors.
static const int endOfDataByte = 0x1A;
static const char fieldSeparators[] = " \t,";
// Far more than any timetable line needs; the rest of a longer line is read
// and dropped.
static const size_t keptLineBytes = 4096;

// Set by the end-of-data byte: nothing after it is read.
static bool dataEnded;

struct fileCloser {
    void operator()(FILE *fp) const { fclose(fp); }
};
using filePtr = std::unique_ptr<FILE, fileCloser>;

// One physical line with its LF (a CR before the LF dropped), cut to
// keptLineBytes; false at the end of the data.
static bool readPhysicalLine(FILE *fp, std::string &line)
{
    line.clear();
    if (dataEnded)
        return false;
    bool any = false;
    int c;
    while ((c = getc_unlocked(fp)) != EOF && c != endOfDataByte) {
        any = true;
        if (c == '\n') {
            if (!line.empty() && line.size() < keptLineBytes && line.back() == '\r')
                line.pop_back();
            line.push_back('\n');
            return true;
        }
        if (line.size() < keptLineBytes)
            line.push_back((char)c);
    }
    if (c == endOfDataByte)
        dataEnded = true;
    return any;
}

// The next content line: leading blanks and tabs skipped, cut at the first
// ";". Blank and comment lines are counted and passed over.
static const char *readEventLine(FILE *fp, std::string &line)
{
    while (readPhysicalLine(fp, line)) {
        lineCnt++;
        size_t start = line.find_first_not_of(" \t");
        // A last line of only blanks without a line end is as blank as one with.
        if (start == std::string::npos || line[start] == ';' || line[start] == '\n')
            continue;
        size_t semicolon = line.find(';', start);
        if (semicolon != std::string::npos)
            line.resize(semicolon);
        return line.c_str() + start;
    }
    return nullptr;
}

// A field as the user wrote it: the last field of a line carries the line
// end (the value reads up to it), which is no part of what was written.
static std::string quotedField(const char *field)
{
    std::string text(field);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return quotedText(text);
}

// The line as the user wrote it, without its line end and trailing blanks.
static std::string quotedLine(const char *content)
{
    std::string text(content);
    size_t end = text.find_last_not_of(" \t\r\n");
    text.resize(end == std::string::npos ? 0 : end + 1);
    return quotedText(text);
}

// Adds the records of one content line; returns 1 when the line is refused.
static int loadEventLine(const char *content)
{
    std::string fields(content);
    char *save = nullptr;
    char *dayField = strtok_r(&fields[0], fieldSeparators, &save);
    if (dayField == nullptr)
        dayField = &fields[fields.size()];
    int startDay = parseDay(dayField);
    if (startDay == 7) {
        report(JOURNAL_ERR, "ERROR:  Bad day:  '%s'\n", quotedField(dayField).c_str());
        return 1;
    }
    int endDay = -1;
    const char *dash = strchr(dayField, '-');
    if (dash != nullptr) {
        endDay = parseDay(dash + 1);
        if (endDay == 7) {
            report(JOURNAL_ERR, "ERROR:  Bad day in range:  '%s'\n", quotedField(dayField).c_str());
            return 1;
        }
    }
    const char *timeText = strtok_r(nullptr, fieldSeparators, &save);
    const char *valueText = timeText ? strtok_r(nullptr, fieldSeparators, &save) : nullptr;
    if (valueText == nullptr) {
        // Without a time or a value the line cannot mean what the user wanted;
        // switching on a guess would be worse than not running.
        report(JOURNAL_ERR, "ERROR:  Time or value missing:  '%s'\n", quotedLine(content).c_str());
        return 1;
    }
    int32_t value = readCInt(valueText);
    entryCnt++;
    if (endDay < 0) {
        addEvent(startDay, timeText, value);
        return 0;
    }
    for (int day = startDay;; day = (day + 1) % 7) {
        addEvent(day, timeText, value);
        if (day == endDay)
            break;
    }
    return 0;
}

static void warnCannotOpen(int err)
{
    report(JOURNAL_WARNING, "Warning:  Cannot open event file:  '%s'\n", eventFileName.c_str());
    reportSystemError(JOURNAL_WARNING, err);
}

static void refuseNotRegular(void)
{
    report(JOURNAL_ERR, "ERROR:  Event file is not a regular file:  '%s'\n", eventFileName.c_str());
}

int checkEventFileReadable(void)
{
    struct stat st;
    // Opening a FIFO would let a waiting writer go on, only to find no reader
    // once it is closed again: ask the kernel instead.
    if (stat(eventFileName.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
        if (faccessat(AT_FDCWD, eventFileName.c_str(), R_OK, AT_EACCESS) != 0) {
            warnCannotOpen(errno);
            return -1;
        }
        return 0;
    }
    int fd = open(eventFileName.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        warnCannotOpen(errno);
        return -1;
    }
    // A folder opens for reading too.
    bool folder = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    close(fd);
    if (folder) {
        warnCannotOpen(EISDIR);
        return -1;
    }
    return 0;
}

int checkEventFileRegular(void)
{
    struct stat st;
    // A missing file is learn mode's to create; a folder gets the loader's warning.
    if (stat(eventFileName.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))
        return 0;
    refuseNotRegular();
    return -1;
}

// Waits for a FIFO's first data or for its writer to leave; a FIFO opened
// without waiting shows no end of data before a writer has come.
static void waitForWriter(int fd)
{
    struct pollfd in = {fd, POLLIN, 0};
    while (poll(&in, 1, -1) < 0 && errno == EINTR) {
    }
}

// Opens the event file for one load without ever blocking in the open. Run
// and learn mode re-read and append, which only a regular file allows.
static FILE *openEventFile(void)
{
    int fd = open(eventFileName.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        warnCannotOpen(errno);
        return nullptr;
    }
    struct stat st;
    int err = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (err != 0) {
        close(fd);
        warnCannotOpen(err);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode) && !checkMode) {
        close(fd);
        refuseNotRegular();
        return nullptr;
    }
    if (S_ISFIFO(st.st_mode))
        waitForWriter(fd);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE *fp = fdopen(fd, "r");
    if (fp == nullptr) {
        warnCannotOpen(errno);
        close(fd);
    }
    return fp;
}

int loadEventStream(FILE *fp)
{
    dataEnded = false;
    int refused = 0;
    std::string line;
    const char *content;
    while ((content = readEventLine(fp, line)) != nullptr) {
        int lineRefused = loadEventLine(content);
        if (refused < INT_MAX)
            refused += lineRefused;
    }
    // A disk error can stop the reading halfway: that may not pass for a
    // complete timetable.
    if (ferror(fp)) {
        warnCannotOpen(errno);
        return -1;
    }
    return refused;
}

int loadEventFile(void)
{
    filePtr fp(openEventFile());
    if (!fp)
        return -1;
    return loadEventStream(fp.get());
}
