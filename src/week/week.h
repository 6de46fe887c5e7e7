// week.h: the week a timetable gives, and its two pictures.
//
// The week is worked out exactly as the runner meets it: an entry comes into
// force one second after its time and holds until the next entry does. The
// weekly pattern is the ring's, Sunday wrapping round to Monday; a real week
// (Monday to Sunday of the calendar) is the timeline's (calendar.h), its
// dated days included, and begins with what was in force before its Monday,
// however many days back that came. A -1 entry, like no entry at all,
// leaves the lines off without a state of its own; it is kept apart so the
// picture can show it. A timetable with sections gives each line a week of
// its own: the line follows the last entry of the timeline that drives it.
#ifndef WEEKSWITCH_WEEK_H
#define WEEKSWITCH_WEEK_H

#include "calendar.h"
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
// not included. A real week's first stretch starts at -1, the second before
// its Monday, so that a change as the week begins is seen as one; the
// weekly pattern's starts at 0 and the week before is the week itself.
struct weekSpan_t {
    int start;
    int end;
    int kind;
    const rtEvent_t *entry;  // the weekly entry; nullptr when none, or dated
    // In a real week: the entry of the timeline, with its date.
    bool hasTimed = false;
    timedEntry_t timed = {};
};

// A stretch of the week [from, to) summed up.
struct stretch_t {
    int first;       // kind of its first second
    int last;        // kind of its last second
    int changes;     // changes of kind strictly inside the stretch
    int onSeconds;
    int switchings;  // on/off changes at its seconds, the first one included
};

// After the name of a dated day, where a blank stands on the others.
const char datedMark = '*';

// The spans covering Monday 00:00:00 to Sunday 24:00:00 in order, from the
// ring as loaded.
std::vector<weekSpan_t> computeWeek(void);
// The same for the real week of the Monday (a date number), from the
// timeline: its first span starts at -1.
std::vector<weekSpan_t> computeRealWeek(int32_t monday);
// The line kind of an entry's state.
int kindOfState(int32_t state);
// The Monday of the week holding a date.
int32_t mondayOf(int32_t date);
// What a date does instead of its weekday, with the lines that say so:
// "held Off (line 8)", "runs as Sun (line 9); one-off 07:30:00 On (line
// 10)"; "" for an ordinary date.
std::string datedDayText(int32_t date);
// What a real week says of its dated days, a line each: how many of the
// timetable's fall in it, what each does, and a dated entry before the
// week that still holds after Monday's first second. None when the
// timetable has no dated days.
std::vector<std::string> datedWeekLines(const std::vector<weekSpan_t> &week, int32_t monday);
// A timetable with sections: the rows of the grid and the bars of the
// picture, one for the lines of each name, one for each unnamed line a
// section drives, and one for the lines no section names when entries
// before any section drive them. Lines of one name that do not switch
// alike (an unnamed section names one of them) get a row each.
struct lineRow_t {
    std::string name;  // "pump", "line 4", "lines 4-8", "lights (1)"
    int32_t mask;      // the output's lines it stands for
    // The week of its first line, as computeRealWeek's: each span's entry
    // is the entry of the timeline that drives the line, the whole record.
    std::vector<weekSpan_t> week;
};

// The rows of the real week of the Monday; none without sections. Without
// dated days any Monday gives the weekly pattern.
std::vector<lineRow_t> computeLineRows(int32_t monday);
// "line 3", "lines 4-6,8": the lines of a mask by number.
std::string linesName(int32_t mask);
// Columns a name takes in the terminal (UTF-8: one a character).
int textColumns(const std::string &text);
// "porch light On, pump Off, bell no state": each row's state at a second.
std::string rowStates(const std::vector<lineRow_t> &rows, int second);
// The output's byte at a second: the lines of the rows that are on.
int rowsPortValue(const std::vector<lineRow_t> &rows, int second);

// Seconds from Monday 00:00:00 of a record's day and time.
int secondOfWeek(const rtEvent_t *ev);
// The span in force at a second of the week (taken modulo the week, but for
// the second before a real week's Monday).
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
    // A real week whose dates are shown: its Monday as a date number; -1,
    // the weekly pattern or a week without dated days to show.
    int32_t monday = -1;
    // A timetable with sections: a row and a bar for each of these; none,
    // the output as one.
    std::vector<lineRow_t> lines = {};
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
