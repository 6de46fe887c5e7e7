// calendar.h: the timetable beyond the week, and the one answer to "what
// holds the outputs at this moment, and when does that next change".
//
// The ring (schedule.h) is the weekly pattern. Dated lines of the timetable
// say what particular dates do instead: run the entries of another day
// ("2026-12-24 as su"), hold a value all day ("2026-05-01 0": an entry at
// 00:00:00 and none of the weekday's), or add a one-off entry beside the
// date's others ("2026-11-20 07:30 1"). The timeline is the sequence of real
// dates, each with its entries; an entry comes into force one second after
// its time and holds until the next entry of the timeline, however many
// days back it lies. A moment is a local date and the second of that day
// as the wall clock shows it, so a dated day begins at local midnight
// whatever the length of the day.
//
// Everything that follows or shows the timetable asks here: the runner, the
// check listing, the week view and the week as switched. Without a dated
// line every answer is the ring's.
#ifndef WEEKSWITCH_CALENDAR_H
#define WEEKSWITCH_CALENDAR_H

#include "schedule.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// What a date does instead of its weekday's entries.
enum dateKind {
    dateWeekday,  // its weekday's entries (it has one-offs only)
    dateAs,       // the entries of another day
    dateHeld      // one entry at 00:00:00 with the value held
};

struct oneOff_t {
    int32_t second;  // of its date
    int32_t state;   // as an entry's: -1, 0, 255
    long long line;  // of the timetable
    int32_t mask = 0xFF;  // the lines of the section it stands in
};

struct datedDay_t {
    int kind = dateWeekday;
    int asDay = 0;            // dateAs: 0 Monday .. 6 Sunday
    int32_t state = 0;        // dateHeld
    long long line = 0;       // the line that made it dateAs or dateHeld
    std::vector<oneOff_t> oneOffs;  // in time order
    std::string summary;      // the calendar event that dated it, for the listing
};

// The dated days of the timetable loaded, by date number.
extern std::map<int32_t, datedDay_t> datedDays;
// Dated lines accepted (counted in entryCnt too), for the check listing.
extern long long datedLineCnt;

// A range of dates longer than this is refused: a typo in a year, not a plan.
const int32_t longestRangeDays = 3 * 366;

// What a dated line gives a date: the kind (dateAs with asDay, dateHeld
// with state), or a one-off. 0, or the line that dated it already (the
// same one-off second), which keeps it: the first of two lines stays, as the
// first of two entries of one day and time does. The loader says so.
long long claimDate(int32_t date, int kind, int asDay, int32_t state, long long line);
long long addOneOff(int32_t date, int32_t second, int32_t state, long long line, int32_t mask = 0xFF);
// Says once for line that it dated first and more other dates that the
// line earlier had dated already (what: the one-off time after the date).
void reportDatedTwice(int32_t first, int more, long long earlier, long long line, const char *what);
// Empties the dated days with the ring, before every load and at the end.
void clearDatedDays(void);

// One entry of the timeline.
enum entryWhy {
    whyWeekly,  // a weekly entry on an ordinary date
    whyAs,      // a weekly entry of another day, on a date that runs as it
    whyHeld,    // the held value of a date
    whyOneOff   // a one-off entry
};

struct timedEntry_t {
    int32_t date;
    int32_t second;           // of its date: 0 .. 86399
    int32_t state;            // -1, 0, 255
    int why;                  // entryWhy
    int asDay;                // whyAs: the day it runs as
    const rtEvent_t *weekly;  // whyWeekly, whyAs: the ring's record
    // The lines it drives, those it switches on, those it leaves without a
    // state (as a record's: a held value and an entry before any section
    // drive all eight).
    int32_t mask = 0xFF, bits = 0, unset = 0;
};

// The entries of one date, in time order.
void entriesOfDate(int32_t date, std::vector<timedEntry_t> *out);
// The last entry before second of date that drives any of lines; false
// when none ever does.
bool lastDrivingBefore(int32_t date, int32_t second, int32_t lines, timedEntry_t *out);
// The output's byte at second of date: each line as the last entry before
// it that drives it left it (off where none does).
int portValueAt(int32_t date, int32_t second);
// The entry in force at second of date (the last entry before it: an entry
// comes into force one second after its time) and the next one to come. 0,
// or -1 when the timeline has no entry at all.
int timelineAt(int32_t date, int32_t second, timedEntry_t *inForce, timedEntry_t *next);
// Whether two entries are one: a weekly entry is the same whatever the
// week (a one-entry timetable switches once), a dated one is of its date.
bool sameEntry(const timedEntry_t &a, const timedEntry_t &b);
// The moment e comes into force, as seconds on the local wall clock from
// 1970-01-01 00:00:00: the order of moments, and their distance in wall
// clock seconds.
long long inForceFrom(const timedEntry_t &e);

// Room for what formatTimed writes, terminator included.
const int timedTextSize = eventTextSize + 32;
// "Mon 08:00:00 On", as formatEvent writes the weekly entry, for a weekly
// entry on an ordinary date unless withDate; else with the date and why:
// "Thu 2026-12-24 00:00:00 Off (held)", "... (runs as Sun)", "... (one-off)".
// A -1 entry has no word, as on the console.
int formatTimed(char *out, size_t size, const timedEntry_t &e, bool withDate = false);
// "On", "Off" or "no state" for a held date's or a one-off's value.
const char *stateWord(int32_t state);

// Check mode: the dated days in date order after the ring, a run of days
// that one line (or one calendar event) gave alike on one line, each with
// where it came from.
int listDatedDays(void);

#endif
