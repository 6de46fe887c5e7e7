// platform.h: everything the program needs from the machine besides its
// output (port.h), and nothing more: keyboard, display, service manager,
// time.
//
// Two implementations stand behind these functions and are chosen at link
// time: the Linux one (/dev/tty keyboard, real clock), and the simulated
// machine of the unit tests (src/sim: virtual clock advanced by sleepMs,
// scripted keys), which stands in for the output too.
#ifndef WEEKSWITCH_PLATFORM_H
#define WEEKSWITCH_PLATFORM_H

#include <ctime>

// --- console keyboard -------------------------------------------------------
// Takes the controlling terminal into key-at-a-time mode, without echo. No
// controlling terminal is no error: then no key is ever pending.
int openKeyboard(void);
// Puts the terminal back exactly as openKeyboard found it.
void closeKeyboard(void);
// Non-blocking, consumes nothing: is there a key that readKey would return?
int keyPending(void);
// One key code; keys without a character come as 0 or 224, then a second code.
int readKey(void);
// When the key that readKey returned last arrived, on monotonicMs's clock:
// keys are told apart by when they were typed, not when the loop took them.
long long keyArrivedMs(void);
// Under the service: keys on the console never send signals (Ctrl+C is a
// key like any other); call before openKeyboard.
void keysNeverSignal(bool never);

// --- console output ---------------------------------------------------------
// Run and learn mode: output to a terminal, pipe or socket never waits for
// its reader. What the reader does not take at once waits in a bounded
// backlog and goes out as it makes room; a regular file is left as it is.
void openDisplay(void);
// Writes out what it can; the bytes still waiting (0: caught up).
int displayBacklog(void);
// Whether waiting output had to be dropped since the last call.
int displayLost(void);
// Gives the reader a moment for the rest, then puts standard output back.
void closeDisplay(void);

// --- service manager -----------------------------------------------------------
// Tells systemd how the service stands, when it runs the program with a
// notification socket: "READY=1", "WATCHDOG=1", "STATUS=..." lines; nothing
// otherwise, and never an error worth stopping for.
void notifyServiceManager(const char *state);

// --- time ------------------------------------------------------------------
// Sleeps the whole time, even when a signal interrupts it.
void sleepMs(int ms);
// Sleeps up to ms, ending early when the keyboard has something to read.
void waitForKey(int ms);
// Milliseconds of a clock that only goes forward, for deadlines.
long long monotonicMs(void);
// The current local wall-clock time, with the time zone looked up afresh;
// *ms, when asked for, gets the milliseconds into its second.
int localTime(struct tm *out, int *ms = nullptr);

#endif
