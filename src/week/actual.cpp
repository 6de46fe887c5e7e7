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
// The system's record that it goes down comes before the service is
// stopped; the program's own time for its end may read a little earlier.
const long long clockSlackUsec = 1000000;

// A moment at which the week as switched took a new kind.
struct point_t {
    long long usec;
    int kind;          // kindOn, kindOff, kindIdle, kindUnknown
    std::string why;   // kindIdle: why nothing ran; kindUnknown: records lost
    int record;        // the record that made it, or -1
};

// A stretch the service's "lines lost" record covers.
struct loss_t {
    long long from;
    long long to;
    std::string why;
};

// What the record knows of the program at a moment.
enum runMode { modeUnknown, modeRunning, modeStopped };

long long bootEnd(const recordRead_t &read, const std::string &boot)
{
    for (const auto &b : read.bootEnds)
        if (b.first == boot)
            return b.second;
    return -1;
}

long long shutdownIn(const recordRead_t &read, const std::string &boot)
{
    for (const auto &s : read.shutdowns)
        if (s.first == boot)
            return s.second;
    return -1;
}

std::string withoutPrefix(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0 ? text.substr(prefix.size()) : text;
}

std::string endedWhy(const record_t &r)
{
    return "ended: " + withoutPrefix(r.text, "Ended: ");
}

bool holdsValue(const record_t &r)
{
    return r.kind == recInForce || r.kind == recSwitched;
}

// The stretches records were lost in, by the service's count of them: from
// the first lost to the last, or, from an older program, after the record
// before the count. The record on disk makes good a loss it kept every
// record across: one on either side, and all those numbered between.
std::vector<loss_t> lossesOf(const recordRead_t &read)
{
    std::vector<loss_t> losses;
    const std::vector<record_t> &recs = read.records;
    for (size_t i = 0; i < recs.size(); i++) {
        const record_t &r = recs[i];
        if (r.kind != recDropped)
            continue;
        long long from = r.lostFromUsec, to = r.lostToUsec;
        if (from < 0) {
            from = to = r.usec;
            for (size_t k = i; k-- > 0;) {
                if (recs[k].inJournal) {
                    from = recs[k].usec + 1;
                    break;
                }
            }
        }
        const record_t *before = nullptr, *after = nullptr;
        for (const record_t &d : recs) {
            if (d.onDisk && d.boot == r.boot && d.usec <= from)
                before = &d;
            if (d.onDisk && d.boot == r.boot && d.usec >= to && after == nullptr)
                after = &d;
        }
        long long kept = 0;
        for (const record_t &d : recs)
            kept += before != nullptr && after != nullptr && d.onDisk && d.seq >= before->seq && d.seq <= after->seq;
        if (before == nullptr || after == nullptr || kept != after->seq - before->seq + 1)
            losses.push_back({from, to, withoutPrefix(r.text, "Record: ")});
    }
    std::stable_sort(losses.begin(), losses.end(), [](const loss_t &a, const loss_t &b) { return a.from < b.from; });
    return losses;
}

// The record as moments of the week: what the port held while the program
// ran, when and why it did not run, and what is not known. Before the first
// record nothing is known: the record begins there, not the program.
std::vector<point_t> pointsOf(const realWeek_t &week, const recordRead_t &read, int32_t lines)
{
    std::vector<point_t> points;
    std::vector<loss_t> losses = lossesOf(read);
    size_t nextLoss = 0;
    int mode = modeUnknown;
    std::string why, boot;
    // When it stopped, the current run's last record, the end of a loss.
    long long idleSince = -1, lastSign = -1, lostUntil = -1;
    // Moments before the week all fall on its start: the last one stands.
    auto add = [&](long long usec, int kind, const std::string &text, int record) {
        usec = std::max(usec, week.startUsec);
        if (!points.empty())
            usec = std::max(usec, points.back().usec);
        if (!points.empty() && points.back().usec == usec)
            points.back() = {usec, kind, text, record};
        else
            points.push_back({usec, kind, text, record});
    };
    auto stop = [&](long long usec, const std::string &text) {
        mode = modeStopped;
        why = text;
        idleSince = usec;
        lostUntil = -1;
        add(usec, kindIdle, why, -1);
    };
    // Stopped by a signal as the machine went down: its boot ended soon
    // after, or the system recorded that it went down just before.
    auto byShutdown = [&](long long end) {
        long long down = shutdownIn(read, boot);
        return mode == modeStopped && why.find("signal") != std::string::npos &&
               ((end >= 0 && end - idleSince < shutdownUsec) ||
                (down >= 0 && down >= idleSince - shutdownUsec && down <= idleSince + clockSlackUsec));
    };
    // A boot that ended with nothing more of the service in it: the machine
    // went off then (or restarted), unless the program had ended already.
    auto bootOver = [&](long long untilUsec) {
        long long end = bootEnd(read, boot);
        if (end < 0 || end >= untilUsec)
            return;
        if (mode == modeRunning) {
            stop(end, "the machine was off (or restarting), the program's last record before");
        } else if (byShutdown(end)) {
            // Stopped by the shutdown itself: one stretch, and its name.
            why = "the machine was shut down";
            add(idleSince, kindIdle, why, -1);
        } else if (mode == modeUnknown || end > idleSince) {
            stop(end, "the machine was off (or restarting)");
        }
    };
    add(week.startUsec, kindUnknown, "", -1);
    for (size_t i = 0; i < read.records.size(); i++) {
        const record_t &r = read.records[i];
        for (; nextLoss < losses.size() && losses[nextLoss].from <= r.usec; nextLoss++) {
            if (mode == modeStopped)
                continue;
            mode = modeUnknown;
            add(losses[nextLoss].from, kindUnknown, losses[nextLoss].why, -1);
            lostUntil = std::max(lostUntil, losses[nextLoss].to);
        }
        if (!boot.empty() && r.boot != boot) {
            bootOver(r.usec);
            lastSign = -1;
        }
        boot = r.boot;
        if (holdsValue(r) && r.usec > lostUntil) {
            // A record kept amid lost ones says nothing of what came after.
            mode = modeRunning;
            lostUntil = -1;
            add(r.usec, (r.value & lines) != 0 ? kindOn : kindOff, "", (int)i);
        } else if (r.kind == recEnded) {
            stop(r.usec, endedWhy(r));
        } else if (r.kind == recStarted && mode != modeStopped) {
            // The run before ended without a record: from its last sign of
            // life, killed or crashed in this boot, or gone with its boot.
            long long sign = std::max(lastSign, r.previousAliveUsec);
            bool sameBoot = r.previousBoot.empty() || r.previousBoot == r.boot;
            if (sign >= 0)
                stop(sign, sameBoot ? "ended without a record: killed or crashed"
                                    : "the machine was off (or restarting), the program's last record before");
        }
        lastSign = r.usec;
    }
    // After the last record: the boot it was made in may have ended since,
    // or the system's own record may tell that the end was its shutdown.
    long long known = std::min(week.endUsec, read.lastUsec);
    if (!boot.empty()) {
        bootOver(known);
        if (byShutdown(-1)) {
            why = "the machine was shut down";
            add(idleSince, kindIdle, why, -1);
        }
    }
    if (known < week.endUsec)
        add(known, kindUnknown, "", -1);
    return points;
}

// The week's spans from the points, merged where the kind and its reason
// are the same; made[i] is the record that began span i, or -1.
void spansOf(const realWeek_t &week, const std::vector<point_t> &points, weekActual_t *out, std::vector<int> *made)
{
    std::vector<std::string> whys;
    for (size_t i = 0; i < points.size(); i++) {
        int start = secondInWeek(week, points[i].usec);
        int end = i + 1 < points.size() ? secondInWeek(week, points[i + 1].usec) : weekSeconds;
        if (end <= start)
            continue;
        const point_t &p = points[i];
        std::vector<idleSpan_t> *told = p.kind == kindIdle                        ? &out->idle
                                        : p.kind == kindUnknown && !p.why.empty() ? &out->lost
                                                                                  : nullptr;
        if (!out->spans.empty() && out->spans.back().kind == p.kind && whys.back() == p.why) {
            out->spans.back().end = end;
            if (told != nullptr)
                told->back().end = end;
            continue;
        }
        out->spans.push_back({start, end, p.kind, nullptr});
        whys.push_back(p.why);
        made->push_back(p.record);
        if (told != nullptr)
            told->push_back({start, end, p.why});
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

// A planned entry as the runner names it: a dated one with its date and why.
// Compared line by line, an entry of several sections is named for the
// line alone ("Mon 08:00:00 pump On"); one before any section is whole.
std::string entryText(const weekSpan_t &span, int32_t lines)
{
    char text[timedTextSize];
    timedEntry_t timed = span.timed;
    rtEvent_t weekly = span.entry != nullptr ? *span.entry : rtEvent_t();
    if ((span.hasTimed ? timed.mask : weekly.mask) != 0xFF) {
        timed.mask &= lines;
        weekly.mask &= lines;
    }
    timed.weekly = &weekly;
    if (span.hasTimed)
        formatTimed(text, sizeof text, timed);
    else if (span.entry != nullptr)
        formatEvent(text, sizeof text, &weekly);
    else
        return "none";
    return text;
}

// Whether a record's entry is the planned one, by the moment it names: a
// dated entry names its date and time, a weekly one its weekday and time
// (the record's own time gives the week). Only the moment counts: a weekly
// entry of another timetable that switched as the plan's dated one was due
// did what the plan says.
bool namesEntry(const record_t &r, const weekSpan_t &span)
{
    if (span.hasTimed && r.entryDate >= 0)
        return r.entryDate == span.timed.date && r.entrySecond % daySeconds == span.timed.second;
    if (span.hasTimed)
        return r.entrySecond == weekdayOf(span.timed.date) * daySeconds + span.timed.second;
    return span.entry != nullptr && r.entryDate < 0 && r.entrySecond == secondOfWeek(span.entry);
}

std::string entryText(int second, int state)
{
    return formatWeekSecond(second) + (state == -1 ? "" : state != 0 ? " On" : " Off");
}

const idleSpan_t *spanIn(const std::vector<idleSpan_t> &spans, int from, int to)
{
    for (const idleSpan_t &span : spans)
        if (span.start < to && span.end > from)
            return &span;
    return nullptr;
}

const idleSpan_t *idleIn(const weekActual_t &out, int from, int to)
{
    return spanIn(out.idle, from, to);
}

// The Switched record of the planned change of the entry of flip, made in
// [due, next): it was made, even where the week as drawn lost it to a
// stretch that began in the same second. -1 if none.
int switchedFor(const recordRead_t &read, const realWeek_t &week, const weekSpan_t &flip, bool on, int due, int next,
                int32_t lines, int *by)
{
    // The records are in time order: those of [due, next) lie together.
    const std::vector<record_t> &recs = read.records;
    auto first = std::partition_point(recs.begin(), recs.end(), [&](const record_t &r) {
        return r.usec < week.startUsec || secondInWeek(week, r.usec) < due;
    });
    for (auto r = first; r != recs.end() && r->usec < week.endUsec; ++r) {
        int at = secondInWeek(week, r->usec);
        if (at >= next)
            break;
        if (r->kind == recSwitched && namesEntry(*r, flip) && ((r->value & lines) != 0) == on) {
            *by = (int)(r - recs.begin());
            return at;
        }
    }
    return -1;
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
             const std::vector<int> &made, int32_t lines, weekActual_t *out)
{
    // The plan's changes: where on and off swap (no state counts as off).
    // The second before the week is a real week's first span.
    std::vector<const weekSpan_t *> flips;
    for (const weekSpan_t &span : plan) {
        if (span.start < 0)
            continue;
        bool before = onAt(plan, span.start - 1);
        if ((span.kind == kindOn) != before)
            flips.push_back(&span);
    }
    for (size_t i = 0; i < flips.size(); i++) {
        const weekSpan_t &flip = *flips[i];
        int due = flip.start;
        int next = i + 1 < flips.size() ? flips[i + 1]->start : weekSeconds;
        int kindThen = spanAt(out->spans, due).kind;
        bool on = flip.kind == kindOn;
        int by = -1, byRecord = -1;
        int at = kindThen != kindUnknown ? madeAt(*out, made, due, next, on, &by) : -1;
        int atRecord = switchedFor(read, week, flip, on, due, next, lines, &byRecord);
        bool recorded = atRecord >= 0 && (at < 0 || atRecord < at);
        if (recorded) {
            at = atRecord;
            by = byRecord;
        }
        // Due where records were lost, a change is neither made nor missed
        // as far as anyone can tell; beyond the record it is not counted.
        if (at < 0 && kindThen == kindUnknown) {
            if (spanIn(out->lost, due, due + 1) != nullptr) {
                out->planned++;
                out->notKnown++;
            }
            continue;
        }
        out->planned++;
        std::string entry = entryText(flip, lines);
        if (at >= 0 && at - due <= onTimeSeconds && (kindThen != kindIdle || recorded)) {
            out->onTime++;
            continue;
        }
        if (spanIn(out->lost, due, at >= 0 ? at : next) != nullptr && idleIn(*out, due, next) == nullptr) {
            out->notKnown++;
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
                                    !r.givenEntry.empty() ? r.givenEntry
                                    : r.entrySecond >= 0  ? entryText(r.entrySecond, r.entryState)
                                                          : "none",
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
    // From the Monday after: the week of 1970-01-01 begins in 1969.
    week.mondayDate = dateNumber(next.tm_year + 1900, next.tm_mon + 1, next.tm_mday) - 7;
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

std::string plannedText(const weekActual_t &a)
{
    std::string text = "Planned changes " + std::to_string(a.planned) + ": on time " + std::to_string(a.onTime) +
                       ", late " + std::to_string(a.late);
    if (a.late > 0)
        text += " (worst " + formatDelay(a.worstLateMs) + ")";
    text += ", missed " + std::to_string(a.missed);
    if (a.notKnown > 0)
        text += ", not known " + std::to_string(a.notKnown) + " (records lost)";
    return text + "; unplanned changes " + std::to_string(a.unplanned) + ".";
}

void compareWeek(const std::vector<weekSpan_t> &plan, const realWeek_t &week, const recordRead_t &read,
                 weekActual_t *out, int32_t lines)
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
    std::vector<point_t> points = pointsOf(week, read, lines);
    std::vector<int> made;
    spansOf(week, points, out, &made);
    compare(plan, week, read, made, lines, out);
}

void compareLines(const std::vector<lineRow_t> &rows, const realWeek_t &week, const recordRead_t &read,
                  weekActual_t *out)
{
    std::vector<weekActual_t> lines(rows.size());
    for (size_t r = 0; r < rows.size(); r++) {
        // Lines of one row switch alike: its first tells.
        compareWeek(rows[r].week, week, read, &lines[r], rows[r].mask & -rows[r].mask);
        for (difference_t &d : lines[r].differences)
            d.line = rows[r].name;
    }
    // What ran, what was lost and the events are the same for every line.
    *out = lines.empty() ? weekActual_t() : lines.front();
    out->planned = out->onTime = out->late = out->missed = out->notKnown = out->unplanned = 0;
    out->worstLateMs = 0;
    out->differences.clear();
    for (const weekActual_t &a : lines) {
        out->planned += a.planned;
        out->onTime += a.onTime;
        out->late += a.late;
        out->missed += a.missed;
        out->notKnown += a.notKnown;
        out->unplanned += a.unplanned;
        out->worstLateMs = std::max(out->worstLateMs, a.worstLateMs);
        out->differences.insert(out->differences.end(), a.differences.begin(), a.differences.end());
    }
    std::stable_sort(out->differences.begin(), out->differences.end(),
                     [](const difference_t &a, const difference_t &b) { return a.second < b.second; });
    out->lines = std::move(lines);
}
