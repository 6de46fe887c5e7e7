// settings.h: what the command line chose, set once at start-up by main and
// read by the rooms below it (the event file, the runner, the output).
#ifndef WEEKSWITCH_SETTINGS_H
#define WEEKSWITCH_SETTINGS_H

#include <string>

extern std::string eventFileName;  // empty until a file is named
extern int portAddr;               // the port takes the low 16 bits
// -relay or -relay:BOARD: the output is a USB relay board, not the parallel
// port. BOARD: "" (the one board plugged in), its 5-character ID, the USB
// port it sits in ("usb-0000:00:14.0-2"), or its node ("/dev/hidraw1").
extern bool relayChosen;
extern std::string relayBoard;
extern bool checkMode;
extern bool learnMode;
extern bool verbose;

#endif
