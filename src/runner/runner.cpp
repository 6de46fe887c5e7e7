// runner.cpp: run mode and learn mode.
//
// One loop: load the timetable, put the port into the state of the entry in
// force, then pass after pass take the waiting keys, sample the clock and
// switch the port when another entry comes into force. Escape or a failed
// load ends it; a function key, or in learn mode any other key, re-reads the
// file. Output goes through printf so that the texts stay exactly as shown.
// The entry in force and the next one come from the timeline (calendar.h),
// which is asked only when the clock leaves the stretch between them (a
// change is due, the clock was set, the zone changed), so a pass costs the
// same for any timetable, dated days or not.
//
// Passes fall on the thirds of each second of the clock: entries come into
// force as a second begins, so the pass at the start of each second switches
// the port within a few milliseconds of it and shows the new second at once. A
// key ends the sleep when it arrives and is answered straight away.
//
// Under the service nobody may be there to put right what a key or a typo
// did: each thing done to the port goes into the journal (late and failed
// switchings saying so), systemd hears that the port holds the entry in
// force and that the loop goes round, a re-read the loader refuses leaves
// the timetable in force running, and Escape ends only when pressed twice.
#include "runner.h"
#include "calendar.h"
#include "durable.h"
#include "eventfile.h"
#include "journal.h"
#include "platform.h"
#include "port.h"
#include "schedule.h"
#include "settings.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const int escapeKey = 27;
// First code of a two-code key such as F1..F10: asks for a re-read.
const int twoCodeKey = 0;
// First code of the other two-code keys (arrows, F11, F12).
const int extendedKey = 224;
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
// A key held down repeats after a delay of 250 ms (a Linux console) to
// 660 ms (X), then every 33 to 100 ms. The same key again within
// repeatGapMs of the one before is a repeat; after a pause up to
// heldKeyGapMs it may be the first repeat or a second tap, told apart by
// whether a repeat follows within repeatGapMs; later it is a press.
const long long repeatGapMs = 150, heldKeyGapMs = 750;
// Under the service a first Escape asks; a second one within this ends.
const long long escapeConfirmMs = 5000;
// A change applied later than this after its entry came into force is
// recorded as late: a pass falls on each second's start.
const long long lateAfterMs = 1000;
// systemd's watchdog hears from the loop this often.
const long long aliveEveryMs = 1000;

// What the keys taken at the start of a pass ask the loop to do.
enum keyOutcome { keepWatching, reloadFile, endRun };

// One entry as it was accepted, to be put back when a re-read is refused.
struct savedEntry {
    int day, hour, min, sec, state, mask, bits, unset;
};

// Everything the loop knows between two passes; each step takes it.
struct runState_t {
    bool learn;
    // Under the service: a refused re-read keeps the timetable in force,
    // Escape asks first.
    bool service;
    // The entry in force since the last change and the next one to come
    // (hasCurrent false: the timeline has none).
    bool hasCurrent;
    timedEntry_t current, next;
    // The output's byte the timeline gives now: each line as the last entry
    // that drives it left it.
    int value;
    // The state last meant for the port, and the one it holds (the last
    // written that went through; -1: none yet).
    int outputState, portHolds;
    // The last write of outputState failed: it is tried again each pass.
    bool portPending;
    // The console said a write failed, once for a run of failures.
    bool portFailureShown;
    // The record that goes with a write that succeeds late ("in-force",
    // "switched").
    const char *pendingKind;
    // systemd heard READY=1, and the last status line it heard.
    bool readySent;
    std::string statusShown;
    long long aliveAtMs;
    // The clock line is the last thing printed and ends in "\r"; as it stands.
    // A message printed meanwhile (report) closes it.
    bool clockLineOpen;
    char shownClockLine[eventTextSize + 48];
    // Learn mode writes at most one line a second: the key of the last
    // learned line, and of the last key refused for it (said once a second).
    int32_t lastLearned, lastRefused;
    // The last key seen, and when it arrived: a held key is one press.
    int lastKey;
    long long lastKeyMs;
    // The same key again after a pause as long as a held key's first
    // repeat: a press of its own unless a repeat follows it.
    bool pending;
    int pendingFirst;
    long long pendingMs;
    // A held Escape was said while the question stood.
    bool heldEscapeShown;
    // A first Escape under the service waits until then for a second (0: none).
    long long escapeAskedUntilMs;
    // The timetable in force, as accepted at the last good load.
    std::vector<savedEntry> accepted;
    std::map<int32_t, datedDay_t> acceptedDays;
    long long acceptedDatedLines;
    std::string acceptedNames[8];
    bool acceptedSections;
};

// Whatever comes next starts a line of its own.
void lineClosed(runState_t *run)
{
    run->clockLineOpen = false;
    reportStatusLine(false);
}

// An entry is shown when it gives some line a state.
bool hasState(const timedEntry_t &e)
{
    return (e.mask & ~e.unset) != 0;
}

// The next change is named with its date unless it is the ring's next
// entry after a weekly one, as without dated days it always is.
bool nextIsUsual(const runState_t *run)
{
    const timedEntry_t &now = run->current, &next = run->next;
    return now.why == whyWeekly && next.why == whyWeekly && next.weekly == now.weekly->next &&
           next.date - now.date <= 7;
}

// Each of the two is one print, so a terminal gets it in one write: the
// clock line goes out three times a second.
void printEventLines(runState_t *run)
{
    lineClosed(run);
    char inForce[timedTextSize], next[timedTextSize];
    formatTimed(inForce, sizeof inForce, run->current);
    formatTimed(next, sizeof next, run->next, !nextIsUsual(run));
    if (!sectionsUsed) {
        printf("EVENT:  %s\n next:  %s\n", inForce, next);
        return;
    }
    // Lines switched on their own: the byte each change leaves on the port.
    int after = (run->value & ~run->next.mask) | run->next.bits;
    printf("EVENT:  %s, port 0x%02X\n next:  %s, port 0x%02X\n", inForce, run->value & 0xFF, next, after & 0xFF);
}

// "lights On, pump Off": each named line as the port holds it, for the
// status line of a timetable with sections.
std::string namedLines(int value)
{
    std::string text;
    for (int line = 0; line < 8; line++) {
        bool first = !lineNames[line].empty();
        for (int before = 0; before < line && first; before++)
            first = lineNames[before] != lineNames[line];
        if (first)
            text += (text.empty() ? "" : ", ") + lineNames[line] + ((value >> line & 1) ? " On" : " Off");
    }
    return text;
}

// The numbers and names of the lines an entry drives, for the record.
void addLineFields(journalFields_t *fields, const timedEntry_t *ev)
{
    if (!sectionsUsed || ev == nullptr)
        return;
    std::string numbers, names;
    std::vector<std::string> named;
    for (int line = 0; line < 8; line++)
        if (ev->mask >> line & 1) {
            numbers += (numbers.empty() ? "" : ",") + std::to_string(line + 1);
            if (!lineNames[line].empty() && std::find(named.begin(), named.end(), lineNames[line]) == named.end()) {
                named.push_back(lineNames[line]);
                names += (names.empty() ? "" : ",") + lineNames[line];
            }
        }
    fields->push_back({"WEEKSWITCH_LINES", numbers});
    if (!names.empty())
        fields->push_back({"WEEKSWITCH_LINE_NAMES", names});
}

// The clock line is written when it changes, once a second: the passes in
// between would only write the same bytes again. A terminal that takes no
// output gets no clock lines to catch up on: only the switchings wait for
// it, and once it takes output again it is shown the entry in force afresh
// if any of them had to be dropped.
void printClockLine(runState_t *run)
{
    if (displayLost() && run->hasCurrent && hasState(run->current))
        printEventLines(run);
    if (!reportStatusLineOpen())
        lineClosed(run);
    // What the port holds: while a write is failing, not what was meant.
    char now[eventTextSize], line[sizeof run->shownClockLine];
    formatEvent(now, sizeof now, &nowEvent);
    int shown = run->portHolds >= 0 ? run->portHolds : run->outputState;
    snprintf(line, sizeof line, "%s  %s%s\r", shown != 0 ? "*On*: " : "*Off*:", now,
             !run->portPending ? "" : run->outputState != 0 ? "  (On pending: port write failing)"
                                                            : "  (Off pending: port write failing)");
    if ((run->clockLineOpen && strcmp(line, run->shownClockLine) == 0) || displayBacklog() > 0)
        return;
    printf("%s", line);
    snprintf(run->shownClockLine, sizeof run->shownClockLine, "%s", line);
    run->clockLineOpen = true;
    reportStatusLine(true);
}

// A line of our own below the clock line, which stays to be read.
void leaveClockLine(runState_t *run)
{
    if (run->clockLineOpen && reportStatusLineOpen())
        printf("\n");
    lineClosed(run);
}

// On a terminal the shell's prompt would overwrite the last clock line; a
// file or pipe gets the output exactly as before.
void closeClockLine(runState_t *run)
{
    if (run->clockLineOpen && reportStatusLineOpen() && isatty(STDOUT_FILENO))
        printf("\n");
    lineClosed(run);
}

// Lines without a state are off: -1 does not mean on.
int portStateOf(const runState_t *run)
{
    return run->hasCurrent ? run->value : 0;
}

// An entry as the record and the status line name it; one without a state
// says so, where the console shows none.
std::string textOf(const timedEntry_t *e, bool withDate = false)
{
    char text[timedTextSize] = "none";
    if (e != nullptr)
        formatTimed(text, sizeof text, *e, withDate);
    // With sections every line already has its word.
    return std::string(text) + (e != nullptr && !sectionsUsed && e->state == noState ? " no state" : "");
}

const timedEntry_t *currentOf(const runState_t *run)
{
    return run->hasCurrent ? &run->current : nullptr;
}

// The clock sample as a moment of the wall clock, in milliseconds.
long long nowMomentMs(void)
{
    return ((long long)nowDate * 86400 + (nowEvent.hour * 60 + nowEvent.min) * 60 + nowEvent.sec) * 1000 + nowEventMs;
}

// How long ago, by the clock sample, e came into force: one second after
// its time.
long long msSinceInForce(const timedEntry_t *e)
{
    return nowMomentMs() - inForceFrom(*e) * 1000;
}

// "In force: Mon 08:00:00 On, port 0xFF; next: Mon 17:00:00 Off", for
// systemctl status; said again only when it changed.
void tellStatus(runState_t *run)
{
    const timedEntry_t *e = currentOf(run);
    std::string status = "STATUS=";
    if (run->portPending)
        status += "Port write failing: ";
    status += "In force: " + textOf(e);
    char port[32];
    snprintf(port, sizeof port, ", port 0x%02X", run->outputState & 0xFF);
    status += port;
    if (sectionsUsed && !namedLines(run->outputState).empty())
        status += " (" + namedLines(run->outputState) + ")";
    if (e != nullptr)
        status += "; next: " + textOf(&run->next, !nextIsUsual(run));
    if (status == run->statusShown && (run->readySent || run->portPending))
        return;
    run->statusShown = status;
    // The port holds the entry in force: the start is done.
    if (!run->readySent && !run->portPending) {
        status = "READY=1\n" + status;
        run->readySent = true;
    }
    notifyServiceManager(status.c_str());
}

// The record of what reached the port: "In force: ..." after a load,
// "Switched: ..." at a change, late when it came more than a second after
// its entry came into force.
void recordApplied(runState_t *run, const char *kind, const timedEntry_t *ev)
{
    std::string entry = textOf(ev);
    int value = run->outputState & 0xFF;
    char hex[8];
    snprintf(hex, sizeof hex, "0x%02X", value);
    journalFields_t fields = {{"WEEKSWITCH_ENTRY", entry}, {"WEEKSWITCH_PORT_VALUE", hex}};
    addLineFields(&fields, ev);
    if (strcmp(kind, "switched") != 0) {
        journalRecord(JOURNAL_INFO, kind, fields, "In force: %s, port 0x%02X", entry.c_str(), value);
        return;
    }
    long long since = ev != nullptr ? msSinceInForce(ev) : 0;
    fields.push_back({"WEEKSWITCH_DELAY_MS", std::to_string(since)});
    if (since > lateAfterMs)
        journalRecord(JOURNAL_WARNING, kind, fields, "Switched: %s, port 0x%02X, late by %.1f s", entry.c_str(), value,
                      since / 1000.0);
    else
        journalRecord(JOURNAL_INFO, kind, fields, "Switched: %s, port 0x%02X", entry.c_str(), value);
}

// Puts state on the port for ev. A write the port refuses is said on the
// console once for each entry it concerns (a retry is no new entry), and
// recorded as failed, and tried again at every pass until it goes through;
// kind is the record it then makes.
void applyState(runState_t *run, int state, const char *kind, const timedEntry_t *ev, bool retry = false)
{
    run->outputState = state;
    if (writePort(state & 0xFF) == 0) {
        run->portHolds = state & 0xFF;
        run->portPending = false;
        run->portFailureShown = false;
        recordApplied(run, kind, ev);
        return;
    }
    int err = errno;
    run->portPending = true;
    run->pendingKind = kind;
    if (!run->portFailureShown || !retry) {
        leaveClockLine(run);
        report(JOURNAL_ERR, "ERROR:  Cannot write port:  %s\n", portName());
        reportSystemError(JOURNAL_ERR, err);
        run->portFailureShown = true;
    }
    if (retry)
        return;
    std::string entry = textOf(ev);
    char hex[8];
    snprintf(hex, sizeof hex, "0x%02X", state & 0xFF);
    journalFields_t fields = {{"WEEKSWITCH_ENTRY", entry}, {"WEEKSWITCH_PORT_VALUE", hex}, {"ERRNO", std::to_string(err)}};
    journalRecord(JOURNAL_ERR, "write-failed", fields, "Not switched: %s, port 0x%02X: the write failed (%s)",
                  entry.c_str(), state & 0xFF, strerror(err));
}

// The entry in force at the clock sample, and the next one.
bool findInForce(runState_t *run, timedEntry_t *inForce, timedEntry_t *next)
{
    int second = (nowEvent.hour * 60 + nowEvent.min) * 60 + nowEvent.sec;
    if (timelineAt(nowDate, second, inForce, next) != 0)
        return false;
    run->value = portValueAt(nowDate, second);
    return true;
}

// After every load: the port gets the state of the entry in force, announced
// only when that entry has a state.
void synchronise(runState_t *run)
{
    sampleClock();
    run->hasCurrent = findInForce(run, &run->current, &run->next);
    applyState(run, portStateOf(run), "in-force", currentOf(run));
    if (run->hasCurrent && hasState(run->current))
        printEventLines(run);
    tellStatus(run);
}

// One look at the clock: a switch and its announcement when another entry
// has come into force, else the clock line again. A write that failed
// before is tried again first. The timeline is asked only when the clock
// has left the stretch from the entry in force to the next one.
void followClock(runState_t *run)
{
    sampleClock();
    long long now = nowMomentMs() / 1000;
    timedEntry_t inForce = run->current, next = run->next;
    bool has = run->hasCurrent;
    if (!has || now < inForceFrom(inForce) || now >= inForceFrom(next))
        has = findInForce(run, &inForce, &next);
    // An output that went away (a board unplugged) said so itself; from now
    // on it is written again at each pass until it is back.
    if (!run->portPending && portLost()) {
        run->portPending = true;
        run->portFailureShown = true;
        run->pendingKind = "in-force";
        tellStatus(run);
    }
    if (has == run->hasCurrent && (!has || sameEntry(inForce, run->current))) {
        // The same entry, a week on, or the same with another next.
        run->current = inForce;
        run->next = next;
        if (run->portPending) {
            applyState(run, run->outputState, run->pendingKind, currentOf(run), true);
            tellStatus(run);
        }
        printClockLine(run);
        return;
    }
    run->hasCurrent = has;
    run->current = inForce;
    run->next = next;
    applyState(run, portStateOf(run), "switched", currentOf(run));
    if (has)
        printEventLines(run);
    tellStatus(run);
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

// A key as a whole: a two-code key is one key, its second code taken with
// it (the key reader holds both). Its identity is the two codes together.
int readWholeKey(int *first)
{
    *first = readKey();
    if ((*first == twoCodeKey || *first == extendedKey) && keyPending())
        return *first << 8 | readKey();
    return *first;
}

// What a key that arrived at atMs is, by the key before it.
enum keyKind { keyPress, keyRepeat, keyMaybeRepeat };

keyKind kindOf(runState_t *run, int key, long long atMs)
{
    long long gap = atMs - run->lastKeyMs;
    bool same = key == run->lastKey;
    run->lastKey = key;
    run->lastKeyMs = atMs;
    if (!same || gap >= heldKeyGapMs)
        return keyPress;
    return gap < repeatGapMs ? keyRepeat : keyMaybeRepeat;
}

// Keys typed ahead of a reload are not meant for the new timetable; a key
// held down through it stays held.
void drainKeyboard(runState_t *run)
{
    int first;
    run->pending = false;
    for (int dropped = 0; dropped < drainLimit && keyPending(); dropped++) {
        int key = readWholeKey(&first);
        kindOf(run, key, keyArrivedMs());
    }
}

void prepareReread(runState_t *run)
{
    clearEvents();
    drainKeyboard(run);
    lineClosed(run);
    printf("\n\n*** Re-read Event file ***\n\n");
    journalRecord(JOURNAL_INFO, "reread", {{"WEEKSWITCH_CAUSE", "function-key"}}, "Re-read: function key");
}

// A held key, or one that sticks, would append a line at every repeat, and
// every line after the first of a second is refused at the load anyway.
bool learnedThisSecond(runState_t *run)
{
    if (nowEvent.dayTime != run->lastLearned)
        return false;
    if (nowEvent.dayTime != run->lastRefused) {
        printf("Key not learned:  one learned line a second\n");
        lineClosed(run);
    }
    run->lastRefused = nowEvent.dayTime;
    return true;
}

// Records the opposite of the output for the second in which the key came;
// the port follows through the reload, not here. Returns false when the key
// learned nothing.
bool learnKey(runState_t *run, int first)
{
    sampleClock();
    if (learnedThisSecond(run))
        return false;
    // With sections a digit key learns for its line alone, under a section
    // line for it; any other key for every line, as without sections.
    int32_t mask = sectionsUsed && first >= '1' && first <= '8' ? 1 << (first - '1') : 0xFF;
    bool on = mask == 0xFF ? run->outputState == 0 : (run->outputState & mask) == 0;
    std::string section = sectionsUsed && lastSectionMask != mask ? sectionLine(mask) : "";
    rtEvent_t learned = nowEvent;
    learned.state = on ? 1 : 0;
    learned.mask = mask;
    learned.bits = on ? mask : 0;
    learned.unset = 0;
    // A date that is held or runs as another day would not run a weekly
    // line learned today: what is learned there is a one-off of the date.
    auto dated = datedDays.find(nowDate);
    bool oneOff = dated != datedDays.end() && dated->second.kind != dateWeekday;
    if (appendLearnedEvent(&learned, oneOff ? nowDate : -1, section) == 0) {
        timedEntry_t e = {nowDate, (learned.hour * 60 + learned.min) * 60 + learned.sec, learned.state ? 255 : 0,
                          oneOff ? whyOneOff : whyWeekly, 0, &learned, learned.mask, learned.bits, 0};
        std::string text = textOf(&e);
        if (oneOff) {
            char date[16];
            formatDate(date, nowDate);
            printf("Learned for %s only, a dated day:  %s\n", date, text.c_str());
        }
        journalRecord(JOURNAL_INFO, "learned", {{"WEEKSWITCH_ENTRY", text}}, "Learned: %s", text.c_str());
        run->lastLearned = learned.dayTime;
    }
    clearEvents();
    drainKeyboard(run);
    lineClosed(run);
    printf("\n\n");
    journalRecord(JOURNAL_INFO, "reread", {{"WEEKSWITCH_CAUSE", "learned-line"}}, "Re-read: learned line");
    return true;
}

void askForSecondEscape(runState_t *run, long long atMs)
{
    leaveClockLine(run);
    printf("Escape again within %lld s ends the switching; any other key goes on.\n", escapeConfirmMs / 1000);
    journalRecord(JOURNAL_NOTICE, "escape-asked", {},
                  "Escape pressed: a second one within %lld s ends the switching", escapeConfirmMs / 1000);
    run->escapeAskedUntilMs = atMs + escapeConfirmMs;
    run->heldEscapeShown = false;
}

void cancelEscape(runState_t *run, const char *why)
{
    leaveClockLine(run);
    printf("Switching goes on.\n");
    journalRecord(JOURNAL_INFO, "escape-cancelled", {}, "Escape not repeated (%s): switching goes on", why);
    run->escapeAskedUntilMs = 0;
}

// Escape ends the run at once; under the service only a second press does,
// made while the first one's question stands.
keyOutcome takeEscape(runState_t *run, long long atMs)
{
    if (!run->service)
        return endRun;
    if (run->escapeAskedUntilMs != 0 && atMs < run->escapeAskedUntilMs) {
        leaveClockLine(run);
        printf("Escape pressed again: the switching ends.\n");
        return endRun;
    }
    askForSecondEscape(run, atMs);
    return keepWatching;
}

// A held Escape is one press: while the question stands, the console says
// so once, lest its owner wait for an end that does not come.
void takeRepeat(runState_t *run, int first)
{
    if (first != escapeKey || run->escapeAskedUntilMs == 0 || run->heldEscapeShown)
        return;
    leaveClockLine(run);
    printf("Escape is held down, which counts as one press: release it, then press it again to end.\n");
    run->heldEscapeShown = true;
}

// One press; ordinary keys with learn off mean nothing.
keyOutcome takePress(runState_t *run, int first, long long atMs)
{
    if (first == escapeKey)
        return takeEscape(run, atMs);
    if (run->escapeAskedUntilMs != 0) {
        cancelEscape(run, "another key");  // the answer to the question, nothing more
        return keepWatching;
    }
    if (first == twoCodeKey) {
        prepareReread(run);
        return reloadFile;
    }
    if (run->learn && learnKey(run, first))
        return reloadFile;
    return keepWatching;
}

// Every waiting key is taken before the clock is sampled, up to a bound. A
// key held down counts once; the same key after a pause is held back until
// it is clear whether a repeat follows it (pendingDue).
keyOutcome takeKeys(runState_t *run)
{
    for (int taken = 0; taken < keysPerPass && keyPending(); taken++) {
        int first;
        int key = readWholeKey(&first);
        long long atMs = keyArrivedMs();
        keyKind kind = kindOf(run, key, atMs);
        if (run->pending) {
            run->pending = false;
            if (kind == keyRepeat) {
                takeRepeat(run, first);
                continue;
            }
            keyOutcome outcome = takePress(run, run->pendingFirst, run->pendingMs);
            if (outcome != keepWatching)
                return outcome;
        }
        if (kind == keyRepeat) {
            takeRepeat(run, first);
            continue;
        }
        if (kind == keyMaybeRepeat) {
            run->pending = true;
            run->pendingFirst = first;
            run->pendingMs = atMs;
            continue;
        }
        keyOutcome outcome = takePress(run, first, atMs);
        if (outcome != keepWatching)
            return outcome;
    }
    return keepWatching;
}

// A key held back with no repeat after it: a press of its own.
long long pendingDue(const runState_t *run)
{
    return run->pendingMs + repeatGapMs;
}

void stayAlive(runState_t *run)
{
    long long now = monotonicMs();
    if (now - run->aliveAtMs < aliveEveryMs)
        return;
    notifyServiceManager("WATCHDOG=1");
    durableAlive();
    run->aliveAtMs = now;
}

// The steady state: three passes a second, keys as they come, until
// a key ends it.
keyOutcome watch(runState_t *run)
{
    long long passDue = monotonicMs();
    for (;;) {
        keyOutcome outcome = takeKeys(run);
        if (outcome == keepWatching && run->pending && monotonicMs() >= pendingDue(run)) {
            run->pending = false;
            outcome = takePress(run, run->pendingFirst, run->pendingMs);
        }
        if (outcome != keepWatching)
            return outcome;
        if (run->escapeAskedUntilMs != 0 && !run->pending && monotonicMs() >= run->escapeAskedUntilMs)
            cancelEscape(run, "time ran out");
        // Keys never push a pass back: however many keep coming, the pass
        // is made when it is due.
        if (monotonicMs() >= passDue) {
            followClock(run);
            stayAlive(run);
            journalFlush();
            passDue = monotonicMs() + msToNextPass();
        }
        long long wakeAt = passDue;
        if (run->escapeAskedUntilMs != 0 && run->escapeAskedUntilMs < wakeAt)
            wakeAt = run->escapeAskedUntilMs;
        if (run->pending && pendingDue(run) < wakeAt)
            wakeAt = pendingDue(run);
        long long left = wakeAt - monotonicMs();
        waitForKey((int)(left < passMs ? left : passMs));
    }
}

// The timetable as accepted, so that a refused re-read can put it back.
void rememberTimetable(runState_t *run)
{
    run->acceptedDays = datedDays;
    run->acceptedDatedLines = datedLineCnt;
    for (int line = 0; line < 8; line++)
        run->acceptedNames[line] = lineNames[line];
    run->acceptedSections = sectionsUsed;
    run->accepted.clear();
    const rtEvent_t *ev = eventList;
    if (ev == nullptr)
        return;
    do {
        run->accepted.push_back({ev->day, ev->hour, ev->min, ev->sec, ev->state, ev->mask, ev->bits, ev->unset});
        ev = ev->next;
    } while (ev != eventList);
}

int32_t keyOfEntry(const savedEntry &entry)
{
    return entry.day << 24 | toBcd(entry.hour) << 16 | toBcd(entry.min) << 8 | toBcd(entry.sec);
}

// Under the service a typo in an edit must not end the switching: the
// messages stand on the console and in the journal, and the timetable that
// was in force goes on, until a re-read is accepted.
void keepTimetable(runState_t *run)
{
    report(JOURNAL_ERR, "ERROR:  Re-read refused, the timetable in force stays:  '%s'\n", eventFileName.c_str());
    clearEvents();
    for (const savedEntry &entry : run->accepted) {
        char timeText[16];
        snprintf(timeText, sizeof timeText, "%02d:%02d:%02d", entry.hour, entry.min, entry.sec);
        if (addEvent(entry.day, timeText, entry.state, entry.mask) == 0) {
            rtEvent_t *ev = recordAt(keyOfEntry(entry));
            ev->bits = entry.bits;
            ev->unset = entry.unset;
        }
    }
    datedDays = run->acceptedDays;
    datedLineCnt = run->acceptedDatedLines;
    for (int line = 0; line < 8; line++)
        lineNames[line] = run->acceptedNames[line];
    sectionsUsed = run->acceptedSections;
}

// A board with fewer relays than the sections name: said once at the
// start; its missing relays are never written (the board takes its own).
void warnMissingLines(void)
{
    int lines = portLines();
    int32_t missing = sectionLines & ~((1 << lines) - 1) & 0xFF;
    if (missing == 0)
        return;
    std::string named;
    for (int line = 0; line < 8; line++)
        if (missing >> line & 1)
            named += (named.empty() ? "" : ", ") + std::to_string(line + 1) +
                     (lineNames[line].empty() ? "" : " " + lineNames[line]);
    report(JOURNAL_WARNING, "Warning:  The %s has %d relay%s; lines never switched:  '%s'\n", portName(), lines,
           lines == 1 ? "" : "s", quotedText(named).c_str());
}

void recordStart(int entries)
{
    journalFields_t fields = {{"WEEKSWITCH_PORT", portName()},
                              {"WEEKSWITCH_PORT_PATH", portPath()},
                              {"WEEKSWITCH_TIMETABLE", eventFileName},
                              {"WEEKSWITCH_ENTRIES", std::to_string(entries)}};
    // The run before ended without a record (killed, crashed, a power cut):
    // when it was last known alive, from the record on disk.
    for (const auto &f : durableRunBefore)
        fields.push_back({f.first.c_str(), f.second});
    // "port 0x378", "relay board QWE12": what was switched.
    journalRecord(JOURNAL_INFO, "started", fields, "Started: %s%s (%s), timetable '%s', %d entr%s",
                  relayChosen ? "" : "port ", portName(), portPath(), eventFileName.c_str(), entries,
                  entries == 1 ? "y" : "ies");
}

void recordEnd(bool escape, int status)
{
    std::string state = "STOPPING=1\nSTATUS=Ended: ";
    if (escape) {
        journalEnd(JOURNAL_NOTICE, {{"WEEKSWITCH_CAUSE", "escape"}}, "Ended: Escape key");
        state += "Escape key";
    } else if (status < 0) {
        journalEnd(JOURNAL_ERR, {{"WEEKSWITCH_CAUSE", "unreadable"}}, "Ended: the timetable could not be read");
        state += "the timetable could not be read";
    } else {
        journalEnd(JOURNAL_ERR, {{"WEEKSWITCH_CAUSE", "refused"}}, "Ended: the timetable was refused (%d line%s)",
                   status, status == 1 ? "" : "s");
        state += "the timetable was refused";
    }
    notifyServiceManager(state.c_str());
}

}  // namespace

int runSchedule(bool learn)
{
    runState_t run = {};
    run.learn = learn;
    run.service = journalOn;
    run.lastLearned = run.lastRefused = -1;
    run.lastKey = -1;
    run.portHolds = -1;
    run.aliveAtMs = monotonicMs();
    int status = loadEventFile();
    recordStart(allocCnt);
    if (status == 0)
        warnMissingLines();
    bool escape = false;
    while (status == 0) {
        rememberTimetable(&run);
        synchronise(&run);
        if (watch(&run) == endRun) {
            escape = true;
            break;
        }
        status = loadEventFile();
        if (status != 0 && run.service) {
            keepTimetable(&run);
            status = 0;
        }
    }
    recordEnd(escape, status);
    // The port keeps the last value written, also after Escape.
    clearEvents();
    closeClockLine(&run);
    return status;
}
