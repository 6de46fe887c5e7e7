// terminal_test.cpp: the keyboard and the display on a real terminal, a
// pseudo-terminal.
//
// Each keyboard test starts a small shell on the pseudo-terminal that runs
// a key reader as its job, with job control as a login shell would do it.
// The key reader calls the keyboard functions and reports the codes it
// reads; the test types into the terminal and compares its settings with
// those before.
#include "keys.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <csignal>
#include <new>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

namespace {

enum reportKind_t { NOTHING, READY, KEY, STOPPED, EXITED, KILLED };
struct report_t {
    int kind, value;
};

void report(int fd, int kind, int value)
{
    report_t sent = {kind, value};
    if (write(fd, &sent, sizeof sent) != sizeof sent)
        _exit(3);
}

struct readerPlan_t {
    bool foreground;   // else started as a background job
    bool closeFirst;   // on 'q': closeKeyboard, else only exit
};

[[gnu::noinline]] void throwBadAlloc()
{
    throw std::bad_alloc();
}

// As a failed allocation ends a program that catches nothing: terminate.
void runOutOfMemory() noexcept
{
    throwBadAlloc();
}

[[noreturn]] void runKeyReader(int reports, readerPlan_t plan)
{
    setpgid(0, 0);
    if (plan.foreground) {
        signal(SIGTTOU, SIG_IGN);
        tcsetpgrp(STDIN_FILENO, getpgrp());
        signal(SIGTTOU, SIG_DFL);
    }
    struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    openKeyboard();
    report(reports, READY, getpid());
    for (int code = 0; code != 'q';) {
        if (keyPending()) {
            code = readKey();
            report(reports, KEY, code);
            if (code == 'n')
                runOutOfMemory();
            if (code == 's')
                sleepMs(300);  // as the run loop does between its looks at the keys
        } else {
            usleep(2000);
        }
    }
    if (plan.closeFirst) {
        closeKeyboard();
        _exit(0);
    }
    exit(0);
}

// Commands: 'f' brings the job to the foreground and continues it, 'b'
// continues it in the background, 'g' only hands it the terminal, as a
// program that runs it in a process group of its own may do.
[[noreturn]] void runShell(int slave, int reports, int commands, readerPlan_t plan)
{
    login_tty(slave);
    signal(SIGTTOU, SIG_IGN);
    pid_t reader = fork();
    if (reader < 0)
        _exit(2);
    if (reader == 0) {
        signal(SIGTTOU, SIG_DFL);
        runKeyReader(reports, plan);
    }
    setpgid(reader, reader);
    for (;;) {
        int status;
        if (waitpid(reader, &status, WUNTRACED | WNOHANG) == reader) {
            if (WIFSTOPPED(status)) {
                tcsetpgrp(STDIN_FILENO, getpgrp());
                report(reports, STOPPED, WSTOPSIG(status));
                continue;
            }
            if (WIFEXITED(status))
                report(reports, EXITED, WEXITSTATUS(status));
            else
                report(reports, KILLED, WTERMSIG(status));
            _exit(0);
        }
        struct pollfd command = {commands, POLLIN, 0};
        if (poll(&command, 1, 5) <= 0)
            continue;
        char what;
        if (read(commands, &what, 1) != 1) {  // the test is done with us
            kill(reader, SIGKILL);
            waitpid(reader, nullptr, 0);
            _exit(1);
        }
        if (what == 'f' || what == 'g')
            tcsetpgrp(STDIN_FILENO, reader);
        if (what != 'g')
            kill(-reader, SIGCONT);
    }
}

bool sameTermios(const struct termios &a, const struct termios &b)
{
    for (int i = 0; i < NCCS; i++)
        if (a.c_cc[i] != b.c_cc[i])
            return false;
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

double monotonicMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

class Terminal : public testing::Test {
protected:
    int master = -1, slave = -1, reports = -1, commands = -1;
    pid_t shell = -1, reader = -1;
    struct termios before;

    // Settings no program would leave, so that only an exact restore passes.
    void start(readerPlan_t plan)
    {
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        struct termios unusual;
        tcgetattr(slave, &unusual);
        unusual.c_cc[VMIN] = 7;
        unusual.c_cc[VTIME] = 3;
        unusual.c_lflag &= ~ECHOCTL;
        unusual.c_iflag |= IXANY;
        tcsetattr(slave, TCSANOW, &unusual);
        tcgetattr(slave, &before);

        int reportPipe[2], commandPipe[2];
        ASSERT_EQ(pipe(reportPipe), 0);
        ASSERT_EQ(pipe(commandPipe), 0);
        fflush(stdout);
        fflush(stderr);
        shell = fork();
        if (shell == 0) {
            close(master);
            close(reportPipe[0]);
            close(commandPipe[1]);
            runShell(slave, reportPipe[1], commandPipe[0], plan);
        }
        close(reportPipe[1]);
        close(commandPipe[0]);
        reports = reportPipe[0];
        commands = commandPipe[1];
        report_t ready = next();
        ASSERT_EQ(ready.kind, READY);
        ASSERT_GT(ready.value, 0);
        reader = ready.value;
    }

    void TearDown() override
    {
        // Closing the commands makes the shell end its job and itself.
        if (commands >= 0)
            close(commands);
        commands = -1;
        if (shell > 0) {
            int tries = 0;
            while (waitpid(shell, nullptr, WNOHANG) == 0 && ++tries < 300)
                usleep(10000);
            if (tries == 300) {
                if (reader > 0)  // never -1: kill(-1) would reach every process
                    kill(reader, SIGKILL);
                kill(shell, SIGKILL);
                waitpid(shell, nullptr, 0);
            }
        }
        for (int fd : {master, slave, reports, commands})
            if (fd >= 0)
                close(fd);
    }

    report_t next(int timeoutMs = 3000)
    {
        struct pollfd from = {reports, POLLIN, 0};
        report_t got = {NOTHING, 0};
        if (poll(&from, 1, timeoutMs) == 1 && read(reports, &got, sizeof got) != sizeof got)
            got.kind = NOTHING;
        return got;
    }

    std::vector<int> keys(size_t count)
    {
        std::vector<int> codes;
        while (codes.size() < count) {
            report_t got = next();
            if (got.kind != KEY)
                break;
            codes.push_back(got.value);
        }
        return codes;
    }

    // Never with an id the test did not get: kill(-1) would reach every process.
    void signalReader(int sig)
    {
        ASSERT_GT(reader, 0);
        kill(reader, sig);
    }

    void type(const std::string &bytes) { ASSERT_EQ(write(master, bytes.data(), bytes.size()), (ssize_t)bytes.size()); }
    void command(char what) { ASSERT_EQ(write(commands, &what, 1), 1); }

    struct termios now()
    {
        struct termios current;
        tcgetattr(slave, &current);
        return current;
    }

    void expectKeyMode()
    {
        struct termios keyMode = now();
        EXPECT_FALSE(keyMode.c_lflag & (ICANON | ECHO));
        EXPECT_TRUE(keyMode.c_lflag & ISIG);
        EXPECT_TRUE(keyMode.c_oflag & OPOST);
        EXPECT_EQ(keyMode.c_cc[VMIN], 1);
    }

    bool waitForKeyMode()
    {
        for (int tries = 0; tries < 200 && (now().c_lflag & ICANON); tries++)
            usleep(5000);
        return !(now().c_lflag & ICANON);
    }
};

TEST_F(Terminal, TypedKeysArriveAsCodes)
{
    ASSERT_NO_FATAL_FAILURE(start({true, true}));
    expectKeyMode();
    type("\x1b[15~");
    EXPECT_EQ(keys(2), (std::vector<int>{0, 63}));
    type("\x1b[Aa\xc3\xa4");
    EXPECT_EQ(keys(4), (std::vector<int>{224, 72, 'a', 255}));
    type("\x1b[1");  // a sequence that arrives in two parts is still one key
    usleep(10000);
    type("7~");
    EXPECT_EQ(keys(2), (std::vector<int>{0, 64}));

    double typed = monotonicMs();
    type("\x1b");
    EXPECT_EQ(keys(1), std::vector<int>{27});
    double waited = monotonicMs() - typed;
    EXPECT_GE(waited, KEY_ESCAPE_WAIT_MS - 5);
    EXPECT_LT(waited, KEY_ESCAPE_WAIT_MS + 450);
    printf("lone Escape delivered after %.1f ms\n", waited);

    // Two Escape presses while the program sleeps are two Escape keys; the
    // ESC ESC a terminal sends at once for Alt+Escape stays Alt+Escape.
    type("s");
    EXPECT_EQ(keys(1), std::vector<int>{'s'});
    type("\x1b");
    usleep(150000);
    type("\x1b");
    EXPECT_EQ(keys(2), (std::vector<int>{27, 27}));
    type("s");
    EXPECT_EQ(keys(1), std::vector<int>{'s'});
    type("\x1b\x1b");
    EXPECT_EQ(keys(2), (std::vector<int>{0, 1}));

    type("q");
    EXPECT_EQ(keys(1), std::vector<int>{'q'});
    EXPECT_EQ(next().kind, EXITED);
    EXPECT_TRUE(sameTermios(now(), before));
}

struct wayOut_t {
    const char *name;
    bool closeFirst;
    const char *typed;  // or else a signal sent
    int sig;
    report_t end;
};

void PrintTo(const wayOut_t &way, std::ostream *out)
{
    *out << way.name;
}

class TerminalWayOut : public Terminal, public testing::WithParamInterface<wayOut_t> {};

TEST_P(TerminalWayOut, PutsSettingsBackExactly)
{
    const wayOut_t &way = GetParam();
    ASSERT_NO_FATAL_FAILURE(start({true, way.closeFirst}));
    expectKeyMode();
    if (way.typed)
        type(way.typed);
    else
        signalReader(way.sig);
    report_t end = next();
    while (end.kind == KEY)
        end = next();
    EXPECT_EQ(end.kind, way.end.kind);
    EXPECT_EQ(end.value, way.end.value);
    EXPECT_TRUE(sameTermios(now(), before));
}

INSTANTIATE_TEST_SUITE_P(
    Keyboard, TerminalWayOut,
    testing::Values(wayOut_t{"closeKeyboard", true, "q", 0, {EXITED, 0}},
                    wayOut_t{"exit", false, "q", 0, {EXITED, 0}},
                    wayOut_t{"CtrlC", false, "\x03", 0, {KILLED, SIGINT}},
                    wayOut_t{"CtrlBackslash", false, "\x1c", 0, {KILLED, SIGQUIT}},
                    wayOut_t{"SIGTERM", false, nullptr, SIGTERM, {KILLED, SIGTERM}},
                    wayOut_t{"SIGHUP", false, nullptr, SIGHUP, {KILLED, SIGHUP}},
                    wayOut_t{"SIGPIPE", false, nullptr, SIGPIPE, {KILLED, SIGPIPE}},
                    wayOut_t{"SIGUSR1", false, nullptr, SIGUSR1, {KILLED, SIGUSR1}},
                    wayOut_t{"SIGALRM", false, nullptr, SIGALRM, {KILLED, SIGALRM}},
                    wayOut_t{"SIGSEGV", false, nullptr, SIGSEGV, {KILLED, SIGSEGV}},
                    wayOut_t{"SIGRTMIN", false, nullptr, SIGRTMIN + 2, {KILLED, SIGRTMIN + 2}},
                    wayOut_t{"badAlloc", false, "n", 0, {KILLED, SIGABRT}}),
    [](const testing::TestParamInfo<wayOut_t> &info) { return std::string(info.param.name); });

TEST_F(Terminal, CtrlZStopsWithSettingsBackAndForegroundTakesThemAgain)
{
    ASSERT_NO_FATAL_FAILURE(start({true, true}));
    type("\x1a");
    report_t stop = next();
    EXPECT_EQ(stop.kind, STOPPED);
    EXPECT_EQ(stop.value, SIGTSTP);
    EXPECT_TRUE(sameTermios(now(), before));

    command('b');  // in the background it must neither touch nor read the terminal
    EXPECT_EQ(next(200).kind, NOTHING);
    EXPECT_TRUE(sameTermios(now(), before));

    command('f');
    EXPECT_TRUE(waitForKeyMode());
    type("b");
    EXPECT_EQ(keys(1), std::vector<int>{'b'});
    type("q");
    EXPECT_EQ(keys(1), std::vector<int>{'q'});
    EXPECT_EQ(next().kind, EXITED);
    EXPECT_TRUE(sameTermios(now(), before));
}

TEST_F(Terminal, BackgroundStartWaitsForTheForeground)
{
    ASSERT_NO_FATAL_FAILURE(start({false, true}));
    type("x");
    EXPECT_EQ(next(200).kind, NOTHING);  // not stopped, no key read
    EXPECT_TRUE(sameTermios(now(), before));

    command('f');
    EXPECT_EQ(keys(1), std::vector<int>{'x'});
    expectKeyMode();
    type("q");
    EXPECT_EQ(keys(1), std::vector<int>{'q'});
    EXPECT_EQ(next().kind, EXITED);
    EXPECT_TRUE(sameTermios(now(), before));
}

// The key test is one poll only while key mode is on: out of it the
// keyboard still looks for the foreground every time.
TEST_F(Terminal, ForegroundWithoutASignalIsNoticedToo)
{
    ASSERT_NO_FATAL_FAILURE(start({false, true}));
    type("x");
    EXPECT_EQ(next(200).kind, NOTHING);
    command('g');
    EXPECT_EQ(keys(1), std::vector<int>{'x'});
    expectKeyMode();
    type("q");
    EXPECT_EQ(keys(1), std::vector<int>{'q'});
    EXPECT_EQ(next().kind, EXITED);
    EXPECT_TRUE(sameTermios(now(), before));
}

// A terminal that takes nothing (Scroll Lock, Ctrl+S) holds a bounded
// backlog; one that had to be dropped is told once, so that the run loop
// shows the entry in force afresh rather than leave it unseen.
TEST(Display, DroppedBacklogIsToldOnce)
{
    int master, slave;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    fflush(stdout);
    int shell = dup(STDOUT_FILENO);
    dup2(slave, STDOUT_FILENO);
    openDisplay();
    bool before = displayLost();
    const std::string line(1000, 'x');
    for (int i = 0; i < 1000; i++)
        printf("%s", line.c_str());
    int waiting = displayBacklog();
    bool dropped = displayLost(), again = displayLost();
    close(master);  // hung up: closeDisplay need not wait for a reader
    closeDisplay();
    dup2(shell, STDOUT_FILENO);
    for (int fd : {shell, slave})
        close(fd);
    EXPECT_FALSE(before);
    EXPECT_TRUE(dropped);
    EXPECT_FALSE(again);
    EXPECT_GT(waiting, 0);
    EXPECT_LE(waiting, 64 * 1024);
}

}  // namespace
