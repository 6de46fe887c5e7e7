// holidays.h: the all-day events of an iCalendar file as dated days, for
// the timetable's "holidays FILE as su" and "holidays FILE 0" lines.
#ifndef WEEKSWITCH_HOLIDAYS_H
#define WEEKSWITCH_HOLIDAYS_H

#include <cstdint>
#include <string>

// Gives every date of every all-day and multi-day event of the calendar at
// path the kind (dateAs with asDay, dateHeld with state), as a dated line of
// the timetable's line does. 0, or -1 after saying why the calendar cannot
// be read: the timetable is then refused as for a bad line.
int readHolidays(const std::string &path, int kind, int asDay, int32_t state, long long line);

#endif
