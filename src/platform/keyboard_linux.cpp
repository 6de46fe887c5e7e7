// keyboard_linux.cpp: the console keyboard of a Linux terminal.
//
// Keys are read from the controlling terminal (/dev/tty), so the program can
// be fed files on standard input or run with it closed. The terminal goes
// into key-at-a-time mode without echo only while the program is its
// foreground job, and is put back exactly as it was on every way out: a
// normal end, the end by a signal, and a stop by Ctrl+Z.
#include "platform.h"
#include "keys.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

int ttyFd = -1;                  // -1: no controlling terminal, no keys ever
bool ttyGone;                    // hung up: nothing more to read
struct termios foundTermios;     // as openKeyboard found it, put back on the way out
struct termios keyTermios;       // key at a time, no echo
volatile sig_atomic_t keyModeOn; // keyTermios is in force

// Bytes read but not yet decoded, and codes decoded but not yet read.
unsigned char inBytes[64];
int inCnt;
int codes[32];
int codeHead, codeCnt;

const int handledSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT};
const int handledCnt = sizeof handledSignals / sizeof handledSignals[0];
struct sigaction previousActions[handledCnt];
bool handlerInstalled[handledCnt];

// Changing the terminal from a background job would stop the program
// (SIGTTOU), and reading from it would too (SIGTTIN).
bool inForeground(void)
{
    return tcgetpgrp(ttyFd) == getpgrp();
}

// Both are called from signal handlers: only async-signal-safe calls.
void enterKeyMode(void)
{
    if (ttyFd < 0 || keyModeOn || !inForeground())
        return;
    if (tcsetattr(ttyFd, TCSANOW, &keyTermios) == 0)
        keyModeOn = 1;
}

void leaveKeyMode(void)
{
    if (ttyFd < 0 || !keyModeOn)
        return;
    tcsetattr(ttyFd, TCSANOW, &foundTermios);
    keyModeOn = 0;
}

void setDefaultAction(int sig)
{
    struct sigaction byDefault = {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    sigaction(sig, &byDefault, nullptr);
}

// Lets sig do what it does by default right now, although it is blocked
// while its handler runs.
void raiseUnblocked(int sig)
{
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, sig);
    sigprocmask(SIG_UNBLOCK, &just, nullptr);
    raise(sig);
}

// SIGINT, SIGTERM, SIGHUP, SIGQUIT: the process ends as if there were no
// handler, only with the terminal put back first.
void onEndingSignal(int sig)
{
    leaveKeyMode();
    setDefaultAction(sig);
    raiseUnblocked(sig);
}

void installHandler(int sig);

void onStopSignal(int sig)
{
    int savedErrno = errno;
    leaveKeyMode();
    setDefaultAction(sig);
    raiseUnblocked(sig);
    // Here after SIGCONT, or at once where the stop was discarded (an
    // orphaned process group is never stopped from the keyboard).
    installHandler(sig);
    enterKeyMode();
    errno = savedErrno;
}

void onContinueSignal(int)
{
    int savedErrno = errno;
    enterKeyMode();
    errno = savedErrno;
}

void installHandler(int sig)
{
    struct sigaction ours = {};
    ours.sa_handler = sig == SIGTSTP ? onStopSignal : sig == SIGCONT ? onContinueSignal : onEndingSignal;
    sigemptyset(&ours.sa_mask);
    for (int other : handledSignals)
        sigaddset(&ours.sa_mask, other);
    ours.sa_flags = SA_RESTART;
    sigaction(sig, &ours, nullptr);
}

// A signal the program was started with ignored (nohup, a background job
// of a shell without job control) stays ignored.
void installHandlers(void)
{
    for (int i = 0; i < handledCnt; i++) {
        sigaction(handledSignals[i], nullptr, &previousActions[i]);
        handlerInstalled[i] = previousActions[i].sa_handler != SIG_IGN;
        if (handlerInstalled[i])
            installHandler(handledSignals[i]);
    }
}

void removeHandlers(void)
{
    for (int i = 0; i < handledCnt; i++)
        if (handlerInstalled[i])
            sigaction(handledSignals[i], &previousActions[i], nullptr);
}

void restoreAtExit(void)
{
    leaveKeyMode();
}

// Non-canonical without echo; Ctrl+S and Ctrl+Q are keys rather than flow
// control, and bytes arrive as the terminal sent them (CR not turned into
// LF, all eight bits), while Ctrl+C and Ctrl+Z keep sending their signals
// and output processing is left alone.
void makeKeyTermios(void)
{
    keyTermios = foundTermios;
    keyTermios.c_lflag &= ~(ICANON | ECHO | ECHONL | IEXTEN);
    keyTermios.c_iflag &= ~(IXON | ICRNL | INLCR | IGNCR | ISTRIP);
    keyTermios.c_cc[VMIN] = 1;
    keyTermios.c_cc[VTIME] = 0;
}

void queueCode(int code)
{
    codes[(codeHead + codeCnt) % (int)(sizeof codes / sizeof codes[0])] = code;
    codeCnt++;
}

bool roomForKey(void)
{
    return codeCnt + 2 <= (int)(sizeof codes / sizeof codes[0]);
}

// Takes what the terminal holds, without waiting.
void readWaitingBytes(void)
{
    while (!ttyGone && inCnt < (int)sizeof inBytes) {
        ssize_t got = read(ttyFd, inBytes + inCnt, sizeof inBytes - inCnt);
        if (got > 0) {
            inCnt += got;
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            if (got == 0 || errno != EAGAIN)
                ttyGone = true;  // hung up
            return;
        }
    }
}

double monotonicMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

// Waits up to ms for a byte from the terminal; true when one is there.
bool waitForByte(int ms)
{
    double until = monotonicMs() + ms;
    for (;;) {
        struct pollfd tty = {ttyFd, POLLIN, 0};
        int left = ms < 0 ? -1 : (int)(until - monotonicMs() + 0.999);
        if (ms >= 0 && left < 0)
            left = 0;
        int ready = poll(&tty, 1, left);
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

void dropBytes(int count)
{
    inCnt -= count;
    for (int i = 0; i < inCnt; i++)
        inBytes[i] = inBytes[i + count];
}

// Turns the bytes read into codes. An incomplete sequence at the end gets
// KEY_ESCAPE_WAIT_MS to be completed before it is judged as it stands.
void decodeWaitingBytes(void)
{
    while (inCnt > 0 && roomForKey()) {
        keyFound_t found;
        keyDecode_t result = decodeKey(inBytes, inCnt, &found);
        if (result == KEY_NEED_MORE) {
            if (!ttyGone && inCnt < (int)sizeof inBytes && waitForByte(KEY_ESCAPE_WAIT_MS)) {
                readWaitingBytes();
                continue;
            }
            decodeAfterWait(inBytes, inCnt, &found);
        }
        for (int i = 0; i < found.codeCnt; i++)
            queueCode(found.codes[i]);
        dropBytes(found.length);
    }
}

bool keyboardReadable(void)
{
    return ttyFd >= 0 && !ttyGone && inForeground();
}

// The run loop asks three times a second. In key mode, and so in the
// foreground, one poll tells that nothing waits; the foreground test and the
// read follow only when something does (a key, a hang-up). Out of key mode
// the full test runs each time, to notice the program being brought to the
// foreground without a SIGCONT; Ctrl+Z, bg and fg themselves are followed by
// the signal handlers.
bool nothingWaiting(void)
{
    if (ttyFd < 0 || ttyGone)
        return true;
    if (!keyModeOn)
        return false;
    struct pollfd tty = {ttyFd, POLLIN, 0};
    return poll(&tty, 1, 0) == 0;
}

}  // namespace

int openKeyboard(void)
{
    if (ttyFd >= 0)
        return 0;
    int fd = open("/dev/tty", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;  // no controlling terminal: no keys, and that is fine
    if (tcgetattr(fd, &foundTermios) != 0) {
        close(fd);
        return 0;
    }
    ttyFd = fd;
    ttyGone = false;
    inCnt = codeHead = codeCnt = 0;
    makeKeyTermios();

    static bool atexitDone;
    if (!atexitDone && atexit(restoreAtExit) == 0)
        atexitDone = true;
    installHandlers();
    enterKeyMode();
    return 0;
}

void closeKeyboard(void)
{
    if (ttyFd < 0)
        return;
    leaveKeyMode();
    removeHandlers();
    close(ttyFd);
    ttyFd = -1;
    inCnt = codeHead = codeCnt = 0;
}

int keyPending(void)
{
    if (codeCnt == 0 && !nothingWaiting() && keyboardReadable()) {
        enterKeyMode();  // brought to the foreground without a SIGCONT
        readWaitingBytes();
        decodeWaitingBytes();
    }
    return codeCnt > 0;
}

int readKey(void)
{
    while (codeCnt == 0) {
        if (ttyFd < 0 || ttyGone)
            return -1;
        if (keyboardReadable()) {
            enterKeyMode();
            readWaitingBytes();
            decodeWaitingBytes();
        }
        if (codeCnt > 0)
            break;
        if (keyboardReadable()) {
            waitForByte(-1);
        } else {
            struct timespec nap = {0, 100 * 1000 * 1000};  // until brought to the foreground
            nanosleep(&nap, nullptr);
        }
    }
    int code = codes[codeHead];
    codeHead = (codeHead + 1) % (int)(sizeof codes / sizeof codes[0]);
    codeCnt--;
    return code;
}
