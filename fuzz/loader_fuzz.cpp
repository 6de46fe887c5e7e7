// loader_fuzz.cpp: any bytes as an event file's text. The ring that comes out
// must be whole (links both ways, keys in order, the wrap in one place), hold
// exactly the records counted as allocated, each one a valid time of the
// week, and answer "what is in force" as a plain walk would; the counters
// must match the lines read.
#include "eventfile.h"
#include "schedule.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sys/types.h>

namespace {

struct memoryText {
    const uint8_t *data;
    size_t size, at;
};

ssize_t readMemory(void *cookie, char *buf, size_t size)
{
    memoryText *text = (memoryText *)cookie;
    size_t n = text->size - text->at < size ? text->size - text->at : size;
    memcpy(buf, text->data + text->at, n);
    text->at += n;
    return (ssize_t)n;
}

void check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

int32_t keyOf(const rtEvent_t *ev)
{
    return ev->day << 24 | toBcd(ev->hour) << 16 | toBcd(ev->min) << 8 | toBcd(ev->sec);
}

// The record in force at key by a walk: greatest key below, else the tail.
const rtEvent_t *walkInForce(int32_t key)
{
    const rtEvent_t *found = eventList->prev;
    const rtEvent_t *ev = eventList;
    do {
        if (ev->dayTime < key)
            found = ev;
        ev = ev->next;
    } while (ev != eventList);
    return found;
}

// The record n steps on from the head, its key moved by shift seconds
// (within the week).
int32_t keyNear(int n, int shift)
{
    const rtEvent_t *ev = eventList;
    while (n-- > 0)
        ev = ev->next;
    int second = (((ev->day * 24 + ev->hour) * 60 + ev->min) * 60 + ev->sec + shift + 604800) % 604800;
    return second / 86400 << 24 | toBcd(second / 3600 % 24) << 16 | toBcd(second / 60 % 60) << 8 | toBcd(second % 60);
}

void checkRing(const uint8_t *data, size_t size)
{
    if (eventList == nullptr) {
        check(allocCnt == 0, "empty ring with records allocated");
        check(findCurrentEvent(0) == nullptr, "a record in force in an empty ring");
        return;
    }
    int count = 0;
    const rtEvent_t *ev = eventList;
    do {
        check(ev->next->prev == ev && ev->prev->next == ev, "links one way only");
        check(ev->day >= 0 && ev->day <= 6 && ev->hour >= 0 && ev->hour <= 23 && ev->min >= 0 && ev->min <= 59 &&
                  ev->sec >= 0 && ev->sec <= 59,
              "a record outside the week");
        check(ev->dayTime == keyOf(ev), "key and fields disagree");
        check(ev->state == -1 || ev->state == 0 || ev->state == 255, "state out of range");
        if (ev->next != eventList)
            check(ev->dayTime < ev->next->dayTime, "keys out of order or duplicated");
        check(++count <= allocCnt, "more records in the ring than allocated");
        ev = ev->next;
    } while (ev != eventList);
    check(count == allocCnt, "allocated records missing from the ring");
    ev = eventList;
    do {
        for (int32_t key : {ev->dayTime, ev->dayTime + 1})
            check(findCurrentEvent(key) == walkInForce(key), "the record in force differs from a walk");
        ev = ev->next;
    } while (ev != eventList);
    // The record found last answers the next search when it can, so a clock
    // set back or jumping must not be answered from it wrongly: each record's
    // own second just after a later one, then seconds near records in the
    // order the input's first bytes name them.
    do {
        findCurrentEvent(ev->dayTime + 1);
        check(findCurrentEvent(ev->dayTime) == walkInForce(ev->dayTime), "a step back onto a record's second");
        ev = ev->next;
    } while (ev != eventList);
    for (size_t i = 0; i + 1 < size && i < 256; i += 2) {
        int32_t key = keyNear(data[i], (int8_t)data[i + 1]);
        check(findCurrentEvent(key) == walkInForce(key), "the record in force differs from a walk out of order");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The loader's messages would only slow the fuzzer down.
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    memoryText text = {data, size, 0};
    cookie_io_functions_t io = {readMemory, nullptr, nullptr, nullptr};
    FILE *fp = fopencookie(&text, "r", io);
    entryCnt = lineCnt = 0;
    int status = loadEventStream(fp);
    fclose(fp);

    check(status >= 0, "a stream in memory failed to load");
    const uint8_t *end = (const uint8_t *)memchr(data, 0x1A, size);
    size_t dataSize = end ? (size_t)(end - data) : size;
    long long lines = 0;
    for (size_t i = 0; i < dataSize; i++)
        lines += data[i] == '\n';
    if (dataSize > 0 && data[dataSize - 1] != '\n')
        lines++;
    check(lineCnt == lines, "lineCnt is not the number of lines");
    check(entryCnt <= lineCnt && status <= lineCnt, "more entries or refusals than lines");
    checkRing(data, size);
    clearEvents();
    check(allocCnt == 0 && eventList == nullptr, "records left after clearEvents");
    return 0;
}
