// weekstate.cpp: the week a timetable gives, worked out from the ring.
//
// Only the moments at which an entry comes into force matter, one second
// after each entry's time, so the week is built from those and never by
// stepping through its 604800 seconds.
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

const weekSpan_t &spanAt(const std::vector<weekSpan_t> &week, int second)
{
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
