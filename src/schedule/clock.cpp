// clock.cpp: the clock sample, a record like any timetable entry.
#include "schedule.h"

#include "platform.h"

#include <cstdio>
#include <ctime>

rtEvent_t nowEvent = {nullptr, nullptr, 0, 0, 0, 0, 0, -1, 0, 0, 0};
int nowEventMs;
int32_t nowDate;

int sampleClock(void)
{
    struct tm local = {};
    localTime(&local, &nowEventMs);
    // tm_wday counts from Sunday; the timetable's week starts on Monday.
    int day = (local.tm_wday + 6) % 7;
    // A leap second (tm_sec 60) counts as the last second of its minute.
    int sec = local.tm_sec > 59 ? 59 : local.tm_sec;
    nowDate = dateNumber(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    char timeText[40];
    snprintf(timeText, sizeof timeText, "%02d:%02d:%02d", local.tm_hour, local.tm_min, sec);
    int rc = parseEvent(&nowEvent, dayNames[day], timeText, -1);
    nowEvent.mask = nowEvent.bits = nowEvent.unset = 0;  // a moment, driving nothing
    return rc;
}
