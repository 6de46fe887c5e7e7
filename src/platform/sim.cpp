// sim.cpp: placeholder until the simulated machine is built.
#include "platform.h"
#include <cstring>
int openPort(int) { return 0; }
void writePort(int) {}
void closePort(void) {}
int openKeyboard(void) { return 0; }
void closeKeyboard(void) {}
int keyPending(void) { return 0; }
int readKey(void) { return 27; }
void sleepMs(int) {}
int localTime(struct tm *out) { memset(out, 0, sizeof *out); out->tm_wday = 1; return 0; }
