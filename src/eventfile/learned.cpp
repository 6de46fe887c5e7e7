// learned.cpp: appends learned-event lines to the event file.
//
// A learned line is the user's only record of switching by hand, so it goes
// to disk before the call returns (fsync of the file, and of its folder when
// the file was new), and a write that fails halfway is taken back rather than
// left as a torn line.
#include "eventfile.h"

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
    printf("ERROR:  Cannot open event file for appending:  '%s'\n", eventFileName.c_str());
    fprintf(stderr, "%s\n", strerror(err));
}

static void printWriteError(int err)
{
    printf("ERROR:  Cannot write event file:  '%s'\n", eventFileName.c_str());
    fprintf(stderr, "%s\n", strerror(err));
}

// Opens for appending, creating the file when missing; sets *created.
static int openForAppend(bool *created)
{
    struct stat st;
    *created = stat(eventFileName.c_str(), &st) != 0 && errno == ENOENT;
    int fd = open(eventFileName.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EACCES) {
        // A file we may write but not read still takes the line; only the
        // checks of its last byte are lost.
        fd = open(eventFileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    }
    if (fd < 0)
        printAppendError(errno);
    return fd;
}

// The file's last byte, or -1 when it is empty or cannot be read.
static int lastByte(int fd, off_t *size)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -1;
    *size = st.st_size;
    unsigned char c;
    if (st.st_size == 0 || pread(fd, &c, 1, st.st_size - 1) != 1)
        return -1;
    return c;
}

// Removes a trailing end-of-data byte, which would hide all appended lines.
static int dropEndOfData(int fd)
{
    off_t size = 0;
    if (lastByte(fd, &size) == endOfDataByte && ftruncate(fd, size - 1) != 0) {
        printAppendError(errno);
        return -1;
    }
    return 0;
}

int checkEventFileAppendable(void)
{
    bool created;
    fdCloser file{openForAppend(&created)};
    if (file.fd < 0)
        return -1;
    return dropEndOfData(file.fd);
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

static void syncFolderOf(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    fdCloser dir{open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dir.fd >= 0)
        fsync(dir.fd);
}

static std::string learnedLine(const rtEvent_t *ev)
{
    char line[96];
    snprintf(line, sizeof line, "%s %2.2X:%2.2X:%2.2X %d ;; *Learned event*\r\n", dayNames[(ev->dayTime >> 24) & 7],
             (ev->dayTime >> 16) & 0xFF, (ev->dayTime >> 8) & 0xFF, ev->dayTime & 0xFF, ev->state);
    return line;
}

int appendLearnedEvent(const rtEvent_t *ev)
{
    bool created;
    fdCloser file{openForAppend(&created)};
    if (file.fd < 0 || dropEndOfData(file.fd) != 0)
        return -1;
    off_t size = -1;
    int last = lastByte(file.fd, &size);
    std::string text = learnedLine(ev);
    // A last line without a line end would swallow the learned line.
    if (last >= 0 && last != '\n')
        text = "\r\n" + text;
    if (writeAll(file.fd, text) != 0 || fsync(file.fd) != 0) {
        int err = errno;
        // Take back a torn line; without a known size, leave the file alone.
        if (size >= 0 && ftruncate(file.fd, size) != 0) {
            // Nothing more can be done: the message below names the file.
        }
        printWriteError(err);
        return -1;
    }
    if (created)
        syncFolderOf(eventFileName);
    int fd = file.fd;
    file.fd = -1;
    if (close(fd) != 0) {
        printWriteError(errno);
        return -1;
    }
    return 0;
}
