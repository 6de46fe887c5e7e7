// port.h: the output the timetable drives, the one thing the program is
// for: the data lines of a PC parallel port, or the relays of a USB relay
// board. Which one is chosen when the program runs, by the settings
// (-port:ADDR, -relay...); the byte is the same either way, one bit a line
// or a relay.
//
// Behind these functions: port.cpp, which hands each call to the parallel
// port (parallel.cpp) or the relay board (relay.cpp); the recorder of the
// weekswitch-sim test build (recorder.cpp), which logs the bytes; and the
// simulated machine of the unit tests (src/sim).
#ifndef WEEKSWITCH_PORT_H
#define WEEKSWITCH_PORT_H

// Takes hold of the output the settings chose. On failure it prints why and
// the one thing that would give access, and returns -1; writePort then does
// nothing. Interactively that is a warning and the program runs on without
// output; when the output is required (the service) it is an error, and an
// output the kernel is still bringing up (modules loading, udev at boot) is
// waited for a few seconds first.
int openPort(bool required);
// What the output is reached through ("/dev/parport0", "/dev/hidraw1"),
// for the record.
const char *portPath(void);
// What it is, for messages: "0x378", "relay board QWE12".
const char *portName(void);
// How many of the byte's lines the output has: 8 for the parallel port,
// the relays of a board (a board of 4 is never written beyond relay 4).
int portLines(void);
// Puts value's low byte on the output (a relay board: bit n drives relay
// n+1, read back after the write): 0, or -1 with errno set when an opened
// output refused it, or has gone. An output that was never opened takes
// every write as done: there is nothing to try again.
int writePort(int value);
// Asked once a pass: true once when the output went away since (a board
// unplugged), after saying so. Writes then fail until it is back: the next
// write that finds it again puts value on it and says so.
bool portLost(void);
// Lets go of the output without touching what it holds.
void closePort(void);

#endif
