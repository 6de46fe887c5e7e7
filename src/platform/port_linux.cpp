// port_linux.cpp: placeholder until the parallel port is built.
#include "platform.h"
#include <cstdio>
int openPort(int portAddr) { printf("Warning:  Cannot access port:  0x%X\n", portAddr); return -1; }
void writePort(int) {}
void closePort(void) {}
