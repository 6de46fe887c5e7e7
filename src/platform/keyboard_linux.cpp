// keyboard_linux.cpp: the console keyboard of a Linux terminal.
//
// Keys are read from the controlling terminal (/dev/tty), so the program can
// be fed files on standard input or run with it closed. The terminal goes
// into key-at-a-time mode without echo only while the program is its
// foreground job, and is put back exactly as it was on every way out: a
// normal end, the end by any signal whose default ends the process, faults
// and abort included, and a stop by Ctrl+Z. The terminal signals input
// (SIGIO), and the bytes are read as they arrive, with their times, so keys
// are told apart by when they were typed, not by when the run loop looked.
#include "platform.h"
#include "journal.h"
#include "keybuffer.h"
#include "keys.h"

#include <atomic>
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

// Under the service nobody at the console may end it by accident.
bool noKeySignals;
// The run loop's last wait ran out with nothing to read: until the next
// pass looks, nothing is waiting, and the look costs no system call.
bool quietSinceWait;

// Bytes read but not yet decoded, with the times they arrived, and codes
// decoded but not yet read; when the last code read arrived.
keyBuffer_t keys;
double lastArrivedMs;
// The main flow is using keys: the input signal leaves the bytes to it.
volatile sig_atomic_t keysBusy;

// Every signal whose default action ends the process: the terminal is put
// back before it takes its course, faults and abort (an uncaught exception,
// std::bad_alloc included, ends in abort) as well. The realtime signals join
// them at run time.
const int endingSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGPIPE, SIGUSR1,   SIGUSR2,
                             SIGALRM, SIGABRT, SIGSEGV, SIGBUS,  SIGFPE,  SIGILL,    SIGTRAP,
                             SIGSYS,  SIGXCPU, SIGXFSZ, SIGPROF, SIGVTALRM, SIGPWR, SIGSTKFLT};
struct sigaction previousActions[NSIG];
bool handlerInstalled[NSIG];
// A stack overflow must still find a stack to put the terminal back from.
alignas(16) char faultStack[64 * 1024];

bool isEndingSignal(int sig)
{
    for (int ending : endingSignals)
        if (ending == sig)
            return true;
    return sig >= SIGRTMIN && sig <= SIGRTMAX;
}

bool isHandledSignal(int sig)
{
    return sig == SIGTSTP || sig == SIGCONT || sig == SIGIO || isEndingSignal(sig);
}

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

// The ending signals: the process ends as if there were no handler, only
// with the terminal put back first.
void onEndingSignal(int sig)
{
    leaveKeyMode();
    journalSignal(sig);
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

double stampMs(void);
void takeArrivedBytes(void);

// The terminal has sent bytes: they are read now, so that their time stamps
// tell two Escape presses from the ESC ESC a terminal sends for Alt+Escape,
// however long the program sleeps before it looks at the keys.
void onInputSignal(int)
{
    int savedErrno = errno;
    if (!keysBusy && keyModeOn && inForeground())
        takeArrivedBytes();
    errno = savedErrno;
}

void installHandler(int sig)
{
    struct sigaction ours = {};
    ours.sa_handler = sig == SIGTSTP  ? onStopSignal
                      : sig == SIGCONT ? onContinueSignal
                      : sig == SIGIO   ? onInputSignal
                                       : onEndingSignal;
    sigemptyset(&ours.sa_mask);
    for (int other = 1; other < NSIG; other++)
        if (isHandledSignal(other))
            sigaddset(&ours.sa_mask, other);
    ours.sa_flags = SA_RESTART | SA_ONSTACK;
    sigaction(sig, &ours, nullptr);
}

// A signal the program was started with ignored (nohup, a background job
// of a shell without job control, run mode's SIGPIPE) stays ignored.
void installHandlers(void)
{
    stack_t alternate = {};
    alternate.ss_sp = faultStack;
    alternate.ss_size = sizeof faultStack;
    sigaltstack(&alternate, nullptr);
    for (int sig = 1; sig < NSIG; sig++) {
        handlerInstalled[sig] = false;
        if (!isHandledSignal(sig) || sigaction(sig, nullptr, &previousActions[sig]) != 0)
            continue;
        handlerInstalled[sig] = previousActions[sig].sa_handler != SIG_IGN;
        if (handlerInstalled[sig])
            installHandler(sig);
    }
}

void removeHandlers(void)
{
    for (int sig = 1; sig < NSIG; sig++)
        if (handlerInstalled[sig])
            sigaction(sig, &previousActions[sig], nullptr);
}

void restoreAtExit(void)
{
    leaveKeyMode();
}

// Non-canonical without echo; Ctrl+S and Ctrl+Q are keys rather than flow
// control, and bytes arrive as the terminal sent them (CR not turned into
// LF, all eight bits), while Ctrl+C and Ctrl+Z keep sending their signals
// (not under the service, where they are keys) and output processing is
// left alone.
void makeKeyTermios(void)
{
    keyTermios = foundTermios;
    keyTermios.c_lflag &= ~(ICANON | ECHO | ECHONL | IEXTEN | (noKeySignals ? ISIG : 0));
    keyTermios.c_iflag &= ~(IXON | ICRNL | INLCR | IGNCR | ISTRIP);
    keyTermios.c_cc[VMIN] = 1;
    keyTermios.c_cc[VTIME] = 0;
}

// Takes what the terminal holds, without waiting; also called from the
// input signal, so only async-signal-safe calls.
void takeArrivedBytes(void)
{
    unsigned char got[KEY_BUFFER_BYTES];
    while (!ttyGone && keyBufferRoom(&keys) > 0) {
        ssize_t n = read(ttyFd, got, keyBufferRoom(&keys));
        if (n > 0) {
            keyBufferAdd(&keys, got, (int)n, stampMs());
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n == 0 || errno != EAGAIN)
                ttyGone = true;  // hung up
            return;
        }
    }
}

// The main flow's hold on keys, which the input signal respects.
void holdKeys(bool hold)
{
    std::atomic_signal_fence(std::memory_order_seq_cst);
    keysBusy = hold;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

void readWaitingBytes(void)
{
    takeArrivedBytes();
}

// Arrival times of bytes, to the fraction of a millisecond.
double stampMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

// Waits up to ms for a byte from the terminal; true when one is there.
bool waitForByte(int ms)
{
    double until = stampMs() + ms;
    for (;;) {
        struct pollfd tty = {ttyFd, POLLIN, 0};
        int left = ms < 0 ? -1 : (int)(until - stampMs() + 0.999);
        if (ms >= 0 && left < 0)
            left = 0;
        int ready = poll(&tty, 1, left);
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

// Turns the bytes read into codes. An incomplete sequence at the end gets
// KEY_ESCAPE_WAIT_MS from its arrival to be completed before it is judged
// as it stands.
void decodeWaitingBytes(void)
{
    int waitMs;
    while ((waitMs = keyBufferDecode(&keys, stampMs(), false)) > 0) {
        if (!ttyGone && waitForByte(waitMs)) {
            readWaitingBytes();
            continue;
        }
        keyBufferDecode(&keys, stampMs(), true);
        return;
    }
}

// Input signals for our own open file of the terminal only.
void signalInput(bool on)
{
    int flags = fcntl(ttyFd, F_GETFL);
    if (on)
        fcntl(ttyFd, F_SETOWN, getpid());
    fcntl(ttyFd, F_SETFL, on ? flags | O_ASYNC : flags & ~O_ASYNC);
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
    if (quietSinceWait)
        return true;
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
    keyBufferClear(&keys);
    makeKeyTermios();

    static bool atexitDone;
    if (!atexitDone && atexit(restoreAtExit) == 0)
        atexitDone = true;
    installHandlers();
    signalInput(true);
    enterKeyMode();
    return 0;
}

void closeKeyboard(void)
{
    if (ttyFd < 0)
        return;
    leaveKeyMode();
    signalInput(false);
    removeHandlers();
    close(ttyFd);
    ttyFd = -1;
    keyBufferClear(&keys);
}

void keysNeverSignal(bool never)
{
    noKeySignals = never;
}

int keyPending(void)
{
    holdKeys(true);
    // Bytes the input signal took ahead are no longer the terminal's to report.
    if (keys.codeCnt == 0 && (keys.byteCnt > 0 || !nothingWaiting()) && keyboardReadable()) {
        enterKeyMode();  // brought to the foreground without a SIGCONT
        readWaitingBytes();
        decodeWaitingBytes();
    }
    holdKeys(false);
    return keys.codeCnt > 0;
}

int readKey(void)
{
    quietSinceWait = false;
    holdKeys(true);
    while (keys.codeCnt == 0) {
        if (ttyFd < 0 || ttyGone)
            break;
        if (keyboardReadable()) {
            enterKeyMode();
            readWaitingBytes();
            decodeWaitingBytes();
        }
        if (keys.codeCnt > 0)
            break;
        if (keyboardReadable()) {
            waitForByte(-1);
        } else {
            struct timespec nap = {0, 100 * 1000 * 1000};  // until brought to the foreground
            nanosleep(&nap, nullptr);
        }
    }
    int code = keyBufferTake(&keys, &lastArrivedMs);
    holdKeys(false);
    return code;
}

long long keyArrivedMs(void)
{
    return (long long)lastArrivedMs;
}

// The run loop's sleep. While it waits, the bytes stay in the terminal for
// the poll to see (the input signal leaves them alone), so a key ends the
// wait the moment it arrives; a signal that cuts the wait short costs
// nothing, the deadline stays.
void waitForKey(int ms)
{
    quietSinceWait = false;
    if (ms <= 0 || keys.codeCnt > 0 || keys.byteCnt > 0)
        return;
    double until = stampMs() + ms;
    holdKeys(true);
    // Key mode is on only in the foreground (the stop and continue signals
    // see to that), so the common case costs no look at the foreground;
    // without a terminal there is nothing to listen to.
    bool listen = ttyFd >= 0 && !ttyGone && keyModeOn;
    struct pollfd tty = {ttyFd, POLLIN, 0};
    for (;;) {
        // Whole milliseconds, rounded up: never woken before the deadline.
        int left = (int)(until - stampMs() + 0.999);
        if (left <= 0)
            break;
        int ready = poll(listen ? &tty : nullptr, listen ? 1 : 0, left);
        if (ready > 0 && !inForeground()) {
            listen = false;  // input for the foreground job, not for us
            continue;
        }
        if (ready > 0) {
            holdKeys(false);
            return;
        }
        if (ready < 0 && errno != EINTR)
            break;
    }
    holdKeys(false);
    quietSinceWait = listen;
}
