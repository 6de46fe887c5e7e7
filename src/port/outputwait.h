// outputwait.h: the wait for an output still being brought up, shared by the
// parallel port and the relay board, below both of them and port.cpp.
//
// Under the service an output the kernel is still bringing up (modules
// loading, udev at boot, a board just plugged in) is looked for again every
// portRetryMs, for portWaitMs in all; each pause tells systemd's watchdog
// that the start goes on.
#ifndef WEEKSWITCH_OUTPUTWAIT_H
#define WEEKSWITCH_OUTPUTWAIT_H

const int portWaitMs = 10000, portRetryMs = 250;
void pauseForOutput(void);

#endif
