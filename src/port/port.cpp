// port.cpp: the output the settings chose, parallel port or relay board;
// each call of port.h goes to that one.
#include "port.h"
#include "parallel.h"
#include "relay.h"
#include "settings.h"

#include <cstdio>

int openPort(bool required)
{
    return relayChosen ? relayOpen(relayBoard, required) : parallelOpen(portAddr, required);
}

const char *portPath(void)
{
    return relayChosen ? relayPath() : parallelPath();
}

const char *portName(void)
{
    static char name[16];
    if (relayChosen)
        return relayName();
    snprintf(name, sizeof name, "0x%X", portAddr & 0xFFFF);
    return name;
}

int portLines(void)
{
    return relayChosen ? relayLines() : 8;
}

int writePort(int value)
{
    return relayChosen ? relayWrite(value) : parallelWrite(value);
}

bool portLost(void)
{
    return relayChosen && relayLost();
}

void closePort(void)
{
    parallelClose();
    relayClose();
}
