// actual.h: the week as it was switched, from the service's record, beside
// the week as planned.
//
// The record gives the port's byte at each switching and each start, and
// when the program ended and why; the journal gives when each boot ended.
// From those the week is rebuilt as it really went: on, off, nothing
// running (the program ended, was killed, the machine off), or not known
// (beyond the record, or records lost). Where it parts from the plan, each
// difference says why: a
// change made late (by how much), a change never made (nothing ran, the
// port refused it, another timetable was in force), a change nobody planned
// (a learned line, a re-read timetable, a start). With sections each line
// is compared on its own, from its bit of the byte recorded: a change of
// the pump made late is the pump's.
#ifndef WEEKSWITCH_ACTUAL_H
#define WEEKSWITCH_ACTUAL_H

#include "record.h"
#include "week.h"

#include <string>
#include <vector>

// One week of real time: Monday 00:00:00 local time to the next Monday.
struct realWeek_t {
    long long startUsec;
    long long endUsec;
    std::string monday;  // "2026-12-07"
    int32_t mondayDate;  // the same as a date number
};

// The real week holding usec.
realWeek_t weekHolding(long long usec);
// The second of that week (local wall clock) at usec, which lies in it.
int secondInWeek(const realWeek_t &week, long long usec);

enum differenceKind { diffLate, diffMissed, diffUnplanned };

struct difference_t {
    int second;         // second of the week it shows at
    int kind;           // differenceKind
    long long lateMs;   // diffLate: after the change was due
    std::string entry;  // "Mon 17:00:00 Off": the planned entry, or the one switched
    std::string why;
    std::string line{};  // with sections: the row's name
};

// A stretch in which the program did not run, or of which records were lost.
struct idleSpan_t {
    int start;  // seconds of the week, the end not included
    int end;
    std::string why;
};

struct weekActual_t {
    realWeek_t week;
    // The week as switched, Monday to Sunday, with the kinds of week.h:
    // kindOn, kindOff, kindIdle (nothing ran), kindUnknown (no record).
    std::vector<weekSpan_t> spans;
    std::vector<difference_t> differences;
    std::vector<idleSpan_t> idle;
    // Stretches not known because records of them were lost (kindUnknown).
    std::vector<idleSpan_t> lost;
    int planned = 0;       // changes of the plan that fell in the recorded part
    int onTime = 0;
    int late = 0;
    long long worstLateMs = 0;
    int missed = 0;
    int notKnown = 0;      // planned changes whose records were lost
    int unplanned = 0;
    int records = 0;       // records of the service made in the week
    // What happened to the service in the week, in its record's words:
    // starts, ends, re-readings (refused ones too), learned lines, writes
    // the port refused, records lost. By second of the week.
    std::vector<std::pair<int, std::string>> events;
    std::string source;    // where the record was read, as said to the user
    // With sections: each row's comparison, its spans, counts and
    // differences its own; above, the counts of all and every difference.
    std::vector<weekActual_t> lines;
};

// "Tue 18:00:01": a second of the week.
std::string formatWeekSecond(int second);
// "4.2 s", "14 min 59 s", "3 h 5 min": how late a change was.
std::string formatDelay(long long ms);
// "Planned changes 22: on time 19, late 2 (worst 4.2 s), missed 1; unplanned
// changes 1.", the changes lost told too when there are any.
std::string plannedText(const weekActual_t &actual);

// The on time and the changes between on and off of the week as switched,
// from..to (seconds of the week): while nothing ran the port kept its value.
void actualFigures(const std::vector<weekSpan_t> &spans, int from, int to, int *onSeconds, int *changes);

// The same summed over the seven days, from..to of each (seconds of the day).
void actualWeekFigures(const std::vector<weekSpan_t> &spans, int from, int to, int *onSeconds, int *changes);

// The week as switched, compared with plan (the week the timetable gives).
// With lines, a line's plan against that line's bit of the byte recorded.
void compareWeek(const std::vector<weekSpan_t> &plan, const realWeek_t &week, const recordRead_t &read,
                 weekActual_t *out, int32_t lines = 0xFF);
// The same for each row of a timetable with sections, into out->lines.
void compareLines(const std::vector<lineRow_t> &rows, const realWeek_t &week, const recordRead_t &read,
                  weekActual_t *out);

#endif
