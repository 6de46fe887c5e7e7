// ring.cpp: the timetable as a ring of records in key order.
//
// The ring is the timetable. Beside it an index with one slot for every
// second of the week points at the record whose key names that second, and
// a bitmap marks the slots in use. The records next to a key are then a few
// word operations away whatever the size of the timetable and the order in
// which the file lists it: loading costs the same per record in any line
// order, and finding the record in force costs the same in any timetable.
// A key that names no second of the week (only a hand-made record can carry
// one) has no slot: while such a record is in the ring, searches walk it.
#include "schedule.h"
#include "journal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

rtEvent_t *eventList = nullptr;
int allocCnt = 0;

namespace {

const int weekSlots = 7 * 24 * 60 * 60;
const int slotWords = (weekSlots + 63) / 64;
const int summaryWords = (slotWords + 63) / 64;
// Records a walk of the ring asks the memory for ahead of the one it is at.
const int fetchDistance = 8;

rtEvent_t *slotRecord[weekSlots];
uint64_t slotUsed[slotWords];     // bit s: slotRecord[s] is set
uint64_t wordUsed[summaryWords];  // bit w: slotUsed[w] is not 0
int unindexedCnt;                 // records of the ring without a slot

// The record findCurrentEvent found last: as the clock goes on, it is still
// in force, or its next record is.
rtEvent_t *lastFound;

int bcdValue(int byte)
{
    int tens = byte >> 4, units = byte & 0xF;
    return tens > 9 || units > 9 ? 99 : tens * 10 + units;
}

// The second of the week a key names, or -1.
int slotOf(int32_t key)
{
    int hour = bcdValue((key >> 16) & 0xFF), min = bcdValue((key >> 8) & 0xFF), sec = bcdValue(key & 0xFF);
    if (key < 0 || (key >> 24) > 6 || hour > 23 || min > 59 || sec > 59)
        return -1;
    return (((key >> 24) * 24 + hour) * 60 + min) * 60 + sec;
}

int highestBit(uint64_t bits)
{
    return 63 - __builtin_clzll(bits);
}

int lowestBit(uint64_t bits)
{
    return __builtin_ctzll(bits);
}

// The bits of a word above bit n.
uint64_t bitsAbove(uint64_t bits, int n)
{
    return n == 63 ? 0 : bits & (~0ULL << (n + 1));
}

// The greatest slot in use below slot, or -1.
int usedBelow(int slot)
{
    int word = slot >> 6;
    uint64_t below = slotUsed[word] & ((1ULL << (slot & 63)) - 1);
    if (below != 0)
        return word << 6 | highestBit(below);
    int summary = word >> 6;
    uint64_t words = wordUsed[summary] & ((1ULL << (word & 63)) - 1);
    while (words == 0) {
        if (--summary < 0)
            return -1;
        words = wordUsed[summary];
    }
    word = summary << 6 | highestBit(words);
    return word << 6 | highestBit(slotUsed[word]);
}

// The smallest slot in use above slot (which may be -1), or weekSlots.
int usedAbove(int slot)
{
    if (slot < 0 && (slotUsed[0] & 1) != 0)
        return 0;
    slot = slot < 0 ? 0 : slot;
    int word = slot >> 6;
    uint64_t above = bitsAbove(slotUsed[word], slot & 63);
    if (above != 0)
        return word << 6 | lowestBit(above);
    int summary = word >> 6;
    uint64_t words = bitsAbove(wordUsed[summary], word & 63);
    while (words == 0) {
        if (++summary == summaryWords)
            return weekSlots;
        words = wordUsed[summary];
    }
    word = summary << 6 | lowestBit(words);
    return word << 6 | lowestBit(slotUsed[word]);
}

void setSlot(int slot, rtEvent_t *ev)
{
    slotRecord[slot] = ev;
    slotUsed[slot >> 6] |= 1ULL << (slot & 63);
    wordUsed[slot >> 12] |= 1ULL << ((slot >> 6) & 63);
}

void clearSlot(int slot)
{
    slotRecord[slot] = nullptr;
    slotUsed[slot >> 6] &= ~(1ULL << (slot & 63));
    if (slotUsed[slot >> 6] == 0)
        wordUsed[slot >> 12] &= ~(1ULL << ((slot >> 6) & 63));
}

// A walk from the head meets the records in slot order. Asking for those a
// few slots ahead lets the cache misses of a timetable loaded in random
// order overlap. (The slot asked for last is kept here rather than passed
// around: the compiler drops prefetches whose loop leaves no other trace.)
int fetchedSlot;

void fetchAhead(void)
{
    if (fetchedSlot < weekSlots)
        fetchedSlot = usedAbove(fetchedSlot);
    if (fetchedSlot < weekSlots)
        __builtin_prefetch(slotRecord[fetchedSlot], 1);
}

void startFetching(void)
{
    fetchedSlot = -1;
    for (int i = 0; i < fetchDistance; i++)
        fetchAhead();
}

// The last record whose key is smaller than key, given key is greater than
// the head's: that is where a new record goes and what is in force at key.
rtEvent_t *lastBelow(int32_t key)
{
    int slot = unindexedCnt == 0 ? slotOf(key) : -1;
    if (slot >= 0) {
        int below = usedBelow(slot);
        return below >= 0 ? slotRecord[below] : eventList->prev;
    }
    rtEvent_t *tail = eventList->prev;
    if (tail->dayTime < key)
        return tail;
    rtEvent_t *at = eventList;
    while (at->next != eventList && at->next->dayTime < key)
        at = at->next;
    return at;
}

// Both neighbours come from the index, so that their cache misses overlap
// rather than the one waiting for the other; past either end of the ring
// they are its tail and head. -1: the key is taken.
int linkByIndex(rtEvent_t *ev, int slot)
{
    if ((slotUsed[slot >> 6] >> (slot & 63) & 1) != 0)
        return -1;
    rtEvent_t *after = eventList->prev, *before = eventList;
    bool first = ev->dayTime < eventList->dayTime;
    if (!first && ev->dayTime < after->dayTime) {
        after = slotRecord[usedBelow(slot)];
        before = slotRecord[usedAbove(slot)];
    }
    ev->prev = after;
    ev->next = before;
    after->next = ev;
    before->prev = ev;
    if (first)
        eventList = ev;
    return 0;
}

int linkByWalk(rtEvent_t *ev)
{
    rtEvent_t *after;
    if (ev->dayTime <= eventList->dayTime)
        after = eventList->prev;
    else
        after = lastBelow(ev->dayTime);
    if (after->next->dayTime == ev->dayTime)
        return -1;
    ev->prev = after;
    ev->next = after->next;
    after->next->prev = ev;
    after->next = ev;
    if (ev->next == eventList && ev->dayTime < eventList->dayTime)
        eventList = ev;
    return 0;
}

// Whether ev is the record in force at key: the greatest key below it, and
// the tail also up to the head's key.
bool inForceAt(const rtEvent_t *ev, int32_t key)
{
    if (ev->next == eventList)
        return key > ev->dayTime || key <= eventList->dayTime;
    return ev->dayTime < key && key <= ev->next->dayTime;
}

}  // namespace

int insertEvent(rtEvent_t *ev)
{
    if (allocCnt <= 0) {
        report(JOURNAL_ERR, "ERROR:  nothing allocated!\n");
        return -1;
    }
    int slot = slotOf(ev->dayTime);
    int linked = 0;
    if (eventList == nullptr) {
        ev->next = ev->prev = ev;
        eventList = ev;
    } else if (slot >= 0 && unindexedCnt == 0) {
        linked = linkByIndex(ev, slot);
    } else {
        linked = linkByWalk(ev);
    }
    if (linked != 0) {
        report(JOURNAL_ERR, "ERROR:  two entries have the same day/time value!\n");
        return -1;
    }
    if (slot >= 0)
        setSlot(slot, ev);
    else
        unindexedCnt++;
    return 0;
}

rtEvent_t *recordAt(int32_t key)
{
    if (eventList == nullptr)
        return nullptr;
    int slot = unindexedCnt == 0 ? slotOf(key) : -1;
    if (slot >= 0)
        return (slotUsed[slot >> 6] >> (slot & 63) & 1) != 0 ? slotRecord[slot] : nullptr;
    rtEvent_t *ev = eventList;
    do {
        if (ev->dayTime == key)
            return ev;
        ev = ev->next;
    } while (ev != eventList);
    return nullptr;
}

int addEvent(int day, const char *timeText, int32_t value, int32_t mask)
{
    rtEvent_t *ev = new (std::nothrow) rtEvent_t();
    if (ev == nullptr) {
        fprintf(stderr, "ERROR:  rtEvent_t malloc failed: %s\n", strerror(ENOMEM));
        return -1;
    }
    allocCnt++;
    if (parseEvent(ev, dayNames[day & 7], timeText, value) != 0) {
        allocCnt--;
        delete ev;
        return -1;
    }
    ev->mask = mask;
    ev->bits = ev->state == 255 ? mask : 0;
    ev->unset = ev->state == -1 ? mask : 0;
    // Other lines at the same moment: one record, so that the ring keeps one
    // record a second.
    rtEvent_t *same = recordAt(ev->dayTime);
    if (same != nullptr && (same->mask & mask) == 0) {
        same->mask |= mask;
        same->bits |= ev->bits;
        same->unset |= ev->unset;
        allocCnt--;
        delete ev;
        return 0;
    }
    if (insertEvent(ev) != 0) {
        allocCnt--;
        delete ev;
        return -1;
    }
    return 0;
}

int removeEvent(rtEvent_t *ev)
{
    if (allocCnt <= 0) {
        report(JOURNAL_ERR, "ERROR:  nothing allocated!\n");
        return -1;
    }
    if (ev == eventList)
        eventList = ev->next;
    ev->prev->next = ev->next;
    ev->next->prev = ev->prev;
    int slot = slotOf(ev->dayTime);
    if (slot >= 0)
        clearSlot(slot);
    else
        unindexedCnt--;
    if (lastFound == ev)
        lastFound = nullptr;
    allocCnt--;
    if (eventList == ev)
        eventList = nullptr;
    delete ev;
    return 0;
}

void clearEvents(void)
{
    startFetching();
    while (eventList != nullptr) {
        fetchAhead();
        if (removeEvent(eventList) != 0)
            break;
    }
}

rtEvent_t *findCurrentEvent(int32_t key)
{
    if (eventList == nullptr)
        return nullptr;
    if (lastFound != nullptr) {
        if (inForceAt(lastFound, key))
            return lastFound;
        if (inForceAt(lastFound->next, key))
            return lastFound = lastFound->next;
    }
    // The clock jumped (a reload, a new time zone, the clock set): search.
    if (key <= eventList->dayTime)
        lastFound = eventList->prev;
    else
        lastFound = lastBelow(key);
    return lastFound;
}

int listEvents(void)
{
    if (eventList == nullptr)
        return 0;
    startFetching();
    const rtEvent_t *ev = eventList;
    do {
        fetchAhead();
        printEvent(ev, "\n");
        ev = ev->next;
    } while (ev != eventList);
    return 0;
}
