// keyboard_linux.cpp: placeholder until the console keyboard is built.
#include "platform.h"
int openKeyboard(void) { return 0; }
void closeKeyboard(void) {}
int keyPending(void) { return 0; }
int readKey(void) { return 27; }
