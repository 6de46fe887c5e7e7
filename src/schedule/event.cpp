// event.cpp: one timetable record built from text, and printed back.
//
// The clock sample and the file records go through the same parseEvent, so
// their keys are always comparable.
#include "schedule.h"
#include "journal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char *const dayNames[8] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun", "BAD DAY"};

static const char *const dayPrefixes[7] = {"mo", "tu", "we", "th", "fr", "sa", "su"};

static char lowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

int parseDay(const char *text)
{
    if (text == nullptr || text[0] == '\0' || text[1] == '\0')
        return 7;
    char first = lowerAscii(text[0]);
    char second = lowerAscii(text[1]);
    for (int day = 0; day < 7; day++) {
        if (first == dayPrefixes[day][0] && second == dayPrefixes[day][1])
            return day;
    }
    return 7;
}

int32_t dateNumber(int year, int month, int day)
{
    static const int monthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1970 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > monthDays[month - 1] + (month == 2 && leap ? 1 : 0))
        return -1;
    // Days from civil, counting years from March so the leap day comes last.
    int y = month <= 2 ? year - 1 : year;
    int era = y / 400, yearOfEra = y - era * 400;
    int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

void dateOfNumber(int32_t date, int *year, int *month, int *day)
{
    int z = date + 719468;
    int era = z / 146097, dayOfEra = z - era * 146097;
    int yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    int dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    int mp = (5 * dayOfYear + 2) / 153;
    *day = dayOfYear - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = yearOfEra + era * 400 + (*month <= 2 ? 1 : 0);
}

int weekdayOf(int32_t date)
{
    // 1970-01-01 was a Thursday.
    return (int)((date % 7 + 7 + 3) % 7);
}

void formatDate(char *out, int32_t date)
{
    int year, month, day;
    dateOfNumber(date, &year, &month, &day);
    snprintf(out, 16, "%04d-%02d-%02d", year, month, day);
}

int toBcd(int n)
{
    return (n / 10) << 4 | (n % 10);
}

int32_t readCInt(const char *text)
{
    errno = 0;
    long long value = strtoll(text, nullptr, 0);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return (int32_t)value;
}

// Hour, minute and second of a time text such as "7:5" or "8::30"; a run of
// colons is one separator and a missing piece stays 0.
static void splitTime(const char *timeText, int32_t *parts)
{
    char copy[9];
    strncpy(copy, timeText, 8);
    copy[8] = '\0';
    parts[0] = parts[1] = parts[2] = 0;
    char *save = nullptr;
    char *piece = strtok_r(copy, ":", &save);
    for (int i = 0; i < 3 && piece != nullptr; i++) {
        parts[i] = (int32_t)strtol(piece, nullptr, 10);
        piece = strtok_r(nullptr, ":", &save);
    }
}

int parseEvent(rtEvent_t *ev, const char *dayText, const char *timeText, int32_t value)
{
    ev->day = parseDay(dayText);
    if (ev->day == 7) {
        report(JOURNAL_ERR, "ERROR:  Bad day value:  '%.3s'\n", dayText);
        return -1;
    }
    int32_t parts[3];
    splitTime(timeText, parts);
    ev->hour = parts[0];
    ev->min = parts[1];
    ev->sec = parts[2];
    if (ev->hour < 0 || ev->hour > 23 || ev->min < 0 || ev->min > 59 || ev->sec < 0 || ev->sec > 59) {
        report(JOURNAL_ERR, "ERROR:  Bad time value:  '%2d:%2d:%2d'\n", ev->hour, ev->min, ev->sec);
        return -1;
    }
    ev->dayTime = ev->day;
    ev->dayTime = ev->dayTime << 8 | toBcd(ev->hour);
    ev->dayTime = ev->dayTime << 8 | toBcd(ev->min);
    ev->dayTime = ev->dayTime << 8 | toBcd(ev->sec);
    ev->state = (value == 0 || value == -1) ? value : 255;
    ev->mask = 0xFF;
    ev->bits = ev->state == 255 ? 0xFF : 0;
    ev->unset = ev->state == -1 ? 0xFF : 0;
    return 0;
}

std::string lineNames[8];
bool sectionsUsed;

std::string linesText(int32_t mask, int32_t bits, int32_t unset)
{
    auto wordOf = [](int32_t lines, int32_t on, int32_t none) {
        return (lines & none) == lines ? "" : (lines & on) == lines ? "On" : "Off";
    };
    if (mask == 0)
        return "";  // the clock sample: a moment, no entry
    if (mask == 0xFF && !sectionsUsed) {
        std::string word = wordOf(0xFF, bits, unset);
        return word.empty() ? "" : " " + word;
    }
    // Every line alike: "all On".
    std::string all = wordOf(0xFF, bits, unset);
    if (mask == 0xFF && (bits == 0xFF || unset == 0xFF || (bits | unset) == 0))
        return all.empty() ? " all no state" : " all " + all;
    // Lines of one name together, in the order of their first line.
    std::string text;
    int32_t done = 0;
    for (int line = 0; line < 8; line++) {
        if (!(mask >> line & 1) || (done >> line & 1))
            continue;
        int32_t group = 0;
        for (int other = line; other < 8; other++)
            if ((mask >> other & 1) && !lineNames[line].empty() && lineNames[other] == lineNames[line])
                group |= 1 << other;
        if (group == 0)
            group = 1 << line;
        done |= group;
        std::string name = !lineNames[line].empty() ? lineNames[line] : "line " + std::to_string(line + 1);
        std::string word = wordOf(group, bits, unset);
        text += (text.empty() ? " " : ", ") + name + (word.empty() ? " no state" : " " + word);
    }
    return text;
}

int formatEvent(char *out, size_t size, const rtEvent_t *ev)
{
    return snprintf(out, size, "%s %2.2X:%2.2X:%2.2X%s", dayNames[(ev->dayTime >> 24) & 7],
                    (ev->dayTime >> 16) & 0xFF, (ev->dayTime >> 8) & 0xFF, ev->dayTime & 0xFF,
                    linesText(ev->mask, ev->bits, ev->unset).c_str());
}

int printEvent(const rtEvent_t *ev, const char *suffix)
{
    char text[eventTextSize];
    formatEvent(text, sizeof text, ev);
    printf("%s%s", text, suffix != nullptr ? suffix : "");
    return 0;
}
