// runner.cpp: run mode and learn mode.
#include "runner.h"
#include <cstdio>

int runSchedule(bool)
{
    // Run mode comes with the schedule runner; until then say so plainly.
    printf("ERROR:  Run mode is not built yet; use -check.\n");
    return -1;
}
