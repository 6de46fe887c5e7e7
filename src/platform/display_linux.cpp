// display_linux.cpp: console output that never holds up the switching.
//
// A terminal stops taking output when someone presses Scroll Lock or Ctrl+S,
// a pipe when its reader stops reading; a plain write then waits, and so
// would the port. In run and learn mode standard output (and standard error
// when it is the same terminal) becomes a stream of our own: every print
// goes into a backlog, and the backlog goes out through a non-blocking open
// file of the terminal as fast as the terminal takes it, print by print when
// it keeps up, so the bytes and their order are what they always were. The
// backlog is bounded: when a terminal stays stopped it is dropped and the
// run loop shows the state afresh once output flows again.
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A stopped console fills this with switchings and messages only (the run
// loop shows no clock line while output waits): days of them.
const size_t backlogLimit = 64 * 1024;
// At the end the terminal gets this long to take what is left.
const int finalDrainMs = 200;

FILE *foundStdout, *foundStderr;  // put back by closeDisplay
FILE *display;                    // the stream of our own, or nullptr
int displayFd = -1;
bool displayIsSocket;
bool outputGone;  // hung up or closed: nothing will ever be read
bool lost;
std::string backlog;

bool isStream(int fd, bool *socket)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    *socket = S_ISSOCK(st.st_mode);
    return S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
}

bool sameFile(int a, int b)
{
    struct stat sa, sb;
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino &&
           sa.st_rdev == sb.st_rdev;
}

// Our own open file of what standard output names, non-blocking; the one
// the program shares with its shell stays as it was. A socket cannot be
// opened again, but can be sent to without waiting.
int openNonBlocking(void)
{
    if (displayIsSocket)
        return dup(STDOUT_FILENO);
    std::string self = "/proc/self/fd/" + std::to_string(STDOUT_FILENO);
    return open(self.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

ssize_t writeNow(const char *bytes, size_t size)
{
    if (displayIsSocket)
        return send(displayFd, bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    return write(displayFd, bytes, size);
}

void writeBacklog(void)
{
    size_t done = 0;
    while (done < backlog.size() && !outputGone) {
        ssize_t n = writeNow(backlog.data() + done, backlog.size() - done);
        if (n > 0)
            done += (size_t)n;
        else if (n < 0 && errno == EINTR)
            continue;
        else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        else
            outputGone = true;
    }
    if (outputGone)
        backlog.clear();
    else
        backlog.erase(0, done);
}

ssize_t displayWrite(void *, const char *bytes, size_t size)
{
    if (outputGone)
        return (ssize_t)size;
    if (backlog.size() + size > backlogLimit) {
        backlog.clear();
        lost = true;
    }
    backlog.append(bytes, size < backlogLimit ? size : backlogLimit);
    writeBacklog();
    return (ssize_t)size;  // never an error: what is not shown is not the work
}

}  // namespace

void openDisplay(void)
{
    if (display != nullptr || !isStream(STDOUT_FILENO, &displayIsSocket))
        return;
    displayFd = openNonBlocking();
    if (displayFd < 0)
        return;
    cookie_io_functions_t io = {nullptr, displayWrite, nullptr, nullptr};
    display = fopencookie(nullptr, "w", io);
    if (display == nullptr) {
        close(displayFd);
        displayFd = -1;
        return;
    }
    fflush(stdout);
    fflush(stderr);
    // A terminal shows each print at once; a pipe gets blocks, as before.
    bool terminal = isatty(STDOUT_FILENO);
    setvbuf(display, nullptr, terminal ? _IONBF : _IOFBF, terminal ? 0 : BUFSIZ);
    outputGone = lost = false;
    backlog.clear();
    foundStdout = stdout;
    foundStderr = stderr;
    stdout = display;
    if (sameFile(STDOUT_FILENO, STDERR_FILENO))
        stderr = display;  // a message and its system error text stay in order
}

int displayBacklog(void)
{
    if (display == nullptr)
        return 0;
    fflush(display);
    writeBacklog();
    return (int)backlog.size();
}

int displayLost(void)
{
    bool was = lost;
    lost = false;
    return was;
}

void closeDisplay(void)
{
    if (display == nullptr)
        return;
    fflush(display);
    for (int waited = 0; waited < finalDrainMs && displayBacklog() > 0 && !outputGone; waited += 10) {
        struct pollfd out = {displayFd, POLLOUT, 0};
        poll(&out, 1, 10);
    }
    stdout = foundStdout;
    stderr = foundStderr;
    fclose(display);
    display = nullptr;
    close(displayFd);
    displayFd = -1;
    backlog.clear();
}
