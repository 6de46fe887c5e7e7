// ring.cpp: the timetable as a ring of records in key order.
//
// Searches walk the ring. Loading would cost a walk per record, which is
// quadratic for the large timetables users generate, so each day keeps a
// finger on the record last inserted for it: files list a day's entries in
// time order (also when lines name ranges, "mo-fr 07:30" then "mo-fr 08:00"),
// so the next insertion point is at or just after the finger.
#include "schedule.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

rtEvent_t *eventList = nullptr;
int allocCnt = 0;

static rtEvent_t *dayFinger[8];

static void forgetFingersOn(const rtEvent_t *ev)
{
    for (rtEvent_t *&finger : dayFinger) {
        if (finger == ev)
            finger = nullptr;
    }
}

// The last record whose key is smaller than key, given key is greater than
// the head's: that is where a new record goes and what is in force at key.
static rtEvent_t *lastBelow(int32_t key, rtEvent_t *start)
{
    rtEvent_t *tail = eventList->prev;
    if (tail->dayTime < key)
        return tail;
    rtEvent_t *at = start;
    if (at == nullptr || at->dayTime >= key)
        at = eventList;
    while (at->next != eventList && at->next->dayTime < key)
        at = at->next;
    return at;
}

int insertEvent(rtEvent_t *ev)
{
    if (allocCnt <= 0) {
        printf("ERROR:  nothing allocated!\n");
        return -1;
    }
    if (eventList == nullptr) {
        ev->next = ev->prev = ev;
        eventList = ev;
        dayFinger[ev->day & 7] = ev;
        return 0;
    }
    rtEvent_t *after;
    if (ev->dayTime <= eventList->dayTime)
        after = eventList->prev;
    else
        after = lastBelow(ev->dayTime, dayFinger[ev->day & 7]);
    if (after->next->dayTime == ev->dayTime) {
        printf("ERROR:  two entries have the same day/time value!\n");
        return -1;
    }
    ev->prev = after;
    ev->next = after->next;
    after->next->prev = ev;
    after->next = ev;
    if (ev->next == eventList && ev->dayTime < eventList->dayTime)
        eventList = ev;
    dayFinger[ev->day & 7] = ev;
    return 0;
}

int addEvent(int day, const char *timeText, int32_t value)
{
    rtEvent_t *ev = new (std::nothrow) rtEvent_t();
    if (ev == nullptr) {
        fprintf(stderr, "ERROR:  rtEvent_t malloc failed: %s\n", strerror(ENOMEM));
        return -1;
    }
    allocCnt++;
    if (parseEvent(ev, dayNames[day & 7], timeText, value) != 0 || insertEvent(ev) != 0) {
        allocCnt--;
        delete ev;
        return -1;
    }
    return 0;
}

int removeEvent(rtEvent_t *ev)
{
    if (allocCnt <= 0) {
        printf("ERROR:  nothing allocated!\n");
        return -1;
    }
    if (ev == eventList)
        eventList = ev->next;
    ev->prev->next = ev->next;
    ev->next->prev = ev->prev;
    forgetFingersOn(ev);
    allocCnt--;
    if (eventList == ev)
        eventList = nullptr;
    delete ev;
    return 0;
}

void clearEvents(void)
{
    while (eventList != nullptr) {
        if (removeEvent(eventList) != 0)
            break;
    }
}

rtEvent_t *findCurrentEvent(int32_t key)
{
    if (eventList == nullptr)
        return nullptr;
    if (key <= eventList->dayTime)
        return eventList->prev;
    return lastBelow(key, nullptr);
}

int listEvents(void)
{
    if (eventList == nullptr)
        return 0;
    const rtEvent_t *ev = eventList;
    do {
        printEvent(ev, "\n");
        ev = ev->next;
    } while (ev != eventList);
    return 0;
}
