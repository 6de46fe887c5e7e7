// weekstate.cpp: the week a timetable gives, worked out from the ring, or
// for a real week from the timeline.
//
// Only the moments at which an entry comes into force matter, one second
// after each entry's time, so the week is built from those and never by
// stepping through its 604800 seconds. A real week asks the timeline what
// was in force as it began and then takes each date's entries in order:
// the week the runner will meet, dated days and all.
#include "week.h"

#include <algorithm>
#include <cstdio>

int secondOfWeek(const rtEvent_t *ev)
{
    return ev->day * daySeconds + ev->hour * 3600 + ev->min * 60 + ev->sec;
}

// The runner writes 0x00 for a -1 entry too; only the picture tells them apart.
static int kindOf(const rtEvent_t *ev)
{
    if (ev->state == -1)
        return kindNone;
    return ev->state == 0 ? kindOff : kindOn;
}

std::vector<weekSpan_t> computeWeek(void)
{
    std::vector<weekSpan_t> week;
    if (eventList == nullptr) {
        week.push_back({0, weekSeconds, kindNone, nullptr});
        return week;
    }
    struct startPoint { int second; const rtEvent_t *entry; };
    std::vector<startPoint> starts;
    const rtEvent_t *ev = eventList;
    do {
        // Sunday 23:59:59 comes into force at Monday 00:00:00.
        starts.push_back({(secondOfWeek(ev) + 1) % weekSeconds, ev});
        ev = ev->next;
    } while (ev != eventList);
    std::sort(starts.begin(), starts.end(),
              [](const startPoint &a, const startPoint &b) { return a.second < b.second; });
    // Before the week's first start the week's last entry is still in force.
    const rtEvent_t *last = starts.back().entry;
    if (starts.front().second > 0)
        week.push_back({0, starts.front().second, kindOf(last), last});
    for (size_t i = 0; i < starts.size(); i++) {
        int end = i + 1 < starts.size() ? starts[i + 1].second : weekSeconds;
        week.push_back({starts[i].second, end, kindOf(starts[i].entry), starts[i].entry});
    }
    return week;
}

int kindOfState(int32_t state)
{
    return state == -1 ? kindNone : state == 0 ? kindOff : kindOn;
}

static weekSpan_t timedSpan(int start, const timedEntry_t &e)
{
    weekSpan_t span = {start, weekSeconds, kindOfState(e.state), e.why == whyWeekly ? e.weekly : nullptr};
    span.hasTimed = true;
    span.timed = e;
    return span;
}

int32_t mondayOf(int32_t date)
{
    return date - weekdayOf(date);
}

std::vector<weekSpan_t> computeRealWeek(int32_t monday)
{
    std::vector<weekSpan_t> week;
    timedEntry_t inForce, next;
    if (timelineAt(monday, 0, &inForce, &next) != 0) {
        week.push_back({-1, weekSeconds, kindNone, nullptr});
        return week;
    }
    // An entry at Sunday 23:59:59 comes into force as the week begins: the
    // second before holds the one it follows.
    if (inForceFrom(inForce) == (long long)monday * daySeconds) {
        timedEntry_t before;
        timelineAt(monday - 1, daySeconds - 1, &before, &next);
        week.push_back(timedSpan(-1, before));
        week.back().end = 0;
        week.push_back(timedSpan(0, inForce));
    } else {
        week.push_back(timedSpan(-1, inForce));
    }
    std::vector<timedEntry_t> entries;
    for (int day = 0; day < 7; day++) {
        entriesOfDate(monday + day, &entries);
        for (const timedEntry_t &e : entries) {
            int start = day * daySeconds + e.second + 1;
            if (start >= weekSeconds)
                break;  // Sunday 23:59:59 begins the week after
            week.back().end = start;
            week.push_back(timedSpan(start, e));
        }
    }
    return week;
}

std::string datedDayText(int32_t date)
{
    auto dated = datedDays.find(date);
    if (dated == datedDays.end())
        return "";
    const datedDay_t &day = dated->second;
    std::string text;
    char part[64];
    if (day.kind == dateHeld)
        snprintf(part, sizeof part, "held %s (line %lld)", stateWord(day.state), day.line);
    else if (day.kind == dateAs)
        snprintf(part, sizeof part, "runs as %s (line %lld)", dayNames[day.asDay], day.line);
    if (day.kind != dateWeekday)
        text = part;
    for (const oneOff_t &o : day.oneOffs) {
        snprintf(part, sizeof part, "one-off %02d:%02d:%02d %s (line %lld)", o.second / 3600, o.second / 60 % 60,
                 o.second % 60, stateWord(o.state), o.line);
        text += (text.empty() ? "" : "; ") + std::string(part);
    }
    return text;
}

std::vector<std::string> datedWeekLines(const std::vector<weekSpan_t> &week, int32_t monday)
{
    std::vector<std::string> lines;
    if (datedDays.empty())
        return lines;
    char first[16], last[16], date[16], line[160];
    formatDate(first, datedDays.begin()->first);
    formatDate(last, datedDays.rbegin()->first);
    int shown = 0;
    for (int day = 0; day < 7; day++)
        shown += datedDays.count(monday + day);
    if (shown == 0)
        snprintf(line, sizeof line, "Dated days: none of the timetable's %d (%s to %s) in this week.",
                 (int)datedDays.size(), first, last);
    else
        snprintf(line, sizeof line, "Dated days: %d of the timetable's %d (%s to %s) in this week, marked %c by the "
                 "day's name:", shown, (int)datedDays.size(), first, last, datedMark);
    lines.push_back(line);
    // Days one line made alike, a held range, are one stretch.
    for (int day = 0, last; day < 7; day = last + 1) {
        std::string text = datedDayText(monday + day);
        for (last = day; last < 6 && !text.empty() && datedDayText(monday + last + 1) == text;)
            last++;
        if (text.empty())
            continue;
        formatDate(date, monday + day);
        std::string days = std::string(dayNames[day]) + " " + date;
        formatDate(date, monday + last);
        if (last > day)
            days += std::string(" to ") + dayNames[last] + " " + date;
        lines.push_back("  " + days + "  " + text);
    }
    // Monday's morning may be another's than the weekly pattern says.
    const weekSpan_t &begins = spanAt(week, 0);
    if (begins.hasTimed && begins.timed.why != whyWeekly && begins.timed.date < monday && begins.end > 1) {
        char entry[timedTextSize];
        formatTimed(entry, sizeof entry, begins.timed);
        lines.push_back(std::string("The week begins with ") + entry + " in force.");
    }
    return lines;
}

const weekSpan_t &spanAt(const std::vector<weekSpan_t> &week, int second)
{
    if (second < week.front().start || second >= weekSeconds)
        second = ((second % weekSeconds) + weekSeconds) % weekSeconds;
    auto after = std::upper_bound(week.begin(), week.end(), second,
                                  [](int s, const weekSpan_t &span) { return s < span.start; });
    return *(after - 1);
}

stretch_t summarise(const std::vector<weekSpan_t> &week, int from, int to)
{
    stretch_t sum = {spanAt(week, from).kind, spanAt(week, to - 1).kind, 0, 0, 0};
    int before = spanAt(week, from - 1).kind;
    auto at = std::upper_bound(week.begin(), week.end(), from,
                               [](int s, const weekSpan_t &span) { return s < span.start; }) - 1;
    for (; at != week.end() && at->start < to; ++at) {
        int start = std::max(at->start, from);
        int end = std::min(at->end, to);
        if (at->kind == kindOn)
            sum.onSeconds += end - start;
        if (at->kind != before) {
            if (start > from)
                sum.changes++;
            if ((at->kind == kindOn) != (before == kindOn))
                sum.switchings++;
        }
        before = at->kind;
    }
    return sum;
}

std::string formatDuration(int seconds)
{
    char text[32];
    if (seconds % 60 == 0)
        snprintf(text, sizeof text, "%d:%02d", seconds / 3600, seconds / 60 % 60);
    else
        snprintf(text, sizeof text, "%d:%02d:%02d", seconds / 3600, seconds / 60 % 60, seconds % 60);
    return text;
}

// --- lines switched on their own -------------------------------------------
// Each line follows the last entry of the timeline that drives it: the
// timeline's entries, date by date, read with their lines.

namespace {

int kindForLine(const timedEntry_t &e, int32_t bit)
{
    return (e.unset & bit) != 0 ? kindNone : (e.bits & bit) != 0 ? kindOn : kindOff;
}

weekSpan_t lineSpan(int start, const timedEntry_t &e, int32_t bit)
{
    weekSpan_t span = timedSpan(start, e);
    span.kind = kindForLine(e, bit);
    return span;
}

// The week of the line of bit, from the second before the Monday.
std::vector<weekSpan_t> lineWeek(int32_t monday, int32_t bit)
{
    std::vector<weekSpan_t> week;
    timedEntry_t before;
    if (lastDrivingBefore(monday - 1, daySeconds - 1, bit, &before))
        week.push_back(lineSpan(-1, before, bit));
    else
        week.push_back({-1, weekSeconds, kindNone, nullptr});
    std::vector<timedEntry_t> entries;
    // Sunday 23:59:59 of the week before comes into force as it begins.
    for (int day = -1; day < 7; day++) {
        entriesOfDate(monday + day, &entries);
        for (const timedEntry_t &e : entries) {
            int start = day * daySeconds + e.second + 1;
            if (start < 0 || (e.mask & bit) == 0)
                continue;
            if (start >= weekSeconds)
                break;
            week.back().end = start;
            week.push_back(lineSpan(start, e, bit));
        }
    }
    week.back().end = weekSeconds;
    return week;
}

bool sameWeek(const std::vector<weekSpan_t> &a, const std::vector<weekSpan_t> &b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const weekSpan_t &x, const weekSpan_t &y) {
        return x.start == y.start && x.kind == y.kind;
    });
}

}  // namespace

std::string linesName(int32_t mask)
{
    std::string text;
    int count = 0;
    for (int line = 0; line < 8; line++) {
        if ((mask >> line & 1) == 0)
            continue;
        int last = line;
        while (last < 7 && (mask >> (last + 1) & 1) != 0)
            last++;
        text += (text.empty() ? "" : ",") + std::to_string(line + 1);
        if (last > line)
            text += "-" + std::to_string(last + 1);
        count += last - line + 1;
        line = last;
    }
    return (count == 1 ? "line " : "lines ") + text;
}

std::vector<lineRow_t> computeLineRows(int32_t monday)
{
    std::vector<lineRow_t> rows;
    if (!sectionsUsed)
        return rows;
    // The lines an entry drives; a held date drives every line, but only
    // held on does it switch a line that nothing else does.
    int32_t driven = 0;
    if (eventList != nullptr) {
        const rtEvent_t *ev = eventList;
        do {
            driven |= ev->mask;
            ev = ev->next;
        } while (ev != eventList);
    }
    for (const auto &dated : datedDays) {
        if (dated.second.kind == dateHeld && dated.second.state == 255)
            driven = 0xFF;
        for (const oneOff_t &o : dated.second.oneOffs)
            driven |= o.mask;
    }
    std::vector<std::vector<weekSpan_t>> weeks(8);
    for (int line = 0; line < 8; line++)
        weeks[line] = lineWeek(monday, 1 << line);
    // A row for the lines of each name, a row each where they part; the
    // unnamed lines that something switches, one row for those alike.
    int32_t done = 0;
    for (int line = 0; line < 8; line++) {
        bool named = !lineNames[line].empty();
        if ((done >> line & 1) != 0 || (!named && (driven >> line & 1) == 0))
            continue;
        int32_t group = 0;
        bool alike = true;
        for (int other = line; other < 8; other++) {
            if ((done >> other & 1) != 0 || lineNames[other] != lineNames[line] ||
                (!named && ((driven >> other & 1) == 0 || !sameWeek(weeks[line], weeks[other]))))
                continue;
            group |= 1 << other;
            alike = alike && sameWeek(weeks[line], weeks[other]);
        }
        done |= group;
        if (alike) {
            rows.push_back({named ? lineNames[line] : linesName(group), group, weeks[line]});
            continue;
        }
        for (int other = line; other < 8; other++)
            if ((group >> other & 1) != 0)
                rows.push_back({lineNames[line] + " (" + std::to_string(other + 1) + ")", 1 << other, weeks[other]});
    }
    return rows;
}

int textColumns(const std::string &text)
{
    int columns = 0;
    for (unsigned char c : text)
        columns += (c & 0xC0) != 0x80;
    return columns;
}

std::string rowStates(const std::vector<lineRow_t> &rows, int second)
{
    std::string text;
    for (const lineRow_t &row : rows) {
        int kind = spanAt(row.week, second).kind;
        text += (text.empty() ? "" : ", ") + row.name + (kind == kindOn ? " On" : kind == kindOff ? " Off" : " no state");
    }
    return text;
}

int rowsPortValue(const std::vector<lineRow_t> &rows, int second)
{
    int value = 0;
    for (const lineRow_t &row : rows)
        if (spanAt(row.week, second).kind == kindOn)
            value |= row.mask;
    return value;
}
