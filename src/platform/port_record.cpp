// port_record.cpp: placeholder until the recording port is built.
#include "platform.h"
int openPort(int) { return 0; }
void writePort(int) {}
void closePort(void) {}
