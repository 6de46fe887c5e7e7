// grid.cpp: the week as a grid in the terminal, one row a day, one column a
// slot of the day.
//
// A column shows a state only when that state fills the whole slot; a slot
// with one change shows which way the lines went and a slot with more shows
// that it holds several, so a short pulse can never vanish in a wide column.
// A real week marks its dated days by their names and says below what each
// does: the row alone cannot tell a holiday from a quiet day. A timetable
// with sections gives each day a row of its name and a row for each line
// below it, the line's name at the left: the lines switch on their own, so
// one row for the output would show none of them as it runs.
#include "week.h"
#include "actual.h"

#include <algorithm>
#include <cstdio>

namespace {

// Day label (marker, name, gap) and the two figures at the end of a row;
// beside the record the label also names the row ("plan", "real").
const int plainLabelWidth = 6;
const int actualLabelWidth = 11;
const int statsWidth = 16;
int labelWidth = plainLabelWidth;
// Differences listed under a week, at most; the marks show them all.
const int listedDifferences = 40;

// Slot and ruler steps in seconds, finest first.
const int slotSteps[] = {1, 2, 5, 10, 15, 20, 30, 60, 120, 300, 600, 900, 1200, 1800, 3600, 7200};
const int labelSteps[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800,
                          3600, 7200, 10800, 21600, 43200, 86400};

enum cellKind { cellOff, cellOn, cellNone, cellRise, cellFall, cellSeveral, cellIdle, cellUnknown, cellLost };

struct glyphSet_t {
    const char *cell[9];
};

const glyphSet_t asciiGlyphs = {{".", "#", "-", "/", "\\", "*", "x", " ", "?"}};
const glyphSet_t unicodeGlyphs = {{"\u00b7", "\u2588", "\u2591", "\u2590", "\u258c", "*", "\u00d7", " ", "?"}};
const char *const cellColours[9] = {"90", "32", "33", "32", "32", "1;35", "31", "0", "1;33"};
// The marks under a week as switched, by differenceKind; '+' where several
// fall in one column.
const char markLetters[] = {'L', 'M', 'U'};
const char *const markColours[] = {"33", "1;31", "1;34"};

int columnsFor(int range, int slot)
{
    return (range + slot - 1) / slot;
}

// The finest slot that fits, preferring one that starts the columns on a
// round time.
int chooseSlot(const weekView_t &view, int width)
{
    int room = width - labelWidth - statsWidth;
    int range = view.to - view.from;
    for (int aligned = 1; aligned >= 0; aligned--) {
        for (int slot : slotSteps) {
            if (aligned && view.from % slot != 0)
                continue;
            if (columnsFor(range, slot) <= room)
                return slot;
        }
    }
    return slotSteps[sizeof slotSteps / sizeof slotSteps[0] - 1];
}

std::string clockText(int second, int step)
{
    char text[16];
    if (step % 3600 == 0)
        snprintf(text, sizeof text, "%02d", second / 3600);
    else if (step % 60 == 0)
        snprintf(text, sizeof text, "%02d:%02d", second / 3600, second / 60 % 60);
    else
        snprintf(text, sizeof text, "%02d:%02d:%02d", second / 3600, second / 60 % 60, second % 60);
    return text;
}

// Labels far enough apart to be read, on whole slots.
int chooseLabelStep(int slot)
{
    for (int step : labelSteps) {
        if (step % slot == 0 && step / slot >= (int)clockText(0, step).size() + 2)
            return step;
    }
    return labelSteps[sizeof labelSteps / sizeof labelSteps[0] - 1];
}

std::string slotName(int slot)
{
    char text[32];
    if (slot % 3600 == 0)
        snprintf(text, sizeof text, "%d h", slot / 3600);
    else if (slot % 60 == 0)
        snprintf(text, sizeof text, "%d min", slot / 60);
    else
        snprintf(text, sizeof text, "%d s", slot);
    return text;
}

// A slot of the week as switched: where the program did not run for part
// of it, that shows, then where records were lost; beyond the record is
// blank.
int actualCellOf(const weekActual_t &actual, int from, int to)
{
    const std::vector<weekSpan_t> &spans = actual.spans;
    bool idle = false, known = false;
    for (size_t i = &spanAt(spans, from) - spans.data(); i < spans.size() && spans[i].start < to; i++) {
        idle = idle || spans[i].kind == kindIdle;
        known = known || spans[i].kind != kindUnknown;
    }
    if (idle)
        return cellIdle;
    for (const idleSpan_t &lost : actual.lost)
        if (lost.start < to && lost.end > from)
            return cellLost;
    if (!known)
        return cellUnknown;
    stretch_t s = summarise(spans, from, to);
    if (s.changes > 1 || (s.changes == 1 && s.first != kindUnknown && s.last != kindUnknown))
        return s.changes > 1 ? cellSeveral : s.last == kindOn ? cellRise : cellFall;
    int kind = s.first == kindUnknown ? s.last : s.first;
    return kind == kindOn ? cellOn : cellOff;
}

int cellOf(const stretch_t &s)
{
    if (s.changes > 1)
        return cellSeveral;
    if (s.changes == 1 && (s.first == kindOn) != (s.last == kindOn))
        return s.last == kindOn ? cellRise : cellFall;
    // Off and no state both leave the lines off; no state wins the slot so
    // that a -1 entry never disappears.
    if (s.changes == 1)
        return cellNone;
    return s.first == kindOn ? cellOn : s.first == kindOff ? cellOff : cellNone;
}

struct layout_t {
    int slot;
    int columns;
    int labelStep;
};

void printRuler(const weekView_t &view, const layout_t &lay, int nowColumn)
{
    std::string labels(lay.columns, ' ');
    std::string ticks(lay.columns, '-');
    int first = (view.from + lay.labelStep - 1) / lay.labelStep * lay.labelStep;
    int freeFrom = 0;
    for (int t = first; t < view.to; t += lay.labelStep) {
        int column = (t - view.from) / lay.slot;
        std::string text = clockText(t, lay.labelStep);
        if (column < freeFrom || column + (int)text.size() > lay.columns)
            continue;
        labels.replace(column, text.size(), text);
        freeFrom = column + (int)text.size() + 1;
        ticks[column] = '|';
    }
    if (lay.slot < 3600) {
        for (int t = (view.from + 3599) / 3600 * 3600; t < view.to; t += 3600) {
            int column = (t - view.from) / lay.slot;
            if (ticks[column] == '-')
                ticks[column] = ':';
        }
    }
    if (nowColumn >= 0)
        ticks[nowColumn] = 'v';
    printf("%*s%s %8s %6s\n", labelWidth, "", labels.c_str(), "hours on", "switch");
    printf("%*s%s\n", labelWidth, "", ticks.c_str());
}

void printCell(int cell, bool isNow, const gridStyle_t &style)
{
    const glyphSet_t &glyphs = style.unicode ? unicodeGlyphs : asciiGlyphs;
    if (!style.colour) {
        fputs(glyphs.cell[cell], stdout);
        return;
    }
    printf("\033[%s%sm%s\033[0m", cellColours[cell], isNow ? ";7" : "", glyphs.cell[cell]);
}

// What the Now line says of the output: on or off, or with sections its
// byte and each line's state.
std::string nowState(const weekView_t &view, int kind)
{
    if (view.lines.empty())
        return kind == kindOn ? "on" : kind == kindOff ? "off" : "off, no state";
    char port[16];
    snprintf(port, sizeof port, "port 0x%02X", rowsPortValue(view.lines, view.now));
    return std::string(port) + " (" + rowStates(view.lines, view.now) + ")";
}

// The EVENT and next lines as the runner prints them: with sections, the
// byte each leaves on the port.
void printEventPair(const weekView_t &view, const char *now, const char *after, int32_t nextMask, int32_t nextBits)
{
    if (view.lines.empty()) {
        printf("\nEVENT:  %s\n next:  %s\n", now, after);
        return;
    }
    int value = rowsPortValue(view.lines, view.now);
    printf("\nEVENT:  %s, port 0x%02X\n next:  %s, port 0x%02X\n", now, value, after,
           ((value & ~nextMask) | nextBits) & 0xFF);
}

void printNowLine(const std::vector<weekSpan_t> &week, const weekView_t &view, bool shown)
{
    int day = view.now / daySeconds;
    int second = view.now % daySeconds;
    const weekSpan_t &span = spanAt(week, view.now);
    printf("Now (%s):  %s %02d:%02d:%02d%s, %s", shown ? "> v" : ">", dayNames[day], second / 3600,
           second / 60 % 60, second % 60, shown ? "" : " (outside the hours shown)", nowState(view, span.kind).c_str());
    if (span.entry == nullptr) {
        printf(": no entry in force\n");
        return;
    }
    // The lines the runner itself prints for the entry in force.
    char now[eventTextSize], after[eventTextSize];
    formatEvent(now, sizeof now, span.entry);
    formatEvent(after, sizeof after, span.entry->next);
    printEventPair(view, now, after, span.entry->next->mask, span.entry->next->bits);
}

// The runner names the next change with its date unless it is the ring's
// next entry after a weekly one.
bool nextIsUsual(const timedEntry_t &now, const timedEntry_t &next)
{
    return now.why == whyWeekly && next.why == whyWeekly && next.weekly == now.weekly->next &&
           next.date - now.date <= 7;
}

// The same for a real week, asked of the timeline: what the runner prints.
void printRealNowLine(const weekView_t &view, bool shown)
{
    int32_t date = view.monday + view.now / daySeconds;
    int second = view.now % daySeconds;
    char day[16];
    formatDate(day, date);
    timedEntry_t inForce, next;
    bool any = timelineAt(date, second, &inForce, &next) == 0;
    printf("Now (%s):  %s %s %02d:%02d:%02d%s, %s", shown ? "> v" : ">", dayNames[weekdayOf(date)], day,
           second / 3600, second / 60 % 60, second % 60, shown ? "" : " (outside the hours shown)",
           nowState(view, any ? kindOfState(inForce.state) : kindNone).c_str());
    if (!any) {
        printf(": no entry in force\n");
        return;
    }
    char now[timedTextSize], after[timedTextSize];
    formatTimed(now, sizeof now, inForce);
    formatTimed(after, sizeof after, next, !nextIsUsual(inForce, next));
    printEventPair(view, now, after, next.mask, next.bits);
}

// Below a real week: its dated days.
void printDatedDays(const std::vector<weekSpan_t> &week, const weekView_t &view)
{
    std::vector<std::string> lines = datedWeekLines(week, view.monday);
    if (!lines.empty())
        printf("\n");
    for (const std::string &line : lines)
        printf("%s\n", line.c_str());
}

void printMarks(const weekActual_t &actual, int day, const weekView_t &view, const layout_t &lay,
                const gridStyle_t &style)
{
    std::string marks(lay.columns, ' ');
    std::vector<int> kinds(lay.columns, -1);
    bool any = false;
    for (const difference_t &d : actual.differences) {
        int second = d.second - day * daySeconds;
        if (second < view.from || second >= view.to)
            continue;
        int column = (second - view.from) / lay.slot;
        marks[column] = marks[column] == ' ' ? markLetters[d.kind] : '+';
        kinds[column] = d.kind;
        any = true;
    }
    if (!any)
        return;
    printf("%*s", labelWidth, "");
    int last = (int)marks.find_last_not_of(' ');
    for (int column = 0; column <= last; column++) {
        if (style.colour && marks[column] != ' ')
            printf("\033[%sm%c\033[0m", marks[column] == '+' ? "1;35" : markColours[kinds[column]], marks[column]);
        else
            putchar(marks[column]);
    }
    printf("\n");
}

void printStretches(const char *title, const std::vector<idleSpan_t> &spans)
{
    if (!spans.empty())
        printf("%s\n", title);
    for (const idleSpan_t &span : spans)
        printf("  %s - %s  %s\n", formatWeekSecond(span.start).c_str(),
               span.end >= weekSeconds ? "end of week " : formatWeekSecond(span.end).c_str(), span.why.c_str());
}

// Below a week as switched: what the plan was, what the record says, the
// counts, when nothing ran and why, and each difference with its reason.
void printActualSummary(const weekActual_t &a, const weekView_t &view)
{
    printf("\nPlan: %s as it is now; the record may show other timetables, re-read or learned since.\n",
           view.title.c_str());
    printf("Record: %s, %d record%s in this week.\n", a.source.c_str(), a.records,
           a.records == 1 ? "" : "s");
    printf("%s\n", plannedText(a).c_str());
    for (size_t r = 0; r < a.lines.size(); r++)
        printf("  %s: %s\n", view.lines[r].name.c_str(), plannedText(a.lines[r]).c_str());
    printStretches("Nothing ran:", a.idle);
    printStretches("Not known, records lost:", a.lost);
    if (!a.events.empty())
        printf("Events:\n");
    int told = 0;
    for (const auto &event : a.events) {
        if (told++ == listedDifferences) {
            printf("  ... and %d more\n", (int)a.events.size() - listedDifferences);
            break;
        }
        printf("  %s  %s\n", formatWeekSecond(event.first).c_str(), event.second.c_str());
    }
    if (!a.differences.empty())
        printf("Differences (L late, M missed, U unplanned):\n");
    int listed = 0;
    for (const difference_t &d : a.differences) {
        if (listed++ == listedDifferences) {
            printf("  ... and %d more\n", (int)a.differences.size() - listedDifferences);
            break;
        }
        std::string what = d.kind == diffLate ? "late by " + formatDelay(d.lateMs)
                           : d.kind == diffMissed ? std::string("missed")
                                                  : std::string("unplanned");
        printf("  %c %s  %s%s%s: %s, %s\n", markLetters[d.kind], formatWeekSecond(d.second).c_str(), d.line.c_str(),
               d.line.empty() ? "" : " ", what.c_str(), d.entry.c_str(), d.why.c_str());
    }
}

// One row's columns of a day, planned, and its figures.
stretch_t printPlanRow(const std::vector<weekSpan_t> &week, int dayStart, const weekView_t &view, const layout_t &lay,
                       const gridStyle_t &style, int nowColumn)
{
    for (int column = 0; column < lay.columns; column++) {
        int from = dayStart + view.from + column * lay.slot;
        int to = std::min(from + lay.slot, dayStart + view.to);
        printCell(cellOf(summarise(week, from, to)), column == nowColumn, style);
    }
    stretch_t whole = summarise(week, dayStart + view.from, dayStart + view.to);
    printf(" %8s %6d\n", formatDuration(whole.onSeconds).c_str(), whole.switchings);
    return whole;
}

// The same as switched; the on time and the changes are added to *on and
// *changes.
void printRealRow(const weekActual_t &actual, int dayStart, const weekView_t &view, const layout_t &lay,
                  const gridStyle_t &style, int *on, int *changes)
{
    for (int column = 0; column < lay.columns; column++) {
        int from = dayStart + view.from + column * lay.slot;
        int to = std::min(from + lay.slot, dayStart + view.to);
        printCell(actualCellOf(actual, from, to), false, style);
    }
    int onSeconds, changed;
    actualFigures(actual.spans, dayStart + view.from, dayStart + view.to, &onSeconds, &changed);
    printf(" %8s %6d\n", formatDuration(onSeconds).c_str(), changed);
    *on += onSeconds;
    *changes += changed;
}

// A label of labelWidth columns, the text at the left or the right.
void printLabel(const std::string &text, bool right)
{
    int pad = std::max(0, labelWidth - textColumns(text));
    printf("%*s%s%*s", right ? pad : 0, "", text.c_str(), right ? 0 : pad, "");
}

// Each day a row of its name, then each line's row: named at the left,
// beside the record the line as switched below it (real) and its marks.
// Under the days each line's figures for the week.
void printLineDays(const weekView_t &view, const layout_t &lay, const gridStyle_t &style,
                   const weekActual_t *actual, int nowDay, int nowColumn)
{
    size_t count = view.lines.size();
    std::vector<int> planOn(count), planSwitchings(count), realOn(count), realChanges(count);
    for (int day = 0; day < 7; day++) {
        int dayStart = day * daySeconds;
        bool today = day == nowDay;
        bool dated = view.monday >= 0 && datedDays.count(view.monday + day) > 0;
        if (style.colour && today)
            printf("\033[1m>%s\033[0m%.*s\n", dayNames[day], dated ? 1 : 0, &datedMark);
        else
            printf("%c%s%.*s\n", today ? '>' : ' ', dayNames[day], dated ? 1 : 0, &datedMark);
        for (size_t r = 0; r < count; r++) {
            printLabel("  " + view.lines[r].name + " ", false);
            stretch_t whole = printPlanRow(view.lines[r].week, dayStart, view, lay, style, today ? nowColumn : -1);
            planOn[r] += whole.onSeconds;
            planSwitchings[r] += whole.switchings;
            if (actual == nullptr)
                continue;
            printLabel("real ", true);
            printRealRow(actual->lines[r], dayStart, view, lay, style, &realOn[r], &realChanges[r]);
            printMarks(actual->lines[r], day, view, lay, style);
        }
    }
    printf(" Week\n");
    for (size_t r = 0; r < count; r++) {
        printLabel("  " + view.lines[r].name + " ", false);
        printf("%*s %8s %6d\n", lay.columns, "", formatDuration(planOn[r]).c_str(), planSwitchings[r]);
        if (actual == nullptr)
            continue;
        printLabel("real ", true);
        printf("%*s %8s %6d\n", lay.columns, "", formatDuration(realOn[r]).c_str(), realChanges[r]);
    }
    printf("\n");
}

// The legend's characters drawn as the cells are, colours included.
void printLegend(const gridStyle_t &style)
{
    static const struct { int cell; const char *text; } lines[2][3] = {
        {{cellOn, " on   "}, {cellOff, " off   "},
         {cellNone, " no state (a -1 entry, or none: the lines are off)\n"}},
        {{cellRise, " goes on   "}, {cellFall, " goes off   "},
         {cellSeveral, " changes more than once   (within the column)\n"}},
    };
    for (const auto &line : lines) {
        for (const auto &item : line) {
            printCell(item.cell, false, style);
            fputs(item.text, stdout);
        }
    }
}

}  // namespace

void printGrid(const std::vector<weekSpan_t> &week, const weekView_t &view, const gridStyle_t &style,
               const weekActual_t *actual)
{
    labelWidth = actual != nullptr ? actualLabelWidth : plainLabelWidth;
    for (const lineRow_t &row : view.lines)
        labelWidth = std::max(labelWidth, 2 + textColumns(row.name) + 1);
    layout_t lay;
    lay.slot = chooseSlot(view, style.width);
    lay.columns = columnsFor(view.to - view.from, lay.slot);
    lay.labelStep = chooseLabelStep(lay.slot);

    int nowDay = view.now >= 0 && actual == nullptr ? view.now / daySeconds : -1;
    int nowSecond = view.now % daySeconds;
    bool nowShown = nowDay >= 0 && nowSecond >= view.from && nowSecond < view.to;
    int nowColumn = nowShown ? (nowSecond - view.from) / lay.slot : -1;

    int headStep = view.from % 60 != 0 || view.to % 60 != 0 ? 1 : 60;
    char monday[16];
    formatDate(monday, view.monday);
    if (actual != nullptr)
        printf("%s: the week of Monday %s as planned and as switched, ", view.title.c_str(),
               actual->week.monday.c_str());
    else if (view.monday >= 0)
        printf("%s: the week of Monday %s as it will run, ", view.title.c_str(), monday);
    else
        printf("%s: ", view.title.c_str());
    printf("%s-%s of each day, one column = %s\n", clockText(view.from, headStep).c_str(),
           clockText(view.to, headStep).c_str(), slotName(lay.slot).c_str());
    printRuler(view, lay, nowColumn);

    int weekOn = 0, weekSwitchings = 0, realOn = 0, realChanges = 0;
    for (int day = 0; day < 7 && view.lines.empty(); day++) {
        int dayStart = day * daySeconds;
        bool today = day == nowDay;
        bool dated = view.monday >= 0 && datedDays.count(view.monday + day) > 0;
        char rowName[8];
        snprintf(rowName, sizeof rowName, actual != nullptr ? " plan%c " : "%c ", dated ? datedMark : ' ');
        if (style.colour && today)
            printf("\033[1m>%s\033[0m%s", dayNames[day], rowName);
        else
            printf("%c%s%s", today ? '>' : ' ', dayNames[day], rowName);
        stretch_t whole = printPlanRow(week, dayStart, view, lay, style, today ? nowColumn : -1);
        weekOn += whole.onSeconds;
        weekSwitchings += whole.switchings;
        if (actual == nullptr)
            continue;
        printf("%*s", labelWidth, "real  ");
        printRealRow(*actual, dayStart, view, lay, style, &realOn, &realChanges);
        printMarks(*actual, day, view, lay, style);
    }
    if (!view.lines.empty()) {
        printLineDays(view, lay, style, actual, nowDay, nowColumn);
    } else if (actual == nullptr) {
        printf(" Week %*s %8s %6d\n\n", lay.columns, "", formatDuration(weekOn).c_str(), weekSwitchings);
    } else {
        printf(" Week plan %*s %8s %6d\n", lay.columns, "", formatDuration(weekOn).c_str(), weekSwitchings);
        printf("      real %*s %8s %6d\n\n", lay.columns, "", formatDuration(realOn).c_str(), realChanges);
    }
    printLegend(style);
    if (!view.lines.empty())
        printf("Each day: a row for each line of the output, by its name%s\n",
               actual != nullptr ? "; below it the line as switched (real)" : "");
    if (actual != nullptr) {
        printCell(cellIdle, false, style);
        printf(" nothing ran   ");
        if (!actual->lost.empty()) {
            printCell(cellLost, false, style);
            printf(" records lost   ");
        }
        printf("(blank) beyond the record   marks: L late  M missed  U unplanned  + several\n");
        printActualSummary(*actual, view);
        if (view.monday >= 0)
            printDatedDays(week, view);
        return;
    }
    if (view.monday >= 0)
        printDatedDays(week, view);
    if (view.now >= 0) {
        printf("\n");
        if (view.monday >= 0)
            printRealNowLine(view, nowShown);
        else
            printNowLine(week, view, nowShown);
    }
}
