// runner.cpp: run mode and learn mode.
//
// One loop: load the timetable, put the port into the state of the entry in
// force, then pass after pass take the waiting keys, sample the clock and
// switch the port when another entry comes into force. Escape or a failed
// load ends it; a function key, or in learn mode any other key, re-reads the
// file. Output goes through printf so that the texts stay exactly as shown.
// The record in force is found again each pass without walking the ring
// (findCurrentEvent follows it), so a pass costs the same for any timetable.
#include "runner.h"
#include "eventfile.h"
#include "platform.h"
#include "schedule.h"

#include <cstdio>
#include <unistd.h>

namespace {

const int escapeKey = 27;
// First code of a two-code key such as F1..F10: asks for a re-read.
const int twoCodeKey = 0;
const int passSleepMs = 300;
const int noState = -1;

// What the keys taken at the start of a pass ask the loop to do.
enum keyOutcome { keepWatching, reloadFile, endRun };

// The record in force since the last change, or none.
rtEvent_t *currentEvent;
// The state last written to the port.
int outputState;
// The clock line is the last thing printed and ends in "\r".
bool clockLineOpen;

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

void printClockLine(void)
{
    char now[eventTextSize];
    formatEvent(now, sizeof now, &nowEvent);
    printf("%s  %s\r", outputState != 0 ? "*On*: " : "*Off*:", now);
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

// After every load: the port gets the state of the entry in force, announced
// only when that entry has a state.
void synchronise(void)
{
    sampleClock();
    currentEvent = findCurrentEvent(nowEvent.dayTime);
    setPort(portStateOf(currentEvent));
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
    if (inForce != nullptr)
        printEventLines(inForce);
    currentEvent = inForce;
}

// Keys typed ahead of a reload are not meant for the new timetable.
void drainKeyboard(void)
{
    while (keyPending())
        readKey();
}

void prepareReread(void)
{
    readKey();  // which function key it was does not matter
    clearEvents();
    drainKeyboard();
    clockLineOpen = false;
    printf("\n\n*** Re-read Event file ***\n\n");
}

// Records the opposite of the output at the second of the latest sample; the
// port follows through the reload, not here.
void learnKey(void)
{
    nowEvent.state = outputState == 0 ? 1 : 0;
    appendLearnedEvent(&nowEvent);
    nowEvent.state = noState;
    clearEvents();
    drainKeyboard();
    clockLineOpen = false;
    printf("\n\n");
}

// Every waiting key is taken before the clock is sampled; ordinary keys with
// learn off mean nothing.
keyOutcome takeKeys(bool learn)
{
    while (keyPending()) {
        int key = readKey();
        if (key == escapeKey)
            return endRun;
        if (key == twoCodeKey) {
            prepareReread();
            return reloadFile;
        }
        if (learn) {
            learnKey();
            return reloadFile;
        }
    }
    return keepWatching;
}

// The steady state: one pass about every 300 ms until a key ends it.
keyOutcome watch(bool learn)
{
    for (;;) {
        keyOutcome outcome = takeKeys(learn);
        if (outcome != keepWatching)
            return outcome;
        followClock();
        sleepMs(passSleepMs);
    }
}

}  // namespace

int runSchedule(bool learn)
{
    clockLineOpen = false;
    int status = loadEventFile();
    while (status == 0) {
        synchronise();
        if (watch(learn) == endRun)
            break;
        status = loadEventFile();
    }
    // The port keeps the last value written, also after Escape.
    clearEvents();
    closeClockLine();
    return status;
}
