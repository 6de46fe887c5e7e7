// sim.h: a simulated machine for deterministic tests of the run loop.
//
// Linked in place of the Linux platform, it gives the program a virtual clock
// that only sleeping moves forward (a wait for a key ends when the key is
// due), keys that become pending at scripted virtual times, and a port that
// records every byte with the virtual time of its write. Virtual time is
// counted in milliseconds from Monday 2024-01-01 00:00:00.000 UTC, the
// first simulated week; the local clock is UTC unless simZone says
// otherwise.
#ifndef WEEKSWITCH_SIM_H
#define WEEKSWITCH_SIM_H

#include <functional>
#include <string>
#include <vector>

struct simPortWrite {
    long long atMs;  // virtual time of the write
    int value;       // the byte put on the data lines
};

// Forgets every key, action, write and call count; the clock goes back to
// Monday 00:00:00.000 and the safety stop to eight days from there.
void simReset(void);

// The output has this many lines (a relay board of 4); 8 after simReset.
void simOutputLines(int lines);
// The local clock in time zone tz ("Europe/Berlin"), its days beginning at
// local midnight, 23- and 25-hour days and all; nullptr: UTC again, as
// after simReset. May be called while the runner runs (a zone change).
void simZone(const char *tz);

// Virtual time of a day (0 Monday .. 6 Sunday; 7 and up are later weeks) and
// time of day, with optional milliseconds.
long long simTimeMs(int day, int hour, int min, int sec, int ms = 0);
// Moves the clock to atMs (call before running); the safety stop moves along.
void simSetNowMs(long long atMs);
long long simNowMs(void);

// A key press arriving at atMs: one code, or a two-code key (0 or 224 and a
// second code) that arrives whole.
void simKey(long long atMs, int code);
void simKey2(long long atMs, int first, int second);
// Codes scripted but never read.
int simKeysLeft(void);
// readKey calls that found nothing pending and had to wait.
int simBlockingReads(void);

// Runs action once the virtual clock has reached atMs, before any key of the
// same moment is seen (for instance to edit the event file before a key).
void simAt(long long atMs, std::function<void()> action);
// Called at every port write, after it is recorded.
void simOnPortWrite(std::function<void(const simPortWrite &)> observer);

const std::vector<simPortWrite> &simPortWrites(void);
// The next count port writes fail (EIO) and put nothing on the port.
void simFailPortWrites(int count);
int simFailedPortWrites(void);
// What the program told the service manager, one string a call.
const std::vector<std::string> &simNotifications(void);
// The port log as "HH:MM:SS.mmm 0xNN" lines (day left out), for messages.
std::string simPortLogText(void);
int simOpenPortCalls(void);
// The output goes away (a board unplugged: portLost tells it once, writes
// fail) or comes back.
void simOutputAway(bool away);
int simClosePortCalls(void);
int simOpenKeyboardCalls(void);
int simCloseKeyboardCalls(void);
int simSleepCalls(void);
// The longest sleep the runner asked for.
int simLongestSleep(void);

// Safety stop: once the clock passes atMs every key test finds an Escape, so
// a runner that never ends a test is ended instead, and simStopped() says so.
// A runner that ignores even that is aborted a little later.
void simStopAt(long long atMs);
bool simStopped(void);

#endif
