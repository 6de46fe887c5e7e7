// calendar.cpp: the dated days, and the timeline of the ring and them, see
// calendar.h.
//
// A date's entries are built when asked: its dated day, if it has one, and
// else the ring's entries of its weekday. The entry in force is found by
// walking back from the moment asked a date at a time, the next one by
// walking forward; beyond the dated days a week of dates holds every entry
// of the ring, so no walk goes further than the dated days and a week. The
// run loop asks only when a change is due or the clock jumped, so a pass
// costs the same with or without dated days.
#include "calendar.h"
#include "journal.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>

std::map<int32_t, datedDay_t> datedDays;
long long datedLineCnt;

namespace {

const int32_t daySeconds = 24 * 60 * 60;

int32_t secondOf(const rtEvent_t *ev)
{
    return (ev->hour * 60 + ev->min) * 60 + ev->sec;
}

// The ring's entries of one day, in time order.
void ringEntriesOf(int day, int32_t date, int why, std::vector<timedEntry_t> *out)
{
    if (eventList == nullptr)
        return;
    // Nothing of day lies strictly below its midnight: what follows the
    // record found is its first entry, if it has one.
    const rtEvent_t *first = findCurrentEvent(day << 24)->next;
    const rtEvent_t *ev = first;
    while (ev->day == day) {
        out->push_back({date, secondOf(ev), ev->state, why, day, ev, ev->mask, ev->bits, ev->unset});
        ev = ev->next;
        if (ev == first)
            break;
    }
}

// The walks go this far beyond the dated days: a week holds every weekday.
void walkBounds(int32_t date, int32_t *low, int32_t *high)
{
    int32_t first = date, last = date;
    if (!datedDays.empty()) {
        first = std::min(first, datedDays.begin()->first);
        last = std::max(last, datedDays.rbegin()->first);
    }
    *low = first - (eventList != nullptr ? 7 : 0);
    *high = last + (eventList != nullptr ? 7 : 0);
}

}  // namespace

long long claimDate(int32_t date, int kind, int asDay, int32_t state, long long line)
{
    datedDay_t &day = datedDays[date];
    if (day.kind != dateWeekday)
        return day.line;
    day.kind = kind;
    day.asDay = asDay;
    day.state = state;
    day.line = line;
    return 0;
}

long long addOneOff(int32_t date, int32_t second, int32_t state, long long line, int32_t mask)
{
    std::vector<oneOff_t> &offs = datedDays[date].oneOffs;
    auto at = std::lower_bound(offs.begin(), offs.end(), second,
                               [](const oneOff_t &o, int32_t s) { return o.second < s; });
    if (at != offs.end() && at->second == second)
        return at->line;
    offs.insert(at, {second, state, line, mask});
    return 0;
}

void clearDatedDays(void)
{
    datedDays.clear();
    datedLineCnt = 0;
}

void entriesOfDate(int32_t date, std::vector<timedEntry_t> *out)
{
    out->clear();
    auto dated = datedDays.find(date);
    if (dated == datedDays.end()) {
        ringEntriesOf(weekdayOf(date), date, whyWeekly, out);
        return;
    }
    const datedDay_t &day = dated->second;
    if (day.kind == dateHeld)
        out->push_back({date, 0, day.state, whyHeld, 0, nullptr, 0xFF, day.state == 255 ? 0xFF : 0,
                        day.state == -1 ? 0xFF : 0});
    else if (day.kind == dateAs)
        ringEntriesOf(day.asDay, date, whyAs, out);
    else
        ringEntriesOf(weekdayOf(date), date, whyWeekly, out);
    // A one-off takes the place of an entry of the same time on its date,
    // for the lines it drives.
    for (const oneOff_t &o : day.oneOffs) {
        timedEntry_t e = {date, o.second, o.state, whyOneOff, 0, nullptr, o.mask, o.state == 255 ? o.mask : 0,
                          o.state == -1 ? o.mask : 0};
        auto at = std::lower_bound(out->begin(), out->end(), o.second,
                                   [](const timedEntry_t &t, int32_t s) { return t.second < s; });
        if (at != out->end() && at->second == o.second) {
            e.bits |= at->bits & ~o.mask;
            e.unset |= at->unset & ~o.mask;
            e.mask |= at->mask;
            *at = e;
        } else {
            out->insert(at, e);
        }
    }
}

namespace {

int32_t keyOf(int day, int32_t second)
{
    return day << 24 | toBcd(second / 3600) << 16 | toBcd(second / 60 % 60) << 8 | toBcd(second % 60);
}

// The last entry of date before second (daySeconds: the date's last). A
// date without a dated day is the ring's alone, found in the ring's index
// without building the day: a timetable of a hundred thousand entries costs
// no more at a change than a short one.
bool lastBefore(int32_t date, int32_t second, timedEntry_t *out)
{
    if (datedDays.count(date) != 0) {
        std::vector<timedEntry_t> entries;
        entriesOfDate(date, &entries);
        for (auto e = entries.rbegin(); e != entries.rend(); ++e)
            if (e->second < second) {
                *out = *e;
                return true;
            }
        return false;
    }
    if (eventList == nullptr)
        return false;
    int day = weekdayOf(date);
    const rtEvent_t *ev = second < daySeconds ? findCurrentEvent(keyOf(day, second))
                          : day < 6           ? findCurrentEvent((day + 1) << 24)
                                              : eventList->prev;
    if (ev->day != day || (second < daySeconds && secondOf(ev) >= second))
        return false;
    *out = {date, secondOf(ev), ev->state, whyWeekly, day, ev, ev->mask, ev->bits, ev->unset};
    return true;
}

// The first entry of date at or after second.
bool firstFrom(int32_t date, int32_t second, timedEntry_t *out)
{
    if (datedDays.count(date) != 0) {
        std::vector<timedEntry_t> entries;
        entriesOfDate(date, &entries);
        for (const timedEntry_t &e : entries)
            if (e.second >= second) {
                *out = e;
                return true;
            }
        return false;
    }
    if (eventList == nullptr)
        return false;
    int day = weekdayOf(date);
    // What follows the greatest key below is the least at or above it.
    const rtEvent_t *ev = findCurrentEvent(keyOf(day, second))->next;
    if (ev->day != day || secondOf(ev) < second)
        return false;
    *out = {date, secondOf(ev), ev->state, whyWeekly, day, ev, ev->mask, ev->bits, ev->unset};
    return true;
}

}  // namespace

int timelineAt(int32_t date, int32_t second, timedEntry_t *inForce, timedEntry_t *next)
{
    int32_t low, high;
    walkBounds(date, &low, &high);
    bool found = lastBefore(date, second, inForce);
    for (int32_t d = date - 1; d >= low && !found; d--)
        found = lastBefore(d, daySeconds, inForce);
    if (!found)
        return -1;
    if (firstFrom(date, second, next))
        return 0;
    for (int32_t d = date + 1; d <= high; d++)
        if (firstFrom(d, 0, next))
            return 0;
    *next = *inForce;  // cannot happen: the entry in force is in the timeline
    return 0;
}

bool lastDrivingBefore(int32_t date, int32_t second, int32_t lines, timedEntry_t *out)
{
    int32_t low, high;
    walkBounds(date, &low, &high);
    timedEntry_t e;
    while (date >= low) {
        if (!lastBefore(date, second, &e)) {
            date--;
            second = daySeconds;
            continue;
        }
        if ((e.mask & lines) != 0) {
            *out = e;
            return true;
        }
        date = e.date;
        second = e.second;
    }
    return false;
}

int portValueAt(int32_t date, int32_t second)
{
    int32_t resolved = 0, value = 0;
    timedEntry_t e;
    // Entry by entry back from the moment, until every line has its last.
    while (resolved != 0xFF && lastDrivingBefore(date, second, ~resolved & 0xFF, &e)) {
        value |= e.bits & ~resolved;
        resolved |= e.mask;
        date = e.date;
        second = e.second;
    }
    return value;
}

bool sameEntry(const timedEntry_t &a, const timedEntry_t &b)
{
    if (a.why != b.why)
        return false;
    if (a.why == whyWeekly)
        return a.weekly == b.weekly;
    return a.date == b.date && a.second == b.second;
}

long long inForceFrom(const timedEntry_t &e)
{
    return (long long)e.date * daySeconds + e.second + 1;
}

const char *stateWord(int32_t state)
{
    return state == -1 ? "no state" : state != 0 ? "On" : "Off";
}

int formatTimed(char *out, size_t size, const timedEntry_t &e, bool withDate)
{
    if (e.why == whyWeekly && !withDate)
        return formatEvent(out, size, e.weekly);
    char date[16];
    formatDate(date, e.date);
    std::string state = linesText(e.mask, e.bits, e.unset);
    char why[24] = "";
    if (e.why == whyAs)
        snprintf(why, sizeof why, " (runs as %s)", dayNames[e.asDay]);
    else if (e.why == whyHeld)
        snprintf(why, sizeof why, " (held)");
    else if (e.why == whyOneOff)
        snprintf(why, sizeof why, " (one-off)");
    return snprintf(out, size, "%s %s %02d:%02d:%02d%s%s", dayNames[weekdayOf(e.date)], date, e.second / 3600,
                    e.second / 60 % 60, e.second % 60, state.c_str(), why);
}

void reportDatedTwice(int32_t first, int more, long long earlier, long long line, const char *what)
{
    char date[16];
    formatDate(date, first);
    report(JOURNAL_ERR, "ERROR:  Dated twice:  '%s%s'%s, by line %lld and line %lld (the first stays)\n", date, what,
           more > 0 ? (" and " + std::to_string(more) + " more").c_str() : "", earlier, line);
}

namespace {

// Whether the day after the run's last continues the run begun by first:
// a break of two weeks, and where it came from, read as one line.
bool continuesRun(const datedDay_t &first, int32_t lastDate, int32_t date, const datedDay_t &day)
{
    return date == lastDate + 1 && first.kind != dateWeekday && first.oneOffs.empty() && day.oneOffs.empty() &&
           day.kind == first.kind && day.asDay == first.asDay && day.state == first.state && day.line == first.line &&
           day.summary == first.summary;
}

void printSource(long long line, const std::string &summary)
{
    if (summary.empty())
        printf("  ; line %lld\n", line);
    else
        printf("  ; line %lld: %s\n", line, quotedText(summary).c_str());
}

}  // namespace

int listDatedDays(void)
{
    for (auto dated = datedDays.begin(); dated != datedDays.end();) {
        const datedDay_t &day = dated->second;
        char date[16], lastDate[16];
        formatDate(date, dated->first);
        const char *weekday = dayNames[weekdayOf(dated->first)];
        auto next = std::next(dated);
        int32_t last = dated->first;
        while (next != datedDays.end() && continuesRun(day, last, next->first, next->second))
            last = (next++)->first;
        formatDate(lastDate, last);
        if (day.kind != dateWeekday) {
            if (last == dated->first)
                printf("%s %s", date, weekday);
            else
                printf("%s..%s %s..%s", date, lastDate, weekday, dayNames[weekdayOf(last)]);
            if (day.kind == dateAs)
                printf("  as %s", dayNames[day.asDay]);
            else
                printf("  held %s", stateWord(day.state));
            printSource(day.line, day.summary);
        }
        for (const oneOff_t &o : day.oneOffs) {
            printf("%s %s  %02d:%02d:%02d%s", date, weekday, o.second / 3600, o.second / 60 % 60, o.second % 60,
                   linesText(o.mask, o.state == 255 ? o.mask : 0, o.state == -1 ? o.mask : 0).c_str());
            printSource(o.line, "");
        }
        dated = next;
    }
    return 0;
}
