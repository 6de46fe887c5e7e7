// svg.cpp: the week as an SVG picture, for printing and for documentation.
//
// The bars are drawn to the second: one rect per stretch in which the lines
// are on (or without a state), placed by the same scale as the hour ruler. A
// stretch too narrow to see at that scale gets a marker above its bar. A
// real week gives each day its date, and a dated day a dashed frame round
// its bar, what it does as the frame's tooltip and in lines below. With
// sections each day has a bar for each line, named at its left, and the
// legend says which lines of the output each name stands for.
#include "week.h"
#include "actual.h"
#include "links.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int pageWidth = 1000;
const int plotLeft = 70;
const int plainPlotWidth = 720;
// Beside the record each figure has the plan's after it: the bars make room.
const int actualPlotWidth = 640;
// The right end of the hours on, the same in both.
const int onRight = 900;
const int rulerY = 62;
const int firstRowY = 72;
const int rowHeight = 34;
const int barHeight = 22;
// Narrower than this a stretch does not show on paper.
const double visibleWidth = 2.0;

const int labelSteps[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800,
                          3600, 7200, 10800, 21600, 43200, 86400};

// Text fit for XML, in an element or an attribute: markup characters
// escaped; what XML may not hold at all (control characters other than tab
// and line ends, U+FFFE and U+FFFF, surrogates, bytes that are no UTF-8)
// replaced by U+FFFD, so the file always parses.
std::string xmlText(const std::string &raw)
{
    static const char replacement[] = "\xEF\xBF\xBD";
    std::string out;
    for (size_t i = 0; i < raw.size(); i++) {
        unsigned char c = (unsigned char)raw[i];
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '"') out += "&quot;";
        else if (c == '\'') out += "&apos;";
        else if (c == '\t' || c == '\n' || c == '\r') out += (char)c;
        else if (c < 0x20 || c == 0x7F) out += replacement;
        else if (c < 0x80) out += (char)c;
        else {
            // Decoded to its code point, so overlong forms and surrogates go too.
            int more = c >= 0xF8 ? 0 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
            unsigned long code = c & (0x3F >> more);
            bool good = more > 0 && i + more < raw.size();
            for (int k = 1; good && k <= more; k++) {
                unsigned char cont = (unsigned char)raw[i + k];
                good = (cont & 0xC0) == 0x80;
                code = code << 6 | (cont & 0x3F);
            }
            static const unsigned long least[4] = {0, 0x80, 0x800, 0x10000};
            bool allowed = code >= least[more] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF) &&
                           code != 0xFFFE && code != 0xFFFF;
            // A whole character XML forbids is one replacement; a broken one
            // loses only its first byte, so what follows is read afresh.
            if (good && allowed)
                out.append(raw, i, more + 1);
            else
                out += replacement;
            if (good)
                i += more;
        }
    }
    return out;
}

std::string clockText(int second, bool withSeconds = false)
{
    char text[16];
    if (second % 60 == 0 && !withSeconds)
        snprintf(text, sizeof text, "%02d:%02d", second / 3600, second / 60 % 60);
    else
        snprintf(text, sizeof text, "%02d:%02d:%02d", second / 3600, second / 60 % 60, second % 60);
    return text;
}

struct scale_t {
    int from;
    double perSecond;
    int left = plotLeft;  // with sections the names take more room
    double x(int second) const { return left + (second - from) * perSecond; }
};

void writeRuler(FILE *fp, const weekView_t &view, const scale_t &sc, int bottom)
{
    int step = labelSteps[sizeof labelSteps / sizeof labelSteps[0] - 1];
    for (int s : labelSteps) {
        if (s * sc.perSecond >= (s % 3600 == 0 ? 30 : s % 60 == 0 ? 44 : 62)) {
            step = s;
            break;
        }
    }
    for (int t = (view.from + step - 1) / step * step; t <= view.to; t += step) {
        double x = sc.x(t);
        fprintf(fp, "<line x1=\"%.3f\" y1=\"%d\" x2=\"%.3f\" y2=\"%d\" stroke=\"#000000\" stroke-opacity=\"0.15\" stroke-width=\"1\"/>\n",
                x, rulerY + 4, x, bottom);
        std::string label = step % 3600 == 0 ? clockText(t).substr(0, 2) : clockText(t);
        fprintf(fp, "<text x=\"%.3f\" y=\"%d\" text-anchor=\"middle\">%s</text>\n", x, rulerY,
                label.c_str());
    }
}

struct run_t {
    int start;
    int end;
    int kind;
};

// The stretches of one kind in a day's view: the spans of several entries
// that give the same state are one bar.
std::vector<run_t> runsOf(const std::vector<weekSpan_t> &week, int from, int to)
{
    std::vector<run_t> runs;
    for (int s = from; s < to;) {
        const weekSpan_t &span = spanAt(week, s);
        int end = std::min(span.end, to);
        if (!runs.empty() && runs.back().kind == span.kind)
            runs.back().end = end;
        else
            runs.push_back({s, end, span.kind});
        s = end;
    }
    return runs;
}

const char *const kindColours[3] = {"#555555", "#2e7d32", "#b08800"};
// Beside the record: the plan's bar above, thinner, the week as switched
// below it, and the marks of what differs above the plan.
const int planBarHeight = 9;
const int realBarGap = 3;
const int realBarHeight = 10;
const char *const markColours[] = {"#c77700", "#c62828", "#1565c0"};
const char markLetters[] = {'L', 'M', 'U'};

void writeBars(FILE *fp, const std::vector<run_t> &runs, int dayStart, const scale_t &sc, int y,
               int height = barHeight, const char *prefix = "")
{
    static const char *const classes[] = {"off", "on", "none", "idle", "unknown"};
    static const char *const fills[] = {"", "#2e7d32", "url(#nostate)", "url(#idle)", "#eeeeee"};
    for (const run_t &run : runs) {
        if (run.kind == kindOff)
            continue;
        fprintf(fp, "<rect class=\"%s%s\" x=\"%.3f\" y=\"%d\" width=\"%.3f\" height=\"%d\" fill=\"%s\"/>\n",
                prefix, classes[run.kind], sc.x(run.start - dayStart), y, (run.end - run.start) * sc.perSecond,
                height, fills[run.kind]);
    }
    // A short pulse, and a short break between times on, gets a mark above
    // the bar where it would be too thin to see. Off beside no state is no
    // switching and gets none.
    for (size_t i = 0; i < runs.size(); i++) {
        double w = (runs[i].end - runs[i].start) * sc.perSecond;
        bool besideOn = (i > 0 && runs[i - 1].kind == kindOn) ||
                        (i + 1 < runs.size() && runs[i + 1].kind == kindOn);
        if (w < visibleWidth && (runs[i].kind == kindOn || besideOn))
            fprintf(fp, "<path class=\"mark\" d=\"M%.3f %d l-4 -7 h8 z\" fill=\"%s\"/>\n",
                    sc.x(runs[i].start - dayStart) + w / 2, y - 1, kindColours[runs[i].kind]);
    }
}

void writeLegend(FILE *fp, int y)
{
    fprintf(fp, "<rect x=\"%d\" y=\"%d\" width=\"24\" height=\"12\" fill=\"#2e7d32\"/>\n", plotLeft, y - 10);
    fprintf(fp, "<text x=\"%d\" y=\"%d\">on</text>\n", plotLeft + 30, y);
    fprintf(fp, "<rect x=\"%d\" y=\"%d\" width=\"24\" height=\"12\" fill=\"#ffffff\" stroke=\"#999999\"/>\n",
            plotLeft + 70, y - 10);
    fprintf(fp, "<text x=\"%d\" y=\"%d\">off</text>\n", plotLeft + 100, y);
    fprintf(fp, "<rect x=\"%d\" y=\"%d\" width=\"24\" height=\"12\" fill=\"url(#nostate)\" stroke=\"#999999\"/>\n",
            plotLeft + 145, y - 10);
    fprintf(fp, "<text x=\"%d\" y=\"%d\">no state (a -1 entry, or none): the lines are off</text>\n",
            plotLeft + 175, y);
    fprintf(fp, "<path d=\"M%d %d l-4 -7 h8 z\" fill=\"#2e7d32\"/>\n", plotLeft + 12, y + 20);
    fprintf(fp, "<text x=\"%d\" y=\"%d\">a stretch too short to see at this scale, in the colour of its state</text>\n",
            plotLeft + 30, y + 20);
}

void printWriteError(const char *path, int err)
{
    printf("ERROR:  Cannot write SVG file:  '%s'\n", path);
    fprintf(stderr, "%s\n", strerror(err));
}

void writeMarks(FILE *fp, const weekActual_t &actual, int day, const weekView_t &view, const scale_t &sc, int y)
{
    for (const difference_t &d : actual.differences) {
        int second = d.second - day * daySeconds;
        if (second < view.from || second >= view.to)
            continue;
        fprintf(fp, "<text class=\"mark\" x=\"%.3f\" y=\"%d\" text-anchor=\"middle\" font-size=\"10\" "
                    "font-weight=\"bold\" fill=\"%s\"><title>%s %s: %s</title>%c</text>\n",
                sc.x(second), y, markColours[d.kind], xmlText(formatWeekSecond(d.second)).c_str(),
                xmlText(d.entry).c_str(), xmlText(d.why).c_str(), markLetters[d.kind]);
    }
}

// The date (month and day) under the day's name, and round a dated day's
// bar a frame whose tooltip says what the date does.
void writeDate(FILE *fp, const weekView_t &view, int day, int barY, int plotWidth, int height, int left = plotLeft,
               int dateX = plotLeft - 10, const char *anchor = "end")
{
    char date[16];
    formatDate(date, view.monday + day);
    fprintf(fp, "<text x=\"%d\" y=\"%d\" text-anchor=\"%s\" font-size=\"10\">%s</text>\n", dateX, barY + 28,
            anchor, date + 5);
    std::string what = datedDayText(view.monday + day);
    if (what.empty())
        return;
    fprintf(fp, "<rect class=\"dated\" x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"none\" "
                "stroke=\"#6a1b9a\" stroke-width=\"1.5\" stroke-dasharray=\"5 3\"><title>%s %s: %s</title></rect>\n",
            left - 2, barY - 2, plotWidth + 4, height + 4, dayNames[day], date, xmlText(what).c_str());
}

std::string stretchText(const idleSpan_t &span)
{
    return formatWeekSecond(span.start) + " - " +
           (span.end >= weekSeconds ? std::string("the week's end") : formatWeekSecond(span.end)) + ": " + span.why;
}

// Below the legend: what the plan was, the counts and when nothing ran.
int writeActualSummary(FILE *fp, const weekActual_t &a, const weekView_t &view, int y)
{
    const std::string &title = view.title;
    std::string plan = "Upper bar: the plan, " + title + " as it is now (the record may show other timetables, "
                       "re-read or learned since).";
    fprintf(fp, "<text x=\"%d\" y=\"%d\">%s</text>\n", plotLeft, y, xmlText(plan).c_str());
    y += 18;
    fprintf(fp, "<text x=\"%d\" y=\"%d\">%s</text>\n", plotLeft, y,
            xmlText(std::string(view.lines.empty() ? "Lower bar: the port" : "Lower bar: each line") +
                    " as switched, from " + a.source + ".").c_str());
    y += 22;
    std::string line = plannedText(a);
    fprintf(fp, "<text x=\"%d\" y=\"%d\" font-weight=\"bold\">%s</text>\n", plotLeft, y, xmlText(line).c_str());
    for (size_t r = 0; r < a.lines.size(); r++) {
        y += 18;
        fprintf(fp, "<text x=\"%d\" y=\"%d\">%s</text>\n", plotLeft + 16, y,
                xmlText(view.lines[r].name + ": " + plannedText(a.lines[r])).c_str());
    }
    // Six stretches at most, those in which nothing ran first.
    std::vector<std::string> stretches;
    for (const idleSpan_t &idle : a.idle)
        stretches.push_back("Nothing ran " + stretchText(idle));
    for (const idleSpan_t &lost : a.lost)
        stretches.push_back("Not known, records lost, " + stretchText(lost));
    for (size_t i = 0; i < stretches.size() && i < 6; i++) {
        y += 18;
        fprintf(fp, "<text x=\"%d\" y=\"%d\">%s</text>\n", plotLeft, y, xmlText(stretches[i]).c_str());
    }
    if (stretches.size() > 6) {
        y += 18;
        fprintf(fp, "<text x=\"%d\" y=\"%d\">and %d more stretches</text>\n", plotLeft, y,
                (int)stretches.size() - 6);
    }
    return y;
}

// With sections: rows of a line each, a bar in each (beside the record the
// plan's above the line as switched), the days apart by a gap.
const int lineRowHeight = 22;
const int lineBarTop = 7;
const int lineBarHeight = 13;
const int actualLineRowHeight = 28;
const int actualLineBarTop = 9;
const int lineDayGap = 10;
const int dayNameX = 16;
const int weekLineHeight = 16;

// "9:59:55 (10:00)": beside the record as switched, the plan's in brackets.
std::string figureTexts(const std::vector<weekSpan_t> &plan, const weekActual_t *actual, int from, int to,
                        std::string *switchText)
{
    stretch_t whole = summarise(plan, from, to);
    std::string onText = formatDuration(whole.onSeconds);
    *switchText = std::to_string(whole.switchings);
    if (actual == nullptr)
        return onText;
    int onSeconds, changes;
    actualFigures(actual->spans, from, to, &onSeconds, &changes);
    *switchText = std::to_string(changes) + " (" + *switchText + ")";
    return formatDuration(onSeconds) + " (" + onText + ")";
}

// A day's group, with its date in a real week; whether the date is dated.
bool openDay(FILE *fp, const weekView_t &view, int day)
{
    if (view.monday < 0) {
        fprintf(fp, "<g class=\"day\" data-day=\"%d\">\n", day);
        return false;
    }
    char date[16];
    formatDate(date, view.monday + day);
    fprintf(fp, "<g class=\"day\" data-day=\"%d\" data-date=\"%s\">\n", day, date);
    return datedDays.count(view.monday + day) > 0;
}

// Each day's name at the left of its first line, then each line's bar
// named at its left, its figures at the right; the end of the rows.
int writeLineDays(FILE *fp, const weekView_t &view, const scale_t &sc, int plotWidth, const weekActual_t *actual)
{
    int count = (int)view.lines.size();
    int rowHeightHere = actual != nullptr ? actualLineRowHeight : lineRowHeight;
    int barTop = actual != nullptr ? actualLineBarTop : lineBarTop;
    int barsHeight = actual != nullptr ? planBarHeight + realBarGap + realBarHeight : lineBarHeight;
    int dayHeight = count * rowHeightHere + lineDayGap;
    int onX = onRight, switchX = pageWidth - 16;
    for (int day = 0; day < 7; day++) {
        int dayStart = day * daySeconds, dayY = firstRowY + day * dayHeight;
        bool datedDay = openDay(fp, view, day);
        if (day > 0)
            fprintf(fp, "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#000000\" stroke-opacity=\"0.12\"/>\n",
                    dayNameX, dayY - lineDayGap / 2, pageWidth - 16, dayY - lineDayGap / 2);
        fprintf(fp, "<text x=\"%d\" y=\"%d\" font-weight=\"bold\">%s%.*s</text>\n", dayNameX, dayY + barTop + 11,
                dayNames[day], datedDay ? 1 : 0, &datedMark);
        if (view.monday >= 0)
            writeDate(fp, view, day, dayY + barTop, plotWidth, (count - 1) * rowHeightHere + barsHeight, sc.left,
                      dayNameX, "start");
        for (int r = 0; r < count; r++) {
            const lineRow_t &row = view.lines[r];
            int barY = dayY + r * rowHeightHere + barTop;
            int textY = barY + (actual != nullptr ? 12 : 10);
            fprintf(fp, "<g class=\"line\" data-line=\"%s\" data-lines=\"%s\">\n", xmlText(row.name).c_str(),
                    linesName(row.mask).c_str());
            fprintf(fp, "<text x=\"%d\" y=\"%d\" text-anchor=\"end\" font-size=\"11\">%s</text>\n", sc.left - 8, textY,
                    xmlText(row.name).c_str());
            fprintf(fp, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#ffffff\" stroke=\"#999999\"/>\n",
                    sc.left, barY, plotWidth, actual != nullptr ? planBarHeight : lineBarHeight);
            std::vector<run_t> runs = runsOf(row.week, dayStart + view.from, dayStart + view.to);
            if (actual != nullptr) {
                const weekActual_t &real = actual->lines[r];
                int realY = barY + planBarHeight + realBarGap;
                fprintf(fp, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#ffffff\" stroke=\"#999999\"/>\n",
                        sc.left, realY, plotWidth, realBarHeight);
                writeBars(fp, runs, dayStart, sc, barY, planBarHeight, "plan-");
                writeBars(fp, runsOf(real.spans, dayStart + view.from, dayStart + view.to), dayStart, sc, realY,
                          realBarHeight, "real-");
                writeMarks(fp, real, day, view, sc, barY - 1);
            } else {
                writeBars(fp, runs, dayStart, sc, barY, lineBarHeight);
            }
            std::string switchText;
            std::string onText = figureTexts(row.week, actual != nullptr ? &actual->lines[r] : nullptr,
                                             dayStart + view.from, dayStart + view.to, &switchText);
            fprintf(fp, "<text x=\"%d\" y=\"%d\" text-anchor=\"end\" font-size=\"11\">%s</text>\n", onX, textY,
                    onText.c_str());
            fprintf(fp, "<text x=\"%d\" y=\"%d\" text-anchor=\"end\" font-size=\"11\">%s</text>\n</g>\n", switchX,
                    textY, switchText.c_str());
        }
        fprintf(fp, "</g>\n");
    }
    return firstRowY + 7 * dayHeight - lineDayGap;
}

// Under the days: each line's figures for the week; and the lines each
// name stands for, under the legend.
void writeLineWeek(FILE *fp, const weekView_t &view, const scale_t &sc, const weekActual_t *actual, int y)
{
    fprintf(fp, "<text x=\"%d\" y=\"%d\" font-weight=\"bold\">Week</text>\n", dayNameX, y);
    for (size_t r = 0; r < view.lines.size(); r++, y += weekLineHeight) {
        int onSeconds = 0, switchings = 0, realOn = 0, realChanges = 0;
        for (int day = 0; day < 7; day++) {
            stretch_t whole = summarise(view.lines[r].week, day * daySeconds + view.from, day * daySeconds + view.to);
            onSeconds += whole.onSeconds;
            switchings += whole.switchings;
        }
        std::string onText = formatDuration(onSeconds), switchText = std::to_string(switchings);
        if (actual != nullptr) {
            actualWeekFigures(actual->lines[r].spans, view.from, view.to, &realOn, &realChanges);
            onText = formatDuration(realOn) + " (" + onText + ")";
            switchText = std::to_string(realChanges) + " (" + switchText + ")";
        }
        fprintf(fp, "<text x=\"%d\" y=\"%d\" text-anchor=\"end\" font-size=\"11\">%s</text>\n", sc.left - 8, y,
                xmlText(view.lines[r].name).c_str());
        fprintf(fp, "<text x=\"%d\" y=\"%d\" text-anchor=\"end\" font-weight=\"bold\">%s</text>\n", onRight, y,
                onText.c_str());
        fprintf(fp, "<text x=\"%d\" y=\"%d\" text-anchor=\"end\" font-weight=\"bold\">%s</text>\n", pageWidth - 16, y,
                switchText.c_str());
    }
}

void writeLinesLegend(FILE *fp, const weekView_t &view, int y)
{
    std::string text = "Lines of the output: ";
    for (size_t r = 0; r < view.lines.size(); r++) {
        const lineRow_t &row = view.lines[r];
        std::string numbers = linesName(row.mask);
        text += (r > 0 ? ", " : "") + (row.name == numbers ? row.name : row.name + " (" + numbers + ")");
    }
    fprintf(fp, "<text x=\"%d\" y=\"%d\">%s</text>\n", plotLeft, y, xmlText(text).c_str());
}

void writePicture(FILE *fp, const std::vector<weekSpan_t> &week, const weekView_t &view,
                  const weekActual_t *actual)
{
    bool lines = !view.lines.empty();
    int count = (int)view.lines.size(), nameColumns = 0;
    for (const lineRow_t &row : view.lines)
        nameColumns = std::max(nameColumns, textColumns(row.name));
    // The names at the left of the bars: the bars begin after the longest.
    scale_t sc = {view.from, 0, lines ? std::max(plotLeft, 66 + 7 * nameColumns) : plotLeft};
    int plotWidth = (actual != nullptr ? actualPlotWidth : plainPlotWidth) + plotLeft - sc.left;
    sc.perSecond = (double)plotWidth / (view.to - view.from);
    int rowsEnd = lines ? firstRowY + 7 * (count * (actual != nullptr ? actualLineRowHeight : lineRowHeight) +
                                           lineDayGap) - lineDayGap
                        : firstRowY + 7 * rowHeight;
    int legendY = lines ? rowsEnd + 22 + count * weekLineHeight + 18 : rowsEnd + 50;
    int summaryY = lines ? legendY + 60 : rowsEnd + 90;
    int summaryLines = actual != nullptr ? 6 + (int)std::min<size_t>(actual->idle.size() + actual->lost.size(), 7) : 0;
    if (actual != nullptr)
        summaryLines += (int)actual->lines.size();
    std::vector<std::string> dated;
    if (view.monday >= 0)
        dated = datedWeekLines(week, view.monday);
    int height = summaryY + summaryLines * 18 + (dated.empty() ? 0 : 10 + (int)dated.size() * 18);

    fprintf(fp, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    fprintf(fp, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\""
                " font-family=\"DejaVu Sans, Arial, sans-serif\" font-size=\"13\""
                " data-from=\"%d\" data-to=\"%d\" data-plot-x=\"%d\" data-plot-width=\"%d\">\n",
            pageWidth, height, pageWidth, height, view.from, view.to, sc.left, plotWidth);
    fprintf(fp, "<defs><pattern id=\"nostate\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\">"
                "<rect width=\"6\" height=\"6\" fill=\"#fff3c4\"/>"
                "<path d=\"M0 6 L6 0\" stroke=\"#b08800\" stroke-width=\"1.2\"/></pattern>"
                "<pattern id=\"idle\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\">"
                "<rect width=\"6\" height=\"6\" fill=\"#fde0e0\"/>"
                "<path d=\"M0 0 L6 6 M0 6 L6 0\" stroke=\"#c62828\" stroke-width=\"0.8\"/></pattern></defs>\n");
    fprintf(fp, "<rect width=\"%d\" height=\"%d\" fill=\"#ffffff\"/>\n", pageWidth, height);
    std::string title = view.title;
    char monday[16];
    formatDate(monday, view.monday);
    if (actual != nullptr)
        title += ": the week of Monday " + actual->week.monday + ", planned and as switched";
    else if (view.monday >= 0)
        title += std::string(": the week of Monday ") + monday + " as it will run";
    fprintf(fp, "<text x=\"%d\" y=\"28\" font-size=\"17\" font-weight=\"bold\">%s</text>\n", plotLeft,
            xmlText(title).c_str());

    bool withSeconds = view.from % 60 != 0 || view.to % 60 != 0;
    if (actual == nullptr)
        fprintf(fp, "<text x=\"%d\" y=\"28\" text-anchor=\"end\">%s-%s of each day</text>\n",
            sc.left + plotWidth, clockText(view.from, withSeconds).c_str(),
            clockText(view.to, withSeconds).c_str());
    int onX = onRight, switchX = pageWidth - 16;
    fprintf(fp, "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">hours on</text>\n", onX, rulerY);
    fprintf(fp, "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">switchings</text>\n", switchX, rulerY);

    int weekOn = 0, weekSwitchings = 0;
    if (lines)
        writeLineDays(fp, view, sc, plotWidth, actual);
    for (int day = 0; day < 7 && !lines; day++) {
        int dayStart = day * daySeconds;
        int rowY = firstRowY + day * rowHeight;
        int barY = rowY + (rowHeight - barHeight) / 2;
        bool datedDay = openDay(fp, view, day);
        fprintf(fp, "<text x=\"%d\" y=\"%d\" text-anchor=\"end\" font-weight=\"bold\">%s%.*s</text>\n",
                plotLeft - 10, barY + 16, dayNames[day], datedDay ? 1 : 0, &datedMark);
        fprintf(fp, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#ffffff\" stroke=\"#999999\"/>\n",
                plotLeft, barY, plotWidth, actual != nullptr ? planBarHeight : barHeight);
        if (actual != nullptr) {
            fprintf(fp, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"#ffffff\" stroke=\"#999999\"/>\n",
                    plotLeft, barY + planBarHeight + realBarGap, plotWidth, realBarHeight);
            writeBars(fp, runsOf(week, dayStart + view.from, dayStart + view.to), dayStart, sc, barY, planBarHeight,
                      "plan-");
            writeBars(fp, runsOf(actual->spans, dayStart + view.from, dayStart + view.to), dayStart, sc,
                      barY + planBarHeight + realBarGap, realBarHeight, "real-");
            writeMarks(fp, *actual, day, view, sc, barY - 1);
        } else {
            writeBars(fp, runsOf(week, dayStart + view.from, dayStart + view.to), dayStart, sc, barY);
        }
        if (view.monday >= 0)
            writeDate(fp, view, day, barY, plotWidth, actual != nullptr ? planBarHeight : barHeight);
        stretch_t whole = summarise(week, dayStart + view.from, dayStart + view.to);
        std::string onText = formatDuration(whole.onSeconds), switchText = std::to_string(whole.switchings);
        if (actual != nullptr) {
            // As switched, the plan's figures after them.
            int onSeconds, changes;
            actualFigures(actual->spans, dayStart + view.from, dayStart + view.to, &onSeconds, &changes);
            onText = formatDuration(onSeconds) + " (" + onText + ")";
            switchText = std::to_string(changes) + " (" + switchText + ")";
        }
        fprintf(fp, "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">%s</text>\n", onX, barY + 16, onText.c_str());
        fprintf(fp, "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">%s</text>\n</g>\n", switchX, barY + 16,
                switchText.c_str());
        weekOn += whole.onSeconds;
        weekSwitchings += whole.switchings;
    }
    // Over the bars, so the hours can be read across them.
    writeRuler(fp, view, sc, rowsEnd);
    if (lines) {
        writeLineWeek(fp, view, sc, actual, rowsEnd + 22);
        writeLegend(fp, legendY);
        writeLinesLegend(fp, view, legendY + 40);
    }
    // Beside the record the figures are wider: the label goes under the days.
    if (!lines)
        fprintf(fp, "<text x=\"%d\" y=\"%d\" text-anchor=\"end\" font-weight=\"bold\">Week</text>\n",
            actual != nullptr ? plotLeft - 10 : plotLeft + plotWidth, rowsEnd + 22);
    std::string weekOnText = formatDuration(weekOn), weekSwitchText = std::to_string(weekSwitchings);
    if (actual != nullptr && !lines) {
        int onSeconds, changes;
        actualWeekFigures(actual->spans, view.from, view.to, &onSeconds, &changes);
        weekOnText = formatDuration(onSeconds) + " (" + weekOnText + ")";
        weekSwitchText = std::to_string(changes) + " (" + weekSwitchText + ")";
    }
    if (!lines) {
        fprintf(fp, "<text x=\"%d\" y=\"%d\" text-anchor=\"end\" font-weight=\"bold\">%s</text>\n", onX,
                rowsEnd + 22, weekOnText.c_str());
        fprintf(fp, "<text x=\"%d\" y=\"%d\" text-anchor=\"end\" font-weight=\"bold\">%s</text>\n", switchX,
                rowsEnd + 22, weekSwitchText.c_str());
        writeLegend(fp, rowsEnd + 50);
    }
    if (actual != nullptr) {
        int y = summaryY;
        fprintf(fp, "<rect x=\"%d\" y=\"%d\" width=\"24\" height=\"12\" fill=\"url(#idle)\" stroke=\"#999999\"/>\n",
                plotLeft, y - 10);
        fprintf(fp, "<rect x=\"%d\" y=\"%d\" width=\"24\" height=\"12\" fill=\"#eeeeee\" stroke=\"#999999\"/>\n",
                plotLeft + 130, y - 10);
        fprintf(fp, "<text x=\"%d\" y=\"%d\">nothing ran</text>\n", plotLeft + 30, y);
        fprintf(fp, "<text x=\"%d\" y=\"%d\">no record (yet)   ", plotLeft + 160, y);
        for (int k = diffLate; k <= diffUnplanned; k++)
            fprintf(fp, "<tspan fill=\"%s\" font-weight=\"bold\">%c</tspan> %s   ", markColours[k], markLetters[k],
                    k == diffLate ? "late" : k == diffMissed ? "missed" : "unplanned");
        fprintf(fp, "(each mark's time and reason as its tooltip)</text>\n");
        fprintf(fp, "<text x=\"%d\" y=\"%d\">Hours on and switchings: as switched, the plan's in brackets</text>\n",
                plotLeft, y + 18);
        writeActualSummary(fp, *actual, view, y + 44);
    }
    // Below the summary's room, which its longest fills.
    int y = summaryY + summaryLines * 18;
    for (const std::string &line : dated) {
        y += 18;
        fprintf(fp, "<text class=\"dated\" x=\"%d\" y=\"%d\" xml:space=\"preserve\">%s</text>\n", plotLeft, y,
                xmlText(line).c_str());
    }
    fprintf(fp, "</svg>\n");
}

// 0, or the error of the first write, flush, sync or close that failed; the
// file is closed either way.
int finish(FILE *fp, bool sync)
{
    int err = fflush(fp) != 0 || ferror(fp) ? (errno != 0 ? errno : EIO) : 0;
    if (err == 0 && sync && fsync(fileno(fp)) != 0)
        err = errno;
    if (fclose(fp) != 0 && err == 0)
        err = errno;
    return err;
}

// The new file is made private: a new picture is made as any new file is,
// and one that replaces a file (old) keeps its owner, group and mode, so
// that root's picture neither takes a user's file from them nor lets others
// read a private one. Without root another user's file becomes ours, as it
// would if the user replaced it by hand: nothing to say.
int takeOwnerAndMode(int fd, const struct stat *old)
{
    if (old == nullptr) {
        mode_t mask = umask(0);
        umask(mask);
        return fchmod(fd, 0666 & ~mask);
    }
    // Set-user and set-group bits belong to the owner and group they were
    // given with.
    bool kept = fchown(fd, old->st_uid, old->st_gid) == 0;
    return fchmod(fd, old->st_mode & (kept ? 07777 : 0777));
}

// A file of its own beside name in folder, made private: its fd and name,
// or -1 with errno.
int makeTemporary(int folder, const std::string &name, std::string *temporary)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; attempt++) {
        unsigned char random[6];
        if (getrandom(random, sizeof random, 0) != (ssize_t)sizeof random)
            return -1;
        *temporary = name + ".";
        for (unsigned char r : random)
            *temporary += letters[r % (sizeof letters - 1)];
        int fd = openat(folder, temporary->c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

// What is not a regular file (a device, a FIFO, /dev/stdout) is written as
// it is: it holds no picture to lose, and must not be renamed over.
int writeInPlace(const walkedPath_t &where, const char *path, const std::vector<weekSpan_t> &week,
                 const weekView_t &view, const weekActual_t *actual)
{
    int fd = openat(where.folder, where.name.c_str(),
                    O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC | (where.throughProc ? 0 : O_NOFOLLOW));
    FILE *fp = fd < 0 ? nullptr : fdopen(fd, "w");
    if (fp == nullptr) {
        printWriteError(path, errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    writePicture(fp, week, view, actual);
    int err = finish(fp, false);
    if (err != 0)
        printWriteError(path, err);
    return err != 0 ? -1 : 0;
}

}  // namespace

// A picture written halfway (a full disk, the file-size limit) must not take
// the place of the old one: the new one goes to a file of its own beside it
// and is renamed over the old one only when it is complete and on disk.
int writeSvg(const char *path, const std::vector<weekSpan_t> &week, const weekView_t &view,
             const weekActual_t *actual)
{
    // Run as root, a link planted in a world-writable folder would take the
    // picture over any file, or make one anywhere: the folder is found with
    // every link judged, and written to by the descriptor that was checked.
    walkedPath_t where;
    if (walkPath(path, &where) != 0)
        return -1;
    if (where.err != 0) {
        printWriteError(path, where.err);
        return -1;
    }
    struct stat old;
    bool exists = fstatat(where.folder, where.name.c_str(), &old, where.throughProc ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
    if (where.throughProc || (exists && !S_ISREG(old.st_mode))) {
        int status = writeInPlace(where, path, week, view, actual);
        close(where.folder);
        return status;
    }
    std::string temporary;
    int fd = makeTemporary(where.folder, where.name, &temporary);
    if (fd < 0) {
        printWriteError(path, errno);
        close(where.folder);
        return -1;
    }
    FILE *fp = fdopen(fd, "w");
    int err = fp == nullptr ? errno : takeOwnerAndMode(fd, exists ? &old : nullptr) != 0 ? errno : 0;
    if (fp == nullptr) {
        close(fd);
    } else {
        if (err == 0)
            writePicture(fp, week, view, actual);
        int closed = finish(fp, true);
        err = err != 0 ? err : closed;
    }
    if (err == 0 && renameat(where.folder, temporary.c_str(), where.folder, where.name.c_str()) != 0)
        err = errno;
    if (err != 0) {
        unlinkat(where.folder, temporary.c_str(), 0);
        printWriteError(path, err);
    }
    close(where.folder);
    return err != 0 ? -1 : 0;
}
