// journal.cpp: lines for the journal on standard error, see journal.h.
#include "journal.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

bool journalOn;

void openJournal(void)
{
    journalOn = false;
    const char *stream = getenv("JOURNAL_STREAM");
    unsigned long long dev, ino;
    struct stat st;
    if (stream == nullptr || sscanf(stream, "%llu:%llu", &dev, &ino) != 2 || fstat(STDERR_FILENO, &st) != 0)
        return;
    journalOn = (unsigned long long)st.st_dev == dev && (unsigned long long)st.st_ino == ino;
}

// One write per line: the journal takes a line as one entry, and a line
// never mixes with the system error texts the program writes there too.
static void writeLine(const char *line, size_t length)
{
    while (length > 0) {
        ssize_t n = write(STDERR_FILENO, line, length);
        if (n <= 0)
            return;  // the journal is gone: the port is still the work
        line += n;
        length -= (size_t)n;
    }
}

void journalPrint(int priority, const char *format, ...)
{
    if (!journalOn)
        return;
    char line[1024];
    int at = snprintf(line, sizeof line, "<%d>", priority);
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line + at, sizeof line - (size_t)at - 1, format, args);
    va_end(args);
    size_t length = (size_t)at + (n < 0 ? 0 : std::min((size_t)n, sizeof line - (size_t)at - 2));
    line[length++] = '\n';
    writeLine(line, length);
}

void journalMessageLine(const char *line, int length)
{
    static const struct {
        const char *prefix;
        int priority;
    } messages[] = {{"ERROR:  ", JOURNAL_ERR}, {"Error:  ", JOURNAL_ERR}, {"Warning:  ", JOURNAL_WARNING}};
    if (!journalOn)
        return;
    for (const auto &message : messages) {
        size_t prefixLength = strlen(message.prefix);
        if ((size_t)length >= prefixLength && memcmp(line, message.prefix, prefixLength) == 0) {
            journalPrint(message.priority, "%.*s", length, line);
            return;
        }
    }
}

void journalSignal(int sig)
{
    if (!journalOn)
        return;
    // No stdio in a signal handler: the line is put together by hand.
    char line[64] = "<5>Ended: signal ";
    size_t at = strlen(line);
    const char *name = sigabbrev_np(sig);
    if (name != nullptr) {
        memcpy(line + at, "SIG", 3);
        at += 3;
        for (; *name != '\0' && at < sizeof line - 2; name++)
            line[at++] = *name;
    } else {
        char digits[12];
        int n = 0;
        for (unsigned v = (unsigned)sig; n == 0 || v > 0; v /= 10)
            digits[n++] = (char)('0' + v % 10);
        while (n > 0)
            line[at++] = digits[--n];
    }
    line[at++] = '\n';
    writeLine(line, at);
}
