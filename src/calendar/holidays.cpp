// holidays.cpp: an iCalendar file's all-day events as dated days, see
// holidays.h.
//
// Schools and states publish their holidays as .ics files, and every
// calendar program exports one: the file is read with libical, and each
// date an all-day event covers (DTEND not included) takes the kind the
// timetable's line gives. Recurrences (RRULE, RDATE, EXDATE) are the
// library's to expand, over a window that follows the clock: from January 1
// of last year to December 31 ten years ahead, as the local clock reads at
// the load. Events with a time of day are no holidays: they are counted,
// named once in a warning and left out.
//
// The file may come from anywhere, so nothing in it may make the program
// grow or run without bound: the file's size, its events and the dates its
// recurrences yield are capped, rules that recur within a day are refused,
// every rule ends with the window, and the expansion has a budget of
// processor time. A calendar beyond any of them is refused whole, as one
// that cannot be read: a holiday calendar read in part would ring the bell
// on the holidays left out. libical's icalcomponent_foreach_recurrence
// cannot be stopped from its callback, so its iterator is driven here one
// occurrence at a time, the exclusions asked of the library as it does.
//
// The static build for the minimal guest goes without libical (its static
// link would bring in ICU) and refuses every calendar, saying so.
#include "holidays.h"
#include "calendar.h"
#include "journal.h"
#include "platform.h"

#ifndef WEEKSWITCH_CALENDARS

int readHolidays(const std::string &path, int, int, int32_t, long long)
{
    report(JOURNAL_ERR, "ERROR:  Cannot read calendar:  '%s'\n", quotedText(path).c_str());
    reportDetail(JOURNAL_ERR, "This weekswitch was built without calendars.");
    return -1;
}

#else

#include <libical/ical.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Far beyond any real holiday calendar (a state's public and school
// holidays for ten years are a few hundred events, a few hundred KiB).
const size_t calendarMaxBytes = 4 << 20;
const size_t calendarMaxEvents = 20000;
// Every date the recurrences yield, and every day an event covers in the
// window, counts (a day covered twice counts twice).
const long calendarMaxDates = 100000;
// Processor time for the expansion: a real calendar takes milliseconds.
const double calendarMaxSeconds = 2.0;
const size_t summaryKeptBytes = 100;

// A date an event gives, and the event's summary (its index).
typedef std::pair<int32_t, size_t> givenDay_t;

// One calendar being read: what it gives and what it may still cost.
struct reading_t {
    std::string path;
    int kind, asDay;
    int32_t state;
    long long line;
    int32_t low, high;  // the window, as date numbers
    long dates;
    double startSeconds;
    // The days given, each with its event's summary: dated only once the
    // whole calendar has been read, so that a calendar refused gives none.
    std::vector<givenDay_t> given;
    std::vector<std::string> summaries;
    int timed;  // events with a time of day, left out
    std::string firstTimed;
    // Occurrences that an event of their UID with a RECURRENCE-ID moved or
    // cancelled: the rule's event no longer gives them.
    std::set<std::pair<std::string, int32_t>> replaced;
};

double processorSeconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

int refuse(const reading_t &r, const std::string &why)
{
    report(JOURNAL_ERR, "ERROR:  Cannot read calendar:  '%s'\n", quotedText(r.path).c_str());
    reportDetail(JOURNAL_ERR, "%s", why.c_str());
    return -1;
}

int refuseSystem(const reading_t &r, int err)
{
    report(JOURNAL_ERR, "ERROR:  Cannot read calendar:  '%s'\n", quotedText(r.path).c_str());
    reportSystemError(JOURNAL_ERR, err);
    return -1;
}

std::string summaryOf(icalcomponent *event)
{
    const char *summary = icalcomponent_get_summary(event);
    return summary != nullptr ? summary : "";
}

// What an event is called in a message: its summary, and its start as written.
std::string eventNamed(icalcomponent *event)
{
    struct icaltimetype t = icalcomponent_get_dtstart(event);
    char start[32] = "";
    if (!icaltime_is_null_time(t))
        snprintf(start, sizeof start, " of %04d-%02d-%02d", t.year, t.month, t.day);
    return "'" + quotedText(summaryOf(event)) + "'" + start;
}

// The whole file, opened without waiting (a FIFO would hold up a re-read
// under the service) and only a regular file. 0, or -1 after saying why.
int readCalendarText(const reading_t &r, std::string *text)
{
    int fd = open(r.path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return refuseSystem(r, errno);
    struct stat st;
    int err = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (err == 0 && !S_ISREG(st.st_mode)) {
        close(fd);
        return refuse(r, "Not a regular file.");
    }
    // The size may change while it is read: the cap holds for what is read.
    char buf[65536];
    ssize_t n = 0;
    while (err == 0 && text->size() <= calendarMaxBytes && (n = read(fd, buf, sizeof buf)) != 0) {
        if (n < 0 && errno != EINTR)
            err = errno;
        else if (n > 0)
            text->append(buf, (size_t)n);
    }
    close(fd);
    if (err != 0)
        return refuseSystem(r, err);
    if (text->size() > calendarMaxBytes)
        return refuse(r, "Larger than 4 MiB: no holiday calendar is so large.");
    // The parser would stop at a NUL byte and drop the rest unseen.
    if (text->find('\0') != std::string::npos)
        return refuse(r, "Holds a NUL byte: not a text file.");
    return 0;
}

// The first of the parser's complaints (X-LIC-ERROR) in comp and below.
const char *firstParseError(icalcomponent *comp)
{
    icalproperty *error = icalcomponent_get_first_property(comp, ICAL_XLICERROR_PROPERTY);
    if (error != nullptr)
        return icalproperty_get_xlicerror(error);
    for (icalcomponent *c = icalcomponent_get_first_component(comp, ICAL_ANY_COMPONENT); c != nullptr;
         c = icalcomponent_get_next_component(comp, ICAL_ANY_COMPONENT)) {
        const char *found = firstParseError(c);
        if (found != nullptr)
            return found;
    }
    return nullptr;
}

// The events of a VCALENDAR, or of each VCALENDAR of a file of several.
void eventsOf(icalcomponent *root, std::vector<icalcomponent *> *events)
{
    std::vector<icalcomponent *> calendars;
    if (icalcomponent_isa(root) == ICAL_VCALENDAR_COMPONENT)
        calendars.push_back(root);
    else
        for (icalcomponent *c = icalcomponent_get_first_component(root, ICAL_VCALENDAR_COMPONENT); c != nullptr;
             c = icalcomponent_get_next_component(root, ICAL_VCALENDAR_COMPONENT))
            calendars.push_back(c);
    for (icalcomponent *cal : calendars)
        for (icalcomponent *e = icalcomponent_get_first_component(cal, ICAL_VEVENT_COMPONENT); e != nullptr;
             e = icalcomponent_get_next_component(cal, ICAL_VEVENT_COMPONENT))
            events->push_back(e);
}

// A date before 1970 lies before any window and gives no day: published
// holiday calendars start their yearly rules in 1900 and the like.
const int32_t beforeWindow = -1000000;

int32_t dateOf(struct icaltimetype t)
{
    return t.year >= 1 && t.year < 1970 ? beforeWindow : dateNumber(t.year, t.month, t.day);
}

struct icaltimetype icalDateOf(int32_t date)
{
    struct icaltimetype t = icaltime_null_date();
    dateOfNumber(date, &t.year, &t.month, &t.day);
    return t;
}

// Counts dates against the cap, and the time spent against the budget.
int charge(reading_t &r, long dates)
{
    r.dates += dates;
    if (r.dates > calendarMaxDates)
        return refuse(r, "Its events give more than 100,000 dates.");
    if (processorSeconds() - r.startSeconds > calendarMaxSeconds)
        return refuse(r, "Its recurrences take more than 2 s to expand.");
    return 0;
}

// The days days from start in the window, of the event read last (a date
// the library yielded, counted with them); -1 after saying why not.
int giveDays(reading_t &r, int32_t start, int days)
{
    int32_t from = std::max(start, r.low), to = std::min(start + days - 1, r.high);
    if (charge(r, 1 + std::max(0, to - from + 1)) != 0)
        return -1;
    for (int32_t date = from; date <= to; date++)
        r.given.push_back({date, r.summaries.size() - 1});
    return 0;
}

// An event's properties of one kind. Walking them is walking the event's
// one property cursor, which the library's own questions move (EXDATEs
// looked up): they are taken first.
std::vector<icalproperty *> propertiesOf(icalcomponent *event, icalproperty_kind kind)
{
    std::vector<icalproperty *> found;
    for (icalproperty *p = icalcomponent_get_first_property(event, kind); p != nullptr;
         p = icalcomponent_get_next_property(event, kind))
        found.push_back(p);
    return found;
}

std::string uidOf(icalcomponent *event)
{
    const char *uid = icalcomponent_get_uid(event);
    return uid != nullptr ? uid : "";
}

bool hasRecurrenceId(icalcomponent *event)
{
    return icalcomponent_get_first_property(event, ICAL_RECURRENCEID_PROPERTY) != nullptr;
}

// An occurrence the event's EXDATEs take out (the library's judgement), or
// another event of its UID replaced.
bool leftOut(const reading_t &r, icalcomponent *event, struct icaltimetype *start, struct icaltimetype *t)
{
    return icalproperty_recurrence_is_excluded(event, start, t) ||
           (!hasRecurrenceId(event) && r.replaced.count({uidOf(event), dateOf(*t)}) != 0);
}

// The dates of one all-day event: its start, its rules' dates and its
// RDATEs, less its EXDATEs and the occurrences replaced, each covering the
// event's days.
int expandEvent(reading_t &r, icalcomponent *event)
{
    struct icaltimetype start = icalcomponent_get_dtstart(event);
    struct icaltimetype end = icalcomponent_get_dtend(event);
    int32_t first = dateOf(start);
    if (first == -1)
        return refuse(r, "Bad date (none, or not in 1..9999) in the event " + eventNamed(event) + ".");
    if (end.is_date && !icaltime_is_null_time(end) && dateOf(end) == -1)
        return refuse(r, "Bad end date in the event " + eventNamed(event) + ".");
    // DTEND is the first day after; without DTEND or DURATION, one day.
    icaltimezone *utc = icaltimezone_get_utc_timezone();
    long long seconds = icaltime_is_null_time(end) ? 0
                        : (long long)icaltime_as_timet_with_zone(end, utc) - icaltime_as_timet_with_zone(start, utc);
    if (seconds < 0)
        return refuse(r, "The event " + eventNamed(event) + " ends before it starts.");
    if (seconds > (long long)longestRangeDays * 86400)
        return refuse(r, "The event " + eventNamed(event) + " is longer than three years.");
    int days = std::max(1, (int)((seconds + 86399) / 86400));
    r.summaries.push_back(summaryOf(event).substr(0, summaryKeptBytes));

    if (leftOut(r, event, &start, &start) ? charge(r, 1) != 0
                                                                     : giveDays(r, first, days) != 0)
        return -1;
    for (icalproperty *p : propertiesOf(event, ICAL_RRULE_PROPERTY)) {
        struct icalrecurrencetype rule = icalproperty_get_rrule(p);
        // A rule within the day yields one date many times over, and one
        // that matches nothing walks every second until the library's last
        // year.
        if (rule.freq < ICAL_DAILY_RECURRENCE || rule.freq == ICAL_NO_RECURRENCE ||
            rule.by_hour[0] != ICAL_RECURRENCE_ARRAY_MAX || rule.by_minute[0] != ICAL_RECURRENCE_ARRAY_MAX ||
            rule.by_second[0] != ICAL_RECURRENCE_ARRAY_MAX)
            return refuse(r, "The event " + eventNamed(event) + " recurs within a day.");
        // Nothing after the window counts: the rule ends there, so that
        // even a rule that never matches stops walking there.
        struct icaltimetype last = icalDateOf(r.high);
        if (icaltime_is_null_time(rule.until) || icaltime_compare_date_only(rule.until, last) > 0)
            rule.until = last;
        icalrecur_iterator *it = icalrecur_iterator_new(rule, start);
        if (it == nullptr)
            return refuse(r, "The event " + eventNamed(event) + " has a rule the library cannot expand.");
        // Without a COUNT the rule may start at the window, less the event's
        // length (an event begun before it reaches into it).
        if (rule.count == 0)
            icalrecur_iterator_set_start(it, icalDateOf(r.low - days + 1));
        int status = 0;
        struct icaltimetype t;
        while (status == 0 && !icaltime_is_null_time(t = icalrecur_iterator_next(it))) {
            int32_t date = dateOf(t);
            if (date == -1 || date > r.high)
                break;
            if (date == first || leftOut(r, event, &start, &t))
                status = charge(r, 1);
            else
                status = giveDays(r, date, days);
        }
        icalrecur_iterator_free(it);
        if (status != 0)
            return -1;
    }
    for (icalproperty *p : propertiesOf(event, ICAL_RDATE_PROPERTY)) {
        struct icaldatetimeperiodtype rdate = icalproperty_get_rdate(p);
        struct icaltimetype t = icaltime_is_null_time(rdate.time) ? rdate.period.start : rdate.time;
        int32_t date = dateOf(t);
        if (date == -1)
            return refuse(r, "Bad RDATE (none, or not in 1..9999) in the event " + eventNamed(event) + ".");
        if (leftOut(r, event, &start, &t) ? charge(r, 1) != 0
                                                                     : giveDays(r, date, days) != 0)
            return -1;
    }
    return 0;
}

int readCalendar(reading_t &r, icalcomponent *root)
{
    if (root == nullptr ||
        (icalcomponent_isa(root) != ICAL_VCALENDAR_COMPONENT &&
         icalcomponent_get_first_component(root, ICAL_VCALENDAR_COMPONENT) == nullptr))
        return refuse(r, "Not an iCalendar file: no BEGIN:VCALENDAR to END:VCALENDAR.");
    const char *error = firstParseError(root);
    if (error != nullptr)
        return refuse(r, "'" + quotedText(error) + "'");
    std::vector<icalcomponent *> events;
    eventsOf(root, &events);
    if (events.size() > calendarMaxEvents)
        return refuse(r, "More than 20,000 events: no holiday calendar has so many.");
    for (icalcomponent *event : events)
        if (hasRecurrenceId(event))
            r.replaced.insert({uidOf(event), dateOf(icalcomponent_get_recurrenceid(event))});
    for (icalcomponent *event : events) {
        if (icalcomponent_get_status(event) == ICAL_STATUS_CANCELLED)
            continue;
        struct icaltimetype start = icalcomponent_get_dtstart(event);
        if (!icaltime_is_null_time(start) && !start.is_date) {
            if (r.timed++ == 0)
                r.firstTimed = eventNamed(event);
            continue;
        }
        if (expandEvent(r, event) != 0)
            return -1;
    }
    return 0;
}

}  // namespace

int readHolidays(const std::string &path, int kind, int asDay, int32_t state, long long line)
{
    reading_t r = {path, kind, asDay, state, line, 0, 0, 0, processorSeconds(), {}, {}, 0, "", {}};
    // The machine's clock (the simulated one in the tests) sets the window.
    struct tm local = {};
    localTime(&local);
    int year = local.tm_year + 1900;
    r.low = dateNumber(std::max(1970, std::min(9999, year - 1)), 1, 1);
    r.high = dateNumber(std::max(1970, std::min(9999, year + 10)), 12, 31);
    std::string text;
    if (readCalendarText(r, &text) != 0)
        return -1;
    // Never libical's abort on its own errors: the calendar is refused instead.
    icalerror_set_errors_are_fatal(0);
    icalcomponent *root = icalparser_parse_string(text.c_str());
    int status = readCalendar(r, root);
    if (root != nullptr)
        icalcomponent_free(root);
    if (status != 0)
        return -1;
    // Overlapping events of the calendar give a date twice: no conflict,
    // the first event names it.
    std::stable_sort(r.given.begin(), r.given.end(),
                     [](const givenDay_t &a, const givenDay_t &b) {
                         return a.first < b.first;
                     });
    r.given.erase(std::unique(r.given.begin(), r.given.end(),
                              [](const givenDay_t &a, const givenDay_t &b) {
                                  return a.first == b.first;
                              }),
                  r.given.end());
    int twice = 0;
    int32_t firstTwice = 0;
    long long earlier = 0;
    for (const auto &g : r.given) {
        long long other = claimDate(g.first, kind, asDay, state, line);
        if (other == 0)
            datedDays[g.first].summary = r.summaries[g.second];
        else if (twice++ == 0) {
            firstTwice = g.first;
            earlier = other;
        }
    }
    if (twice > 0)
        reportDatedTwice(firstTwice, twice - 1, earlier, line, "");
    if (r.timed > 0)
        report(JOURNAL_WARNING, "Warning:  Events with a time of day skipped:  %d in '%s', the first %s\n", r.timed,
               quotedText(path).c_str(), r.firstTimed.c_str());
    return 0;
}

#endif
