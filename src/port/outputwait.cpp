// outputwait.cpp: one pause of the wait for an output, see outputwait.h.
#include "outputwait.h"
#include "platform.h"

void pauseForOutput(void)
{
    notifyServiceManager("WATCHDOG=1");
    sleepMs(portRetryMs);
}
