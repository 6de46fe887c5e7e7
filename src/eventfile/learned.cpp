// learned.cpp: appends learned-event lines to the event file.
//
// A learned line is the user's only record of switching by hand, so it goes
// to disk before the call returns (fsync of the file, and of its folder when
// the file was new), and a write that fails halfway is taken back rather than
// left as a torn line. Learn mode may run as root: only a regular file is
// ever written, never through a link someone else planted.
#include "eventfile.h"
#include "journal.h"
#include "links.h"

#include "settings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

static const char endOfDataByte = 0x1A;

struct fdCloser {
    int fd;
    ~fdCloser()
    {
        if (fd >= 0)
            close(fd);
    }
};

static void printAppendError(int err)
{
    report(JOURNAL_ERR, "ERROR:  Cannot open event file for appending:  '%s'\n", eventFileName.c_str());
    reportSystemError(JOURNAL_ERR, err);
}

static void printWriteError(int err)
{
    report(JOURNAL_ERR, "ERROR:  Cannot write event file:  '%s'\n", eventFileName.c_str());
    reportSystemError(JOURNAL_ERR, err);
}

static void printNotRegular(void)
{
    report(JOURNAL_ERR, "ERROR:  Event file is not a regular file:  '%s'\n", eventFileName.c_str());
}

// Opens for appending: a regular file, reached through links that are safe
// to follow (each judged, a link a link names too) and opened in the folder
// that was checked, so that a link swapped in since is met by O_NOFOLLOW and
// the path walked again. A missing file is created, but not through a link:
// a dangling link must not make one elsewhere. Never blocks (a FIFO). Sets
// *created, and then *folder, to be synced.
static int openForAppend(bool *created, int *folder)
{
    *created = false;
    *folder = -1;
    for (int attempt = 0; attempt < 3; attempt++) {
        walkedPath_t where;
        if (walkPath(eventFileName, &where) != 0)
            return -1;
        if (where.err != 0) {
            printAppendError(where.err);
            return -1;
        }
        fdCloser dir{where.folder};
        const char *name = where.name.c_str();
        int flags = O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (where.throughProc ? 0 : O_NOFOLLOW);
        int fd = openat(dir.fd, name, O_RDWR | flags);
        if (fd < 0 && errno == EACCES) {
            // A file we may write but not read still takes the line; only the
            // checks of its last bytes are lost.
            fd = openat(dir.fd, name, O_WRONLY | flags);
        }
        if (fd < 0 && errno == ENOENT && !where.linked) {
            fd = openat(dir.fd, name, O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd >= 0) {
                *created = true;
                *folder = dir.fd;
                dir.fd = -1;
                return fd;
            }
        }
        // Made, or swapped for a link, by someone else meanwhile: walked again.
        if (fd < 0 && (errno == EEXIST || (errno == ELOOP && !where.throughProc)))
            continue;
        if (fd < 0) {
            printAppendError(errno);
            return -1;
        }
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            printNotRegular();
            return -1;
        }
        return fd;
    }
    printAppendError(ELOOP);
    return -1;
}

// The file's size without its trailing end-of-data bytes, and whether an
// end-of-data byte stands before other bytes, which would hide everything
// appended. -1 when the file cannot be read (opened for writing only).
static off_t dataEnd(int fd, off_t size, bool *hidden)
{
    *hidden = false;
    off_t end = 0;
    bool sawEndOfData = false;
    char buf[65536];
    for (off_t at = 0; at < size;) {
        ssize_t got = pread(fd, buf, sizeof buf, at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return -1;
        for (ssize_t i = 0; i < got; i++) {
            if (buf[i] == endOfDataByte) {
                sawEndOfData = true;
            } else {
                *hidden = *hidden || sawEndOfData;
                end = at + i + 1;
            }
        }
        at += got;
    }
    return end;
}

static void printHiddenData(void)
{
    report(JOURNAL_ERR, "ERROR:  Event file has data after an end-of-data byte (0x1A):  '%s'\n", eventFileName.c_str());
}

// Where learned lines go: after the last byte that is not an end-of-data
// byte. -1 after a message when lines appended would never be read; the
// file's size when it cannot be read.
static off_t appendPoint(int fd, off_t size)
{
    bool hidden;
    off_t end = dataEnd(fd, size, &hidden);
    if (hidden) {
        printHiddenData();
        return -1;
    }
    return end < 0 ? size : end;
}

static off_t sizeOf(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_size : 0;
}

// Changes nothing in an existing file: its end-of-data bytes go only when a
// learned line is appended.
int checkEventFileAppendable(void)
{
    bool created;
    int folder;
    fdCloser file{openForAppend(&created, &folder)};
    fdCloser dir{folder};
    if (file.fd < 0)
        return -1;
    return appendPoint(file.fd, sizeOf(file.fd)) < 0 ? -1 : 0;
}

static int writeAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        done += (size_t)n;
    }
    return 0;
}

static void syncFolder(int folder)
{
    fdCloser dir{openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dir.fd >= 0)
        fsync(dir.fd);
}

static std::string learnedLine(const rtEvent_t *ev, int32_t date)
{
    char day[16], line[96];
    if (date >= 0)
        formatDate(day, date);
    snprintf(line, sizeof line, "%s %2.2X:%2.2X:%2.2X %d ;; *Learned event*\r\n",
             date >= 0 ? day : dayNames[(ev->dayTime >> 24) & 7], (ev->dayTime >> 16) & 0xFF,
             (ev->dayTime >> 8) & 0xFF, ev->dayTime & 0xFF, ev->state);
    return line;
}

// Puts back what an append took away: the old size, and the end-of-data
// bytes that stood at its end.
static void takeBack(int fd, off_t cut, off_t size)
{
    if (ftruncate(fd, cut) != 0)
        return;  // nothing more can be done: the message names the file
    std::string endOfData((size_t)(size - cut), endOfDataByte);
    writeAll(fd, endOfData);
}

int appendLearnedEvent(const rtEvent_t *ev, int32_t date, const std::string &section)
{
    bool created;
    int folder;
    fdCloser file{openForAppend(&created, &folder)};
    fdCloser dir{folder};
    if (file.fd < 0)
        return -1;
    off_t size = sizeOf(file.fd);
    off_t cut = appendPoint(file.fd, size);
    if (cut < 0)
        return -1;
    if (cut < size && ftruncate(file.fd, cut) != 0) {
        printAppendError(errno);
        return -1;
    }
    unsigned char last = 0;
    std::string text = (section.empty() ? "" : section + "\r\n") + learnedLine(ev, date);
    // A last line without a line end would swallow the learned line.
    if (cut > 0 && pread(file.fd, &last, 1, cut - 1) == 1 && last != '\n')
        text = "\r\n" + text;
    if (writeAll(file.fd, text) != 0 || fsync(file.fd) != 0) {
        int err = errno;
        takeBack(file.fd, cut, size);
        printWriteError(err);
        return -1;
    }
    if (created)
        syncFolder(dir.fd);
    int fd = file.fd;
    file.fd = -1;
    if (close(fd) != 0) {
        printWriteError(errno);
        return -1;
    }
    return 0;
}
