// runner.cpp: run mode and learn mode.
//
// One loop: load the timetable, put the port into the state of the entry in
// force, then pass after pass take the waiting keys, sample the clock and
// switch the port when another entry comes into force. Escape or a failed
// load ends it; a function key, or in learn mode any other key, re-reads the
// file. Output goes through printf so that the texts stay exactly as shown.
// The record in force is found again each pass without walking the ring
// (findCurrentEvent follows it), so a pass costs the same for any timetable.
//
// Passes fall on the thirds of each second of the clock: entries come into
// force as a second begins, so the pass at the start of each second switches
// the port within a few milliseconds of it and shows the new second at once. A
// key ends the sleep when it arrives and is answered straight away. Under
// the service each thing done to the port goes into the journal.
#include "runner.h"
#include "eventfile.h"
#include "journal.h"
#include "platform.h"
#include "schedule.h"
#include "settings.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const int escapeKey = 27;
// First code of a two-code key such as F1..F10: asks for a re-read.
const int twoCodeKey = 0;
// Three passes a second, one as each second begins: no more wake-ups than
// the 300 ms passes of old, and never more than passMs between two.
const int passesPerSecond = 3;
const int passMs = (1000 + passesPerSecond - 1) / passesPerSecond;
const int noState = -1;
// A flood of keys must not hold up the switching: a pass takes at most this
// many, the next pass the rest.
const int keysPerPass = 256;
// Keys typed ahead of a reload that are dropped, at most; more wait for the
// next pass.
const int drainLimit = 4096;

// What the keys taken at the start of a pass ask the loop to do.
enum keyOutcome { keepWatching, reloadFile, endRun };

// The record in force since the last change, or none.
rtEvent_t *currentEvent;
// The state last written to the port.
int outputState;
// The clock line is the last thing printed and ends in "\r"; as it stands.
bool clockLineOpen;
char shownClockLine[eventTextSize + 16];
// Learn mode writes at most one line a second: the key of the last learned
// line, and of the last key refused for it (said once a second).
int32_t lastLearned = -1, lastRefused = -1;

// Each of the two is one print, so a terminal gets it in one write: the
// clock line goes out three times a second.
void printEventLines(const rtEvent_t *ev)
{
    clockLineOpen = false;
    char inForce[eventTextSize], next[eventTextSize];
    formatEvent(inForce, sizeof inForce, ev);
    formatEvent(next, sizeof next, ev->next);
    printf("EVENT:  %s\n next:  %s\n", inForce, next);
}

// The clock line is written when it changes, once a second: the passes in
// between would only write the same bytes again. A terminal that takes no
// output gets no clock lines to catch up on: only the switchings wait for
// it, and once it takes output again it is shown the entry in force afresh
// if any of them had to be dropped.
void printClockLine(void)
{
    if (displayLost() && currentEvent != nullptr && currentEvent->state != noState)
        printEventLines(currentEvent);
    char now[eventTextSize], line[eventTextSize + 16];
    formatEvent(now, sizeof now, &nowEvent);
    snprintf(line, sizeof line, "%s  %s\r", outputState != 0 ? "*On*: " : "*Off*:", now);
    if ((clockLineOpen && strcmp(line, shownClockLine) == 0) || displayBacklog() > 0)
        return;
    printf("%s", line);
    snprintf(shownClockLine, sizeof shownClockLine, "%s", line);
    clockLineOpen = true;
}

// On a terminal the shell's prompt would overwrite the last clock line; a
// file or pipe gets the output exactly as before.
void closeClockLine(void)
{
    if (clockLineOpen && isatty(STDOUT_FILENO))
        printf("\n");
    clockLineOpen = false;
}

// A record without a state switches the lines off: -1 does not mean on.
int portStateOf(const rtEvent_t *ev)
{
    return ev == nullptr || ev->state == noState ? 0 : ev->state;
}

void setPort(int state)
{
    outputState = state;
    writePort(outputState & 0xFF);
}

void journalEvent(const char *what, const rtEvent_t *ev)
{
    char text[eventTextSize] = "none";
    if (ev != nullptr)
        formatEvent(text, sizeof text, ev);
    journalPrint(JOURNAL_INFO, "%s: %s, port 0x%02X", what, text, outputState & 0xFF);
}

// After every load: the port gets the state of the entry in force, announced
// only when that entry has a state.
void synchronise(void)
{
    sampleClock();
    currentEvent = findCurrentEvent(nowEvent.dayTime);
    setPort(portStateOf(currentEvent));
    journalEvent("In force", currentEvent);
    if (currentEvent != nullptr && currentEvent->state != noState)
        printEventLines(currentEvent);
}

// One look at the clock: a switch and its announcement when another entry
// has come into force, else the clock line again.
void followClock(void)
{
    sampleClock();
    rtEvent_t *inForce = findCurrentEvent(nowEvent.dayTime);
    if (inForce == currentEvent) {
        printClockLine();
        return;
    }
    setPort(portStateOf(inForce));
    journalEvent("Switched", inForce);
    if (inForce != nullptr)
        printEventLines(inForce);
    currentEvent = inForce;
}

// The next pass falls on the next third of a second of the clock (at 334,
// 667 and 1000 ms); the ring need not be asked, as every entry comes into
// force as a second begins. Sampling afresh every pass follows a clock step
// or a new time zone.
int msToNextPass(void)
{
    int third = nowEventMs * passesPerSecond / 1000 + 1;
    return (third * 1000 + passesPerSecond - 1) / passesPerSecond - nowEventMs;
}

// Keys typed ahead of a reload are not meant for the new timetable.
void drainKeyboard(void)
{
    for (int dropped = 0; dropped < drainLimit && keyPending(); dropped++)
        readKey();
}

void prepareReread(void)
{
    readKey();  // which function key it was does not matter
    clearEvents();
    drainKeyboard();
    clockLineOpen = false;
    printf("\n\n*** Re-read Event file ***\n\n");
    journalPrint(JOURNAL_INFO, "Re-read: function key");
}

// A held key, or one that sticks, would append a line at every repeat, and
// every line after the first of a second is refused at the load anyway.
bool learnedThisSecond(void)
{
    if (nowEvent.dayTime != lastLearned)
        return false;
    if (nowEvent.dayTime != lastRefused) {
        printf("Key not learned:  one learned line a second\n");
        clockLineOpen = false;
    }
    lastRefused = nowEvent.dayTime;
    return true;
}

// Records the opposite of the output for the second in which the key came;
// the port follows through the reload, not here. Returns false when the key
// learned nothing.
bool learnKey(void)
{
    sampleClock();
    if (learnedThisSecond())
        return false;
    nowEvent.state = outputState == 0 ? 1 : 0;
    if (appendLearnedEvent(&nowEvent) == 0) {
        char text[eventTextSize];
        formatEvent(text, sizeof text, &nowEvent);
        journalPrint(JOURNAL_INFO, "Learned: %s", text);
        lastLearned = nowEvent.dayTime;
    }
    nowEvent.state = noState;
    clearEvents();
    drainKeyboard();
    clockLineOpen = false;
    printf("\n\n");
    journalPrint(JOURNAL_INFO, "Re-read: learned line");
    return true;
}

// Every waiting key is taken before the clock is sampled, up to a bound;
// ordinary keys with learn off mean nothing.
keyOutcome takeKeys(bool learn)
{
    for (int taken = 0; taken < keysPerPass && keyPending(); taken++) {
        int key = readKey();
        if (key == escapeKey)
            return endRun;
        if (key == twoCodeKey) {
            prepareReread();
            return reloadFile;
        }
        if (learn && learnKey())
            return reloadFile;
    }
    return keepWatching;
}

// The steady state: three passes a second, keys as they come, until
// a key ends it.
keyOutcome watch(bool learn)
{
    long long passDue = monotonicMs();
    for (;;) {
        keyOutcome outcome = takeKeys(learn);
        if (outcome != keepWatching)
            return outcome;
        // Keys never push a pass back: however many keep coming, the pass
        // is made when it is due.
        if (monotonicMs() >= passDue) {
            followClock();
            passDue = monotonicMs() + msToNextPass();
        }
        long long left = passDue - monotonicMs();
        waitForKey((int)(left < passMs ? left : passMs));
    }
}

void journalEnd(bool escape, int status)
{
    if (escape)
        journalPrint(JOURNAL_INFO, "Ended: Escape key");
    else if (status < 0)
        journalPrint(JOURNAL_ERR, "Ended: the timetable could not be read");
    else
        journalPrint(JOURNAL_ERR, "Ended: the timetable was refused (%d line%s)", status, status == 1 ? "" : "s");
}

}  // namespace

int runSchedule(bool learn)
{
    clockLineOpen = false;
    lastLearned = lastRefused = -1;
    int status = loadEventFile();
    journalPrint(JOURNAL_INFO, "Started: port 0x%X (%s), timetable '%s', %d entr%s", portAddr & 0xFFFF, portPath(),
                 eventFileName.c_str(), allocCnt, allocCnt == 1 ? "y" : "ies");
    bool escape = false;
    while (status == 0) {
        synchronise();
        if (watch(learn) == endRun) {
            escape = true;
            break;
        }
        status = loadEventFile();
    }
    journalEnd(escape, status);
    // The port keeps the last value written, also after Escape.
    clearEvents();
    closeClockLine();
    return status;
}
