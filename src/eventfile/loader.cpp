// loader.cpp: reads the event file into the ring.
//
// Lines are read to their end, whatever their length: a comment stays a
// comment and can never spill over into a timetable line of its own. Only the
// first keptLineBytes of a line are kept, so no file, not even an endless one
// without line ends, makes the program grow.
#include "eventfile.h"
#include "calendar.h"
#include "holidays.h"
#include "journal.h"

#include "settings.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <algorithm>
#include <set>
#include <string>
#include <vector>
#include <strings.h>
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

// --- sections -----------------------------------------------------------------
// "[3]", "[3 pump]", "[1,2 lights]", "[1-8]": the entries after it drive
// only the lines it names (line n is bit n-1 of the output), until the next
// one; entries before any drive all eight. An older weekswitch refuses such a
// line as a bad day.

int32_t lastSectionMask = 0xFF;
int32_t sectionLines;
static int32_t sectionMask = 0xFF;
// For check mode's listing: the sections in the order they first came, and
// the keys at which an entry before any section stands (such an entry may
// share its record with entries of sections).
static std::vector<int32_t> sectionsSeen;
static std::set<int32_t> wholeKeys;
// A name is shown beside the time on the console and in the record.
static const size_t longestName = 20;

static void noteWhole(int day, const char *timeText)
{
    rtEvent_t entry;
    if (parseEvent(&entry, dayNames[day], timeText, 0) == 0)
        wholeKeys.insert(entry.dayTime);
}

static int refuseSection(const char *what, const std::string &text)
{
    report(JOURNAL_ERR, "ERROR:  %s:  '%s'\n", what, quotedText(text).c_str());
    return 1;
}

static int loadSectionLine(const char *content)
{
    std::string text(content);
    size_t end = text.find_last_not_of(" \t\r\n");
    text.resize(end == std::string::npos ? 0 : end + 1);
    size_t close = text.find(']');
    if (close == std::string::npos || close + 1 != text.size())
        return refuseSection("Bad section", text);
    std::string inner = text.substr(1, close - 1);
    size_t blank = inner.find_first_of(" \t");
    std::string lines = inner.substr(0, blank), name;
    if (blank != std::string::npos) {
        size_t first = inner.find_first_not_of(" \t", blank), last = inner.find_last_not_of(" \t");
        name = first == std::string::npos ? "" : inner.substr(first, last - first + 1);
    }
    if (lines.empty())
        return refuseSection("Section names no line", text);
    int32_t mask = 0;
    for (size_t at = 0; at <= lines.size();) {
        size_t comma = lines.find(',', at);
        std::string item = lines.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        at = comma == std::string::npos ? lines.size() + 1 : comma + 1;
        int from, to, used = 0;
        if (sscanf(item.c_str(), "%d-%d%n", &from, &to, &used) != 2 || used != (int)item.size()) {
            if (sscanf(item.c_str(), "%d%n", &from, &used) != 1 || used != (int)item.size())
                return refuseSection("Bad section", text);
            to = from;
        }
        if (item.find_first_not_of("0123456789-") != std::string::npos || from < 1 || to > 8 || from > to)
            return refuseSection("Line outside 1..8 in section", text);
        for (int line = from; line <= to; line++) {
            if (mask >> (line - 1) & 1)
                return refuseSection("Section names a line twice", text);
            mask |= 1 << (line - 1);
        }
    }
    if (name.size() > longestName || quotedText(name, longestName) != name)
        return refuseSection("Bad section name (at most 20 bytes, no control bytes)", text);
    for (int line = 0; line < 8; line++)
        if ((mask >> line & 1) && !name.empty() && !lineNames[line].empty() && lineNames[line] != name) {
            report(JOURNAL_ERR, "ERROR:  Line %d named twice:  '%s' and '%s'\n", line + 1,
                   quotedText(lineNames[line]).c_str(), quotedText(name).c_str());
            return 1;
        }
    for (int line = 0; line < 8; line++)
        if ((mask >> line & 1) && !name.empty())
            lineNames[line] = name;
    sectionMask = lastSectionMask = mask;
    sectionLines |= mask;
    sectionsUsed = true;
    if (std::find(sectionsSeen.begin(), sectionsSeen.end(), mask) == sectionsSeen.end())
        sectionsSeen.push_back(mask);
    return 0;
}

// "[1,2 lights]", "[4-6]" for the lines of mask.
std::string sectionLine(int32_t mask)
{
    std::string text = "[", name;
    for (int line = 0; line < 8; line++) {
        if (!(mask >> line & 1))
            continue;
        int last = line;
        while (last + 1 < 8 && (mask >> (last + 1) & 1))
            last++;
        text += (text.size() > 1 ? "," : "") + std::to_string(line + 1) +
                (last > line + 1 ? "-" + std::to_string(last + 1) : last > line ? "," + std::to_string(last + 1) : "");
        line = last;
    }
    // The name, when every line of it has that one.
    for (int line = 0; line < 8; line++)
        if (mask >> line & 1) {
            if (name.empty())
                name = lineNames[line];
            if (lineNames[line] != name)
                return text + "]";
        }
    return text + (name.empty() ? "" : " " + name) + "]";
}

// The entries of one section (or before any, sections 0xFF and whole), each
// with the word of its lines.
static void listSection(int32_t mask, bool whole)
{
    const rtEvent_t *ev = eventList;
    do {
        bool isWhole = wholeKeys.count(ev->dayTime) != 0;
        bool in = whole ? isWhole : !isWhole && (ev->mask & mask) == mask;
        if (in) {
            const char *word = (ev->unset & mask) == mask ? "" : (ev->bits & mask) == mask ? " On" : " Off";
            printf("%s %02d:%02d:%02d%s\n", dayNames[ev->day], ev->hour, ev->min, ev->sec, word);
        }
        ev = ev->next;
    } while (ev != eventList);
}

int listTimetable(void)
{
    if (!sectionsUsed || eventList == nullptr)
        return listEvents();
    if (!wholeKeys.empty()) {
        printf("[all lines]\n");
        listSection(0xFF, true);
    }
    for (int32_t mask : sectionsSeen) {
        printf("%s\n", sectionLine(mask).c_str());
        listSection(mask, false);
    }
    return 0;
}

// --- dated lines ------------------------------------------------------------
// "2026-12-24 as su", "2026-05-01 0", "2026-11-20 07:30 1", each with a
// range "FROM..TO" in place of the date, and "holidays FILE as su" or
// "holidays FILE 0". An older weekswitch refuses every one of them as a bad
// day, so no timetable it ran changes meaning.

// A field without the line end the last field of a line carries.
static std::string bare(const char *field)
{
    std::string text(field != nullptr ? field : "");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// "YYYY-MM-DD", digits and dashes only.
static int32_t parseDate(const std::string &text)
{
    static const char form[] = "0000-00-00";
    if (text.size() != sizeof form - 1)
        return -1;
    for (size_t i = 0; i < text.size(); i++)
        if (form[i] == '-' ? text[i] != '-' : text[i] < '0' || text[i] > '9')
            return -1;
    return dateNumber(atoi(text.c_str()), atoi(text.c_str() + 5), atoi(text.c_str() + 8));
}

// The dates of "2026-12-24" or "2026-12-24..2027-01-06"; 0, or 1 after
// saying what is wrong.
static int parseDates(const char *field, int32_t *from, int32_t *to)
{
    std::string text = bare(field);
    size_t dots = text.find("..");
    *from = parseDate(text.substr(0, dots));
    *to = dots == std::string::npos ? *from : parseDate(text.substr(dots + 2));
    if (*from < 0 || *to < 0) {
        report(JOURNAL_ERR, "ERROR:  Bad date:  '%s'\n", quotedText(text).c_str());
        return 1;
    }
    if (*to < *from) {
        report(JOURNAL_ERR, "ERROR:  Date range runs backwards:  '%s'\n", quotedText(text).c_str());
        return 1;
    }
    if (*to - *from >= longestRangeDays) {
        report(JOURNAL_ERR, "ERROR:  Date range longer than three years:  '%s'\n", quotedText(text).c_str());
        return 1;
    }
    return 0;
}

// "as su" or a value, its first word already read: what the dates of a
// line become. 0, or 1 after saying what is wrong.
static int parseDateKind(const char *word, char **save, const char *content, int *kind, int *asDay, int32_t *state)
{
    if (word == nullptr) {
        report(JOURNAL_ERR, "ERROR:  Time or value missing:  '%s'\n", quotedLine(content).c_str());
        return 1;
    }
    if (strcasecmp(bare(word).c_str(), "as") != 0) {
        int32_t value = readCInt(word);
        *kind = dateHeld;
        *state = value == 0 || value == -1 ? value : 255;
        return 0;
    }
    std::string day = bare(strtok_r(nullptr, fieldSeparators, save));
    *kind = dateAs;
    *asDay = parseDay(day.c_str());
    if (*asDay == 7 || day.find('-') != std::string::npos) {
        report(JOURNAL_ERR, "ERROR:  Bad day after as:  '%s'\n", quotedText(day).c_str());
        return 1;
    }
    return 0;
}

static int loadDatedLine(const char *dateField, char **save, const char *content)
{
    int32_t from, to;
    if (parseDates(dateField, &from, &to) != 0)
        return 1;
    char *second = strtok_r(nullptr, fieldSeparators, save);
    bool as = second != nullptr && strcasecmp(bare(second).c_str(), "as") == 0;
    char *third = second != nullptr && !as ? strtok_r(nullptr, fieldSeparators, save) : nullptr;
    long long earlier = 0;
    int32_t firstTwice = 0;
    int twice = 0;
    if (third != nullptr) {
        // A one-off: a time and a value, on each date.
        rtEvent_t entry;
        if (parseEvent(&entry, dayNames[0], second, readCInt(third)) != 0) {
            entryCnt++;  // a bad time is skipped, and counted, as in a weekly line
            return 0;
        }
        int32_t when = (entry.hour * 60 + entry.min) * 60 + entry.sec;
        for (int32_t date = from; date <= to; date++) {
            long long other = addOneOff(date, when, entry.state, lineCnt, sectionMask);
            if (other != 0 && twice++ == 0) {
                earlier = other;
                firstTwice = date;
            }
        }
        char time[16];
        snprintf(time, sizeof time, " %02d:%02d:%02d", entry.hour, entry.min, entry.sec);
        if (twice > 0)
            reportDatedTwice(firstTwice, twice - 1, earlier, lineCnt, time);
    } else {
        int kind, asDay = 0;
        int32_t state = 0;
        if (parseDateKind(second, save, content, &kind, &asDay, &state) != 0)
            return 1;
        for (int32_t date = from; date <= to; date++) {
            long long other = claimDate(date, kind, asDay, state, lineCnt);
            if (other != 0 && twice++ == 0) {
                earlier = other;
                firstTwice = date;
            }
        }
        if (twice > 0)
            reportDatedTwice(firstTwice, twice - 1, earlier, lineCnt, "");
    }
    entryCnt++;
    datedLineCnt++;
    return 0;
}

// "holidays FILE as su": every all-day event of an iCalendar file, the
// file named relative to the timetable's folder.
static int loadHolidaysLine(char **save, const char *content)
{
    std::string file = bare(strtok_r(nullptr, fieldSeparators, save));
    if (file.empty()) {
        report(JOURNAL_ERR, "ERROR:  Time or value missing:  '%s'\n", quotedLine(content).c_str());
        return 1;
    }
    int kind, asDay = 0;
    int32_t state = 0;
    if (parseDateKind(strtok_r(nullptr, fieldSeparators, save), save, content, &kind, &asDay, &state) != 0)
        return 1;
    size_t slash = eventFileName.find_last_of('/');
    std::string path = file[0] == '/' || slash == std::string::npos ? file : eventFileName.substr(0, slash + 1) + file;
    if (readHolidays(path, kind, asDay, state, lineCnt) != 0)
        return 1;
    entryCnt++;
    datedLineCnt++;
    return 0;
}

// Adds the records of one content line; returns 1 when the line is refused.
static int loadEventLine(const char *content)
{
    std::string fields(content);
    char *save = nullptr;
    char *dayField = strtok_r(&fields[0], fieldSeparators, &save);
    if (dayField == nullptr)
        dayField = &fields[fields.size()];
    if (dayField[0] == '[')
        return loadSectionLine(content);
    if (dayField[0] >= '0' && dayField[0] <= '9')
        return loadDatedLine(dayField, &save, content);
    if (strcasecmp(bare(dayField).c_str(), "holidays") == 0)
        return loadHolidaysLine(&save, content);
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
        if (addEvent(startDay, timeText, value, sectionMask) == 0 && sectionMask == 0xFF)
            noteWhole(startDay, timeText);
        return 0;
    }
    for (int day = startDay;; day = (day + 1) % 7) {
        if (addEvent(day, timeText, value, sectionMask) == 0 && sectionMask == 0xFF)
            noteWhole(day, timeText);
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
    // The ring is emptied by the caller; the dated days and the sections are
    // the loader's.
    clearDatedDays();
    for (std::string &name : lineNames)
        name.clear();
    sectionsUsed = false;
    sectionMask = lastSectionMask = 0xFF;
    sectionsSeen.clear();
    wholeKeys.clear();
    sectionLines = 0;
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
