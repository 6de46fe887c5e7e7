// settings.h: what the command line chose, set once at start-up.
#ifndef WEEKSWITCH_SETTINGS_H
#define WEEKSWITCH_SETTINGS_H

#include <string>

extern std::string eventFileName;  // empty until a file is named
extern int portAddr;               // the port takes the low 16 bits
extern bool checkMode;
extern bool learnMode;
extern bool verbose;

#endif
