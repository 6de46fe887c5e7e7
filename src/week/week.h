// week.h: the week a timetable gives, and its two pictures.
//
// The week is worked out from the ring exactly as the runner meets it: an
// entry comes into force one second after its time and holds until the next
// entry does, Sunday wrapping round to Monday. A -1 entry, like no entry at
// all, leaves the lines off without a state of its own; it is kept apart so
// the picture can show it.
#ifndef WEEKSWITCH_WEEK_H
#define WEEKSWITCH_WEEK_H

#include "schedule.h"

#include <string>
#include <vector>

const int daySeconds = 24 * 60 * 60;
const int weekSeconds = 7 * daySeconds;

// What the eight lines do. kindNone: a -1 entry or no entry is in force.
// The week as switched has two more: kindIdle, the program did not run (it
// had ended, the machine was off), and kindUnknown, beyond the record.
enum lineKind { kindOff, kindOn, kindNone, kindIdle, kindUnknown };

// One entry's stretch of the week: seconds from Monday 00:00:00, the end
// not included.
struct weekSpan_t {
    int start;
    int end;
    int kind;
    const rtEvent_t *entry;  // nullptr when the timetable is empty
};

// A stretch of the week [from, to) summed up.
struct stretch_t {
    int first;       // kind of its first second
    int last;        // kind of its last second
    int changes;     // changes of kind strictly inside the stretch
    int onSeconds;
    int switchings;  // on/off changes at its seconds, the first one included
};

// The spans covering Monday 00:00:00 to Sunday 24:00:00 in order, from the
// ring as loaded.
std::vector<weekSpan_t> computeWeek(void);
// Seconds from Monday 00:00:00 of a record's day and time.
int secondOfWeek(const rtEvent_t *ev);
// The span in force at a second of the week (taken modulo the week).
const weekSpan_t &spanAt(const std::vector<weekSpan_t> &week, int second);
stretch_t summarise(const std::vector<weekSpan_t> &week, int from, int to);
// "10:30" for whole minutes, else "0:00:05".
std::string formatDuration(int seconds);

struct weekActual_t;

// What the picture shows: a part of every day, seconds from midnight.
struct weekView_t {
    std::string title;  // the event file's name
    int from;
    int to;
    int now;            // second of the week of the clock, or -1
};

struct gridStyle_t {
    int width;          // terminal columns
    bool colour;
    bool unicode;
};

// The week grid on standard output; with actual, the week as switched
// beside each day's plan, and what differs.
void printGrid(const std::vector<weekSpan_t> &week, const weekView_t &view, const gridStyle_t &style,
               const weekActual_t *actual = nullptr);
// The week as an SVG picture: 0, or -1 after saying why.
int writeSvg(const char *path, const std::vector<weekSpan_t> &week, const weekView_t &view,
             const weekActual_t *actual = nullptr);

#endif
