// platform.h: everything the program needs from the machine, and nothing more.
//
// Three implementations stand behind these functions and are chosen at link
// time: the Linux one (real port, /dev/tty keyboard, real clock), the
// recorder used by the weekswitch-sim test build (real keyboard and clock,
// port bytes appended to a log file), and the simulated one of the unit tests
// (virtual clock advanced by sleepMs, scripted keys, recorded port bytes).
#ifndef WEEKSWITCH_PLATFORM_H
#define WEEKSWITCH_PLATFORM_H

#include <ctime>

// --- parallel port ---------------------------------------------------------
// Makes the port at portAddr (low 16 bits) writable. On failure it prints the
// warning and what would give access, and returns -1; writePort then does
// nothing, so the program runs on without port output.
int openPort(int portAddr);
// Puts value's low byte on the data lines. No result: the port has no way
// to report a failed write.
void writePort(int value);
// Lets go of the port without touching the value on its data lines.
void closePort(void);

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

// --- time ------------------------------------------------------------------
// Sleeps the whole time, even when a signal interrupts it.
void sleepMs(int ms);
// The current local wall-clock time, with the time zone looked up afresh.
int localTime(struct tm *out);

#endif
