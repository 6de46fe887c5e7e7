// actual.cpp: the week as switched, rebuilt from the record, and where it
// parts from the plan; see actual.h.
#include "actual.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

// A change made within this of its time was on time: the service switches
// as the second after the entry's time begins.
const int onTimeSeconds = 1;
// An end this close before the journal's last entry of its boot was the
// shutdown's.
const long long shutdownUsec = 120LL * 1000000;

// A moment at which the week as switched took a new kind.
struct point_t {
    long long usec;
    int kind;          // kindOn, kindOff, kindIdle, kindUnknown
    std::string why;   // kindIdle: why nothing ran
    int record;        // the record that made it, or -1
};

long long bootEnd(const recordRead_t &read, const std::string &boot)
{
    for (const auto &b : read.bootEnds)
        if (b.first == boot)
            return b.second;
    return -1;
}

std::string endedWhy(const record_t &r)
{
    const std::string prefix = "Ended: ";
    std::string why = r.text.compare(0, prefix.size(), prefix) == 0 ? r.text.substr(prefix.size()) : r.text;
    return "ended: " + why;
}

// The record as moments of the week: what the port held while the program
// ran, and when and why it did not run.
std::vector<point_t> pointsOf(const realWeek_t &week, const recordRead_t &read)
{
    std::vector<point_t> points;
    bool running = false;
    int value = -1;
    std::string why = "no record of the service before", boot;
    long long idleSince = -1;
    auto add = [&](long long usec, int kind, const std::string &text, int record) {
        usec = std::max(usec, week.startUsec);
        if (!points.empty() && points.back().usec == usec)
            points.back() = {usec, kind, text, record};
        else
            points.push_back({usec, kind, text, record});
    };
    auto stop = [&](long long usec, const std::string &text) {
        running = false;
        why = text;
        idleSince = usec;
        if (usec >= week.startUsec)
            add(usec, kindIdle, why, -1);
    };
    // A boot that ended with nothing more of the service in it: the machine
    // went off then (or restarted), unless the program had ended already.
    auto bootOver = [&](long long untilUsec) {
        long long end = bootEnd(read, boot);
        if (end < 0 || end >= untilUsec)
            return;
        if (running) {
            stop(end, "the machine was off (or restarting), the program's last record before");
        } else if (idleSince >= 0 && end - idleSince < shutdownUsec && why.find("signal") != std::string::npos) {
            // Stopped by the shutdown itself: one stretch, and its name.
            why = "the machine was shut down";
            if (idleSince >= week.startUsec)
                add(idleSince, kindIdle, why, -1);
            else if (!points.empty())
                points.back().why = why;
        } else if (end > idleSince) {
            stop(end, "the machine was off (or restarting)");
        }
    };
    for (size_t i = 0; i < read.records.size(); i++) {
        const record_t &r = read.records[i];
        if (r.usec >= week.startUsec && points.empty())
            add(week.startUsec, running ? (value > 0 ? kindOn : kindOff) : kindIdle, why, -1);
        if (!boot.empty() && r.boot != boot)
            bootOver(r.usec);
        boot = r.boot;
        if (r.kind == recInForce || r.kind == recSwitched) {
            running = true;
            value = r.value;
            if (r.usec >= week.startUsec)
                add(r.usec, value != 0 ? kindOn : kindOff, "", (int)i);
        } else if (r.kind == recEnded) {
            stop(r.usec, endedWhy(r));
        }
    }
    if (points.empty())
        add(week.startUsec, running ? (value > 0 ? kindOn : kindOff) : kindIdle, why, -1);
    // After the last record: the boot it was made in may have ended since.
    long long known = std::min(week.endUsec, read.lastUsec);
    if (!boot.empty())
        bootOver(known);
    if (known < week.endUsec)
        add(known, kindUnknown, "", -1);
    return points;
}

// The week's spans from the points, merged where the kind is the same;
// made[i] is the record that began span i, or -1.
void spansOf(const realWeek_t &week, const std::vector<point_t> &points, weekActual_t *out, std::vector<int> *made)
{
    for (size_t i = 0; i < points.size(); i++) {
        int start = secondInWeek(week, points[i].usec);
        int end = i + 1 < points.size() ? secondInWeek(week, points[i + 1].usec) : weekSeconds;
        if (end <= start)
            continue;
        const point_t &p = points[i];
        if (!out->spans.empty() && out->spans.back().kind == p.kind &&
            (p.kind != kindIdle || out->idle.back().why == p.why)) {
            out->spans.back().end = end;
            if (p.kind == kindIdle)
                out->idle.back().end = end;
            continue;
        }
        out->spans.push_back({start, end, p.kind, nullptr});
        made->push_back(p.record);
        if (p.kind == kindIdle)
            out->idle.push_back({start, end, p.why});
    }
    if (out->spans.empty() || out->spans.front().start > 0) {
        out->spans.insert(out->spans.begin(), {0, out->spans.empty() ? weekSeconds : out->spans.front().start,
                                               kindUnknown, nullptr});
        made->insert(made->begin(), -1);
    }
    out->spans.back().end = weekSeconds;
}

// The index of the span holding second.
size_t spanIndex(const std::vector<weekSpan_t> &spans, int second)
{
    return (size_t)(&spanAt(spans, second) - spans.data());
}

bool onAt(const std::vector<weekSpan_t> &spans, int second)
{
    return spanAt(spans, second).kind == kindOn;
}

std::string entryText(const rtEvent_t *ev)
{
    if (ev == nullptr)
        return "none";
    char text[eventTextSize];
    formatEvent(text, sizeof text, ev);
    return text;
}

std::string entryText(int second, int state)
{
    return formatWeekSecond(second) + (state == -1 ? "" : state != 0 ? " On" : " Off");
}

const idleSpan_t *idleIn(const weekActual_t &out, int from, int to)
{
    for (const idleSpan_t &span : out.idle)
        if (span.start < to && span.end > from)
            return &span;
    return nullptr;
}

// The first second in [from, to) at which the port, running, held on (or
// off), and the record that made it so (or -1); -1 if none.
int madeAt(const weekActual_t &out, const std::vector<int> &made, int from, int to, bool on, int *by)
{
    *by = -1;
    for (size_t i = spanIndex(out.spans, from); i < out.spans.size() && out.spans[i].start < to; i++) {
        const weekSpan_t &span = out.spans[i];
        if ((span.kind == kindOn || span.kind == kindOff) && (span.kind == kindOn) == on) {
            *by = span.start >= from ? made[i] : -1;
            return std::max(span.start, from);
        }
    }
    return -1;
}

// Why the record made a change the plan does not have: what led up to it.
std::string unplannedWhy(const recordRead_t &read, int record)
{
    const record_t &r = read.records[record];
    if (r.kind == recSwitched)
        return "an entry of another timetable (the one in force then; re-read since?)";
    for (int i = record - 1; i >= 0; i--) {
        const record_t &before = read.records[i];
        if (before.kind == recLearned)
            return "a learned line (" + before.text + ")";
        if (before.kind == recReread && before.text.find("learned") == std::string::npos)
            return "the timetable re-read (" + before.text + ")";
        if (before.kind == recStarted)
            return "a start, with the timetable then in force";
        if (before.kind == recInForce || before.kind == recSwitched)
            break;
    }
    return "the timetable re-read";
}

void compare(const std::vector<weekSpan_t> &plan, const realWeek_t &week, const recordRead_t &read,
             const std::vector<int> &made, weekActual_t *out)
{
    // The plan's changes: where on and off swap (no state counts as off).
    std::vector<const weekSpan_t *> flips;
    for (const weekSpan_t &span : plan) {
        bool before = onAt(plan, span.start - 1 + (span.start == 0 ? weekSeconds : 0));
        if ((span.kind == kindOn) != before)
            flips.push_back(&span);
    }
    for (size_t i = 0; i < flips.size(); i++) {
        const weekSpan_t &flip = *flips[i];
        int due = flip.start;
        int next = i + 1 < flips.size() ? flips[i + 1]->start : weekSeconds;
        int kindThen = spanAt(out->spans, due).kind;
        if (kindThen == kindUnknown)
            continue;
        out->planned++;
        bool on = flip.kind == kindOn;
        int by;
        int at = madeAt(*out, made, due, next, on, &by);
        std::string entry = entryText(flip.entry);
        if (at >= 0 && at - due <= onTimeSeconds && kindThen != kindIdle) {
            out->onTime++;
            continue;
        }
        if (at >= 0) {
            long long lateMs = (long long)(at - due) * 1000;
            if (by >= 0) {
                const record_t &r = read.records[by];
                lateMs = r.kind == recSwitched && r.delayMs >= 0 ? r.delayMs
                                                                   : (r.usec - week.startUsec) / 1000 - due * 1000LL;
            }
            lateMs = std::max(lateMs, (long long)(at - due) * 1000);
            const idleSpan_t *idle = idleIn(*out, due, at);
            std::string why = idle != nullptr ? "at the start after nothing ran (" + idle->why + ")"
                                              : "the program was held up";
            out->late++;
            out->worstLateMs = std::max(out->worstLateMs, lateMs);
            out->differences.push_back({due, diffLate, lateMs, entry, why});
            continue;
        }
        const idleSpan_t *idle = idleIn(*out, due, next);
        std::string why;
        if (idle != nullptr) {
            why = "nothing ran: " + idle->why;
        } else {
            why = "another timetable was in force";
            for (const record_t &r : read.records) {
                int s = r.usec >= week.startUsec && r.usec < week.endUsec ? secondInWeek(week, r.usec) : -1;
                if (r.kind == recWriteFailed && s >= due && s < next) {
                    why = "the port refused the write";
                    break;
                }
            }
        }
        out->missed++;
        out->differences.push_back({due, diffMissed, 0, entry, why});
    }
    // Changes of the port that took it away from the plan; while nothing
    // ran the port kept its last value.
    int lastOn = -1;
    for (size_t i = 0; i < out->spans.size(); i++) {
        const weekSpan_t &span = out->spans[i];
        if (span.kind != kindOn && span.kind != kindOff)
            continue;
        int isOn = span.kind == kindOn;
        bool changed = lastOn >= 0 && isOn != lastOn;
        lastOn = isOn;
        if (!changed || (bool)isOn == onAt(plan, span.start) || made[i] < 0)
            continue;
        const record_t &r = read.records[made[i]];
        out->unplanned++;
        out->differences.push_back({span.start, diffUnplanned, 0,
                                    r.entrySecond >= 0 ? entryText(r.entrySecond, r.entryState) : "none",
                                    unplannedWhy(read, made[i])});
    }
    std::stable_sort(out->differences.begin(), out->differences.end(),
                     [](const difference_t &a, const difference_t &b) { return a.second < b.second; });
}

}  // namespace

realWeek_t weekHolding(long long usec)
{
    time_t t = (time_t)(usec / 1000000);
    struct tm day;
    localtime_r(&t, &day);
    struct tm monday = {};
    monday.tm_year = day.tm_year;
    monday.tm_mon = day.tm_mon;
    monday.tm_mday = day.tm_mday - (day.tm_wday + 6) % 7;
    monday.tm_isdst = -1;
    struct tm next = monday;
    next.tm_mday += 7;
    realWeek_t week;
    week.startUsec = (long long)mktime(&monday) * 1000000;
    week.endUsec = (long long)mktime(&next) * 1000000;
    char date[16];
    strftime(date, sizeof date, "%Y-%m-%d", &monday);
    week.monday = date;
    return week;
}

int secondInWeek(const realWeek_t &week, long long usec)
{
    if (usec <= week.startUsec)
        return 0;
    if (usec >= week.endUsec)
        return weekSeconds;
    time_t t = (time_t)(usec / 1000000);
    struct tm local;
    localtime_r(&t, &local);
    return ((local.tm_wday + 6) % 7) * daySeconds + local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
}

// The on time and the changes between on and off of the week as switched,
// from..to: while nothing ran the port kept its value.
void actualFigures(const std::vector<weekSpan_t> &spans, int from, int to, int *onSeconds, int *changes)
{
    *onSeconds = 0;
    *changes = 0;
    int last = -1;
    for (size_t i = &spanAt(spans, from) - spans.data(); i < spans.size() && spans[i].start < to; i++) {
        const weekSpan_t &span = spans[i];
        if (span.kind == kindOn)
            *onSeconds += std::min(span.end, to) - std::max(span.start, from);
        if (span.kind != kindOn && span.kind != kindOff)
            continue;
        if (last >= 0 && last != span.kind && span.start >= from)
            (*changes)++;
        last = span.kind;
    }
}

std::string formatWeekSecond(int second)
{
    char text[32];
    snprintf(text, sizeof text, "%s %02d:%02d:%02d", dayNames[second / daySeconds % 7], second / 3600 % 24,
             second / 60 % 60, second % 60);
    return text;
}

void actualWeekFigures(const std::vector<weekSpan_t> &spans, int from, int to, int *onSeconds, int *changes)
{
    *onSeconds = *changes = 0;
    for (int day = 0; day < 7; day++) {
        int dayOn, dayChanges;
        actualFigures(spans, day * daySeconds + from, day * daySeconds + to, &dayOn, &dayChanges);
        *onSeconds += dayOn;
        *changes += dayChanges;
    }
}

std::string formatDelay(long long ms)
{
    char text[48];
    long long s = ms / 1000;
    if (s < 60)
        snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
    else if (s < 3600)
        snprintf(text, sizeof text, "%lld min %lld s", s / 60, s % 60);
    else
        snprintf(text, sizeof text, "%lld h %lld min", s / 3600, s / 60 % 60);
    return text;
}

void compareWeek(const std::vector<weekSpan_t> &plan, const realWeek_t &week, const recordRead_t &read,
                 weekActual_t *out)
{
    *out = weekActual_t();
    out->week = week;
    for (const record_t &r : read.records) {
        if (r.usec < week.startUsec || r.usec >= week.endUsec)
            continue;
        out->records++;
        bool refused = r.kind == recOther && r.text.find("Re-read refused") != std::string::npos;
        if (r.kind == recStarted || r.kind == recEnded || r.kind == recReread || r.kind == recLearned ||
            r.kind == recWriteFailed || r.kind == recDropped || refused)
            out->events.push_back({secondInWeek(week, r.usec), r.text});
    }
    std::vector<point_t> points = pointsOf(week, read);
    std::vector<int> made;
    spansOf(week, points, out, &made);
    compare(plan, week, read, made, out);
}
