// grid.cpp: the week as a grid in the terminal, one row a day, one column a
// slot of the day.
//
// A column shows a state only when that state fills the whole slot; a slot
// with one change shows which way the lines went and a slot with more shows
// that it holds several, so a short pulse can never vanish in a wide column.
#include "week.h"

#include <algorithm>
#include <cstdio>

namespace {

// Day label (marker, name, gap) and the two figures at the end of a row.
const int labelWidth = 6;
const int statsWidth = 16;

// Slot and ruler steps in seconds, finest first.
const int slotSteps[] = {1, 2, 5, 10, 15, 20, 30, 60, 120, 300, 600, 900, 1200, 1800, 3600, 7200};
const int labelSteps[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800,
                          3600, 7200, 10800, 21600, 43200, 86400};

enum cellKind { cellOff, cellOn, cellNone, cellRise, cellFall, cellSeveral };

struct glyphSet_t {
    const char *cell[6];
};

const glyphSet_t asciiGlyphs = {{".", "#", "-", "/", "\\", "*"}};
const glyphSet_t unicodeGlyphs = {{"\u00b7", "\u2588", "\u2591", "\u2590", "\u258c", "*"}};
const char *const cellColours[6] = {"90", "32", "33", "32", "32", "1;35"};

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

void printNowLine(const std::vector<weekSpan_t> &week, const weekView_t &view, bool shown)
{
    int day = view.now / daySeconds;
    int second = view.now % daySeconds;
    const weekSpan_t &span = spanAt(week, view.now);
    printf("Now (%s):  %s %02d:%02d:%02d%s, %s", shown ? "> v" : ">", dayNames[day], second / 3600,
           second / 60 % 60, second % 60, shown ? "" : " (outside the hours shown)",
           span.kind == kindOn ? "on" : span.kind == kindOff ? "off" : "off, no state");
    if (span.entry == nullptr) {
        printf(": no entry in force\n");
        return;
    }
    // The lines the runner itself prints for the entry in force.
    printf("\nEVENT:  ");
    printEvent(span.entry, "\n");
    printf(" next:  ");
    printEvent(span.entry->next, "\n");
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

void printGrid(const std::vector<weekSpan_t> &week, const weekView_t &view, const gridStyle_t &style)
{
    layout_t lay;
    lay.slot = chooseSlot(view, style.width);
    lay.columns = columnsFor(view.to - view.from, lay.slot);
    lay.labelStep = chooseLabelStep(lay.slot);

    int nowDay = view.now >= 0 ? view.now / daySeconds : -1;
    int nowSecond = view.now % daySeconds;
    bool nowShown = nowDay >= 0 && nowSecond >= view.from && nowSecond < view.to;
    int nowColumn = nowShown ? (nowSecond - view.from) / lay.slot : -1;

    int headStep = view.from % 60 != 0 || view.to % 60 != 0 ? 1 : 60;
    printf("%s: %s-%s of each day, one column = %s\n", view.title.c_str(),
           clockText(view.from, headStep).c_str(), clockText(view.to, headStep).c_str(),
           slotName(lay.slot).c_str());
    printRuler(view, lay, nowColumn);

    int weekOn = 0, weekSwitchings = 0;
    for (int day = 0; day < 7; day++) {
        int dayStart = day * daySeconds;
        bool today = day == nowDay;
        if (style.colour && today)
            printf("\033[1m>%s\033[0m  ", dayNames[day]);
        else
            printf("%c%s  ", today ? '>' : ' ', dayNames[day]);
        for (int column = 0; column < lay.columns; column++) {
            int from = dayStart + view.from + column * lay.slot;
            int to = std::min(from + lay.slot, dayStart + view.to);
            printCell(cellOf(summarise(week, from, to)), today && column == nowColumn, style);
        }
        stretch_t whole = summarise(week, dayStart + view.from, dayStart + view.to);
        printf(" %8s %6d\n", formatDuration(whole.onSeconds).c_str(), whole.switchings);
        weekOn += whole.onSeconds;
        weekSwitchings += whole.switchings;
    }
    printf(" Week %*s %8s %6d\n\n", lay.columns, "", formatDuration(weekOn).c_str(), weekSwitchings);
    printLegend(style);
    if (view.now >= 0) {
        printf("\n");
        printNowLine(week, view, nowShown);
    }
}
