// schedule.h: the timetable's data model.
//
// One record type, rtEvent_t, stands for a timetable entry and for the clock
// sample. Its key dayTime packs the day index and the BCD time so that integer
// order is the order of the week: finding the entry in force is a comparison.
// Timetable records live in one ring (eventList) kept sorted by key.
#ifndef WEEKSWITCH_SCHEDULE_H
#define WEEKSWITCH_SCHEDULE_H

#include <cstddef>
#include <cstdint>
#include <string>

struct rtEvent_t {
    rtEvent_t *next;   // next greater key; the tail's next is the head
    rtEvent_t *prev;   // the head's prev is the tail
    int32_t dayTime;   // day << 24 | BCD hour << 16 | BCD min << 8 | BCD sec
    int32_t day;       // 0 Monday .. 6 Sunday, 7 no valid day
    int32_t hour;
    int32_t min;
    int32_t sec;
    int32_t state;     // -1 no state, 0 off, 255 on
    // The output's lines it drives (bit n-1 for line n: 0xFF for an entry
    // before any section), those it switches on, and those it leaves
    // without a state (a -1 entry: off). Entries of other lines at the same
    // day and time share one record.
    int32_t mask;
    int32_t bits;
    int32_t unset;
};

// Day names indexed by day index; index 7 is the name of a bad day.
extern const char *const dayNames[8];

// The ring's head (smallest key), or nullptr when the ring is empty.
extern rtEvent_t *eventList;
// The latest clock sample; outside the ring, its links are never used.
extern rtEvent_t nowEvent;
// Milliseconds into its second of the latest clock sample: the run loop
// wakes as the next second begins.
extern int nowEventMs;
// The local date of the latest clock sample, as a date number.
extern int32_t nowDate;
// Records currently allocated; must be 0 when the program exits.
extern int allocCnt;
// The names the timetable's sections give the lines ("" none), line n at
// n-1, and whether it has section lines at all: without them every output
// is what it always was.
extern std::string lineNames[8];
extern bool sectionsUsed;

// Dates as numbers: days since 1970-01-01 of the proleptic Gregorian
// calendar, so that a date's number minus one is the day before, across
// months, years and leap days alike. -1: no such date (2026-02-30).
int32_t dateNumber(int year, int month, int day);
void dateOfNumber(int32_t date, int *year, int *month, int *day);
// Day index 0 Monday .. 6 Sunday of a date number.
int weekdayOf(int32_t date);
// "2026-12-24" into out (16 bytes: a week drawn from 9999-12-31 reaches
// into 10000).
void formatDate(char *out, int32_t date);

// Day index 0..6 of a text whose first two letters name a day, else 7.
int parseDay(const char *text);
// n in 0..59 as packed BCD.
int toBcd(int n);
// Reads an integer in C notation (0x hex, 0 octal, else decimal) the way
// strtol does, clamped to the signed 32-bit range; no digits reads as 0.
int32_t readCInt(const char *text);

// Fills every field but the links; 0, or -1 after printing a message.
int parseEvent(rtEvent_t *ev, const char *dayText, const char *timeText, int32_t value);
// Room for what formatEvent writes, terminator included.
const int eventTextSize = 320;
// Writes "Tue 07:30:00 On" (what printEvent prints before its suffix) into
// out; returns its length. Lets a caller put a whole line out at once.
int formatEvent(char *out, size_t size, const rtEvent_t *ev);
// Prints "Tue 07:30:00 On" and the suffix (may be nullptr); returns 0.
int printEvent(const rtEvent_t *ev, const char *suffix);
// Rebuilds nowEvent from the local clock; the result of parseEvent.
int sampleClock(void);

// Adds an entry driving the lines of mask. An entry of other lines at the
// same day and time joins that record; of the same lines it is a duplicate.
int addEvent(int day, const char *timeText, int32_t value, int32_t mask = 0xFF);
// " On", " Off", "" (no state), as an entry's words have always been; for
// an entry of some lines, or in a timetable with named lines, each name
// with its word: " pump On, lights Off" (an unnamed line: "line 4").
std::string linesText(int32_t mask, int32_t bits, int32_t unset);
int insertEvent(rtEvent_t *ev);
// The record whose key is key, or nullptr.
rtEvent_t *recordAt(int32_t key);
int removeEvent(rtEvent_t *ev);
void clearEvents(void);
// The record in force at key (greatest key strictly below, wrapping to the
// tail), or nullptr when the ring is empty.
rtEvent_t *findCurrentEvent(int32_t key);
int listEvents(void);

#endif
