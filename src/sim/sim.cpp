// sim.cpp: the simulated machine behind platform.h for the unit tests.
//
// Nothing here waits or touches hardware: sleepMs moves a virtual clock,
// keys are a script ordered by virtual time, and port writes go to a vector.
#include "sim.h"
#include "platform.h"
#include "port.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

struct scriptedKey {
    long long atMs;
    int code;
};

struct scriptedAction {
    long long atMs;
    std::function<void()> action;
};

// Monday 2024-01-01 00:00:00 UTC: day 0 of the first simulated week.
const time_t simEpoch = 1704067200;
const long long msPerDay = 24LL * 3600 * 1000;
const int escapeCode = 27;
// Sleeps allowed after the safety stop before the test is given up.
const int sleepsAfterStop = 1000;

long long nowMs;
bool zoneSet;  // the local clock follows TZ, not UTC
int outputLines = 8;  // a relay board has fewer
long long stopAtMs;
bool stopped;
int sleepsSinceStop;
std::vector<scriptedKey> keys;  // ordered by time, scripting order within a time
size_t nextKey;
long long lastKeyAtMs;  // when the key read last was due
std::vector<scriptedAction> actions;  // ordered by time
std::vector<simPortWrite> portWrites;
std::function<void(const simPortWrite &)> portObserver;
int openPortCalls, closePortCalls;
bool outputAway, outputLostToTell;
int openKeyboardCalls, closeKeyboardCalls;
int sleepCalls, blockingReads;
int portWritesToFail, failedPortWrites;
std::vector<std::string> notifications;
std::vector<int> sleepLengths;

// Actions due by now run in time order; an action may script more.
void runDueActions(void)
{
    while (!actions.empty() && actions.front().atMs <= nowMs) {
        std::function<void()> action = actions.front().action;
        actions.erase(actions.begin());
        action();
    }
}

void advanceTo(long long atMs)
{
    if (atMs > nowMs)
        nowMs = atMs;
    runDueActions();
    if (!stopped && nowMs >= stopAtMs)
        stopped = true;
}

bool scriptedKeyDue(void)
{
    return nextKey < keys.size() && keys[nextKey].atMs <= nowMs;
}

}  // namespace

void simReset(void)
{
    nowMs = 0;
    stopAtMs = 8 * msPerDay;
    stopped = false;
    sleepsSinceStop = 0;
    keys.clear();
    nextKey = 0;
    actions.clear();
    portWrites.clear();
    portObserver = nullptr;
    openPortCalls = closePortCalls = 0;
    outputAway = outputLostToTell = false;
    openKeyboardCalls = closeKeyboardCalls = 0;
    sleepCalls = blockingReads = 0;
    sleepLengths.clear();
    portWritesToFail = failedPortWrites = 0;
    notifications.clear();
    outputLines = 8;
    if (zoneSet)
        simZone(nullptr);
}

long long simTimeMs(int day, int hour, int min, int sec, int ms)
{
    return day * msPerDay + ((hour * 60LL + min) * 60 + sec) * 1000 + ms;
}

void simSetNowMs(long long atMs)
{
    stopAtMs += atMs - nowMs;
    nowMs = atMs;
}

long long simNowMs(void)
{
    return nowMs;
}

void simOutputLines(int lines)
{
    outputLines = lines;
}

void simZone(const char *tz)
{
    // The test process's own TZ, put back when the zone is UTC again.
    static bool saved, hadTz;
    static std::string tzBefore;
    if (!saved) {
        const char *before = getenv("TZ");
        hadTz = before != nullptr;
        tzBefore = hadTz ? before : "";
        saved = true;
    }
    zoneSet = tz != nullptr;
    if (zoneSet)
        setenv("TZ", tz, 1);
    else if (hadTz)
        setenv("TZ", tzBefore.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

void simKey(long long atMs, int code)
{
    scriptedKey key = {atMs, code};
    auto later = std::upper_bound(keys.begin() + nextKey, keys.end(), key,
        [](const scriptedKey &a, const scriptedKey &b) { return a.atMs < b.atMs; });
    keys.insert(later, key);
}

void simKey2(long long atMs, int first, int second)
{
    simKey(atMs, first);
    simKey(atMs, second);
}

int simKeysLeft(void)
{
    return (int)(keys.size() - nextKey);
}

int simBlockingReads(void)
{
    return blockingReads;
}

void simAt(long long atMs, std::function<void()> action)
{
    scriptedAction entry = {atMs, action};
    auto later = std::upper_bound(actions.begin(), actions.end(), entry,
        [](const scriptedAction &a, const scriptedAction &b) { return a.atMs < b.atMs; });
    actions.insert(later, entry);
}

void simOnPortWrite(std::function<void(const simPortWrite &)> observer)
{
    portObserver = observer;
}

const std::vector<simPortWrite> &simPortWrites(void)
{
    return portWrites;
}

void simFailPortWrites(int count)
{
    portWritesToFail = count;
}

int simFailedPortWrites(void)
{
    return failedPortWrites;
}

const std::vector<std::string> &simNotifications(void)
{
    return notifications;
}

std::string simPortLogText(void)
{
    std::string text;
    for (const simPortWrite &write : portWrites) {
        long long msOfDay = write.atMs % msPerDay;
        char line[64];
        snprintf(line, sizeof line, "day %lld %02lld:%02lld:%02lld.%03lld 0x%02X\n",
                 write.atMs / msPerDay, msOfDay / 3600000, msOfDay / 60000 % 60,
                 msOfDay / 1000 % 60, msOfDay % 1000, write.value);
        text += line;
    }
    return text;
}

int simOpenPortCalls(void) { return openPortCalls; }

void simOutputAway(bool isAway)
{
    outputLostToTell = isAway && !outputAway;
    outputAway = isAway;
}
int simClosePortCalls(void) { return closePortCalls; }
int simOpenKeyboardCalls(void) { return openKeyboardCalls; }
int simCloseKeyboardCalls(void) { return closeKeyboardCalls; }
int simSleepCalls(void) { return sleepCalls; }

int simLongestSleep(void)
{
    return sleepLengths.empty() ? 0 : *std::max_element(sleepLengths.begin(), sleepLengths.end());
}

void simStopAt(long long atMs)
{
    stopAtMs = atMs;
}

bool simStopped(void)
{
    return stopped;
}

// --- platform.h --------------------------------------------------------------

int openPort(bool)
{
    openPortCalls++;
    return 0;
}

const char *portName(void)
{
    return "0x378";
}

int portLines(void)
{
    return outputLines;
}

bool portLost(void)
{
    bool tell = outputLostToTell;
    outputLostToTell = false;
    return tell;
}

const char *portPath(void)
{
    return "the simulated port";
}

int writePort(int value)
{
    if (outputAway) {
        failedPortWrites++;
        errno = ENODEV;
        return -1;
    }
    if (portWritesToFail > 0) {
        portWritesToFail--;
        failedPortWrites++;
        errno = EIO;
        return -1;
    }
    simPortWrite write = {nowMs, value & 0xFF};
    portWrites.push_back(write);
    if (portObserver)
        portObserver(write);
    return 0;
}

void closePort(void)
{
    closePortCalls++;
}

int openKeyboard(void)
{
    openKeyboardCalls++;
    return 0;
}

void closeKeyboard(void)
{
    closeKeyboardCalls++;
}

void keysNeverSignal(bool) {}

void notifyServiceManager(const char *state)
{
    notifications.push_back(state);
}

// The simulated console takes everything at once.
void openDisplay(void) {}
int displayBacklog(void) { return 0; }
int displayLost(void) { return 0; }
void closeDisplay(void) {}

int keyPending(void)
{
    runDueActions();
    return stopped || scriptedKeyDue();
}

int readKey(void)
{
    runDueActions();
    if (stopped) {
        lastKeyAtMs = nowMs;
        return escapeCode;
    }
    if (!scriptedKeyDue()) {
        // A real read would block until the next key; with none left it would
        // block for ever, which an Escape stands in for.
        blockingReads++;
        if (nextKey >= keys.size())
            return escapeCode;
        advanceTo(keys[nextKey].atMs);
    }
    lastKeyAtMs = keys[nextKey].atMs;
    return keys[nextKey++].code;
}

// A key arrives when it is due, whenever the runner reads it.
long long keyArrivedMs(void)
{
    return lastKeyAtMs;
}

// Both sleeps: the clock goes to untilMs, and a runner that sleeps on after
// the safety stop's Escape is given up.
static void sleepTo(long long untilMs, int ms)
{
    sleepCalls++;
    sleepLengths.push_back(ms);
    advanceTo(untilMs);
    if (stopped && ++sleepsSinceStop > sleepsAfterStop) {
        fprintf(stderr, "sim: the runner ignores Escape after the safety stop\n");
        abort();
    }
}

void sleepMs(int ms)
{
    sleepTo(nowMs + ms, ms);
}

// A key ends the wait when it arrives; actions only happen on the way.
void waitForKey(int ms)
{
    if (ms <= 0 || keyPending()) {
        sleepTo(nowMs, ms);
        return;
    }
    long long until = nowMs + ms;
    if (nextKey < keys.size() && keys[nextKey].atMs < until)
        until = keys[nextKey].atMs;
    if (!stopped && stopAtMs < until)
        until = stopAtMs;
    sleepTo(until, ms);
}

// The virtual clock is the only clock: a step of it is a step of this one.
long long monotonicMs(void)
{
    return nowMs;
}

int localTime(struct tm *out, int *ms)
{
    runDueActions();
    if (ms != nullptr)
        *ms = (int)(nowMs % 1000);
    time_t now = simEpoch + (time_t)(nowMs / 1000);
    if (!zoneSet)
        return gmtime_r(&now, out) ? 0 : -1;
    tzset();
    return localtime_r(&now, out) ? 0 : -1;
}
