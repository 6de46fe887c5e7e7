// record.cpp: the service's records read from the journal, see record.h.
#include "record.h"
#include "journal.h"
#include "schedule.h"

#include <systemd/sd-journal.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// A record queued by the service while journald was away reaches the
// journal later than it was made: the window is read this much wider.
const long long queueSlackUsec = 10LL * 60 * 1000000;

struct journalCloser {
    void operator()(sd_journal *j) const { sd_journal_close(j); }
};
using journalHandle = std::unique_ptr<sd_journal, journalCloser>;

const struct {
    const char *name;
    int kind;
} kinds[] = {
    {"started", recStarted},   {"in-force", recInForce},   {"switched", recSwitched},
    {"write-failed", recWriteFailed}, {"reread", recReread}, {"learned", recLearned},
    {"ended", recEnded},       {"dropped", recDropped},    {"message", recOther},
    {"escape-asked", recOther}, {"escape-cancelled", recOther},
};

// The value of field in the current entry, or false.
bool field(sd_journal *j, const char *name, std::string *value)
{
    const void *data;
    size_t length;
    if (sd_journal_get_data(j, name, &data, &length) < 0)
        return false;
    size_t prefix = strlen(name) + 1;
    if (length < prefix)
        return false;
    value->assign((const char *)data + prefix, length - prefix);
    return true;
}

bool number(const std::string &text, int base, long long *value)
{
    if (text.empty())
        return false;
    char *end;
    errno = 0;
    *value = strtoll(text.c_str(), &end, base);
    return errno == 0 && *end == '\0';
}

// The current entry as a record; false when it is none we can read.
bool readEntry(sd_journal *j, record_t *r)
{
    std::string kindText, text;
    if (!field(j, "WEEKSWITCH_RECORD", &kindText))
        return false;
    r->kind = -1;
    for (const auto &k : kinds)
        if (kindText == k.name)
            r->kind = k.kind;
    if (r->kind < 0)
        return false;
    uint64_t journalUsec = 0;
    sd_journal_get_realtime_usec(j, &journalUsec);
    long long n;
    r->usec = field(j, "WEEKSWITCH_REALTIME_USEC", &text) && number(text, 10, &n) ? n : (long long)journalUsec;
    r->value = -1;
    if (field(j, "WEEKSWITCH_PORT_VALUE", &text)) {
        if (!number(text, 16, &n) || n < 0 || n > 255)
            return false;
        r->value = (int)n;
    }
    if ((r->kind == recInForce || r->kind == recSwitched) && r->value < 0)
        return false;
    r->entrySecond = -1;
    r->entryState = -1;
    if (field(j, "WEEKSWITCH_ENTRY", &text) && text != "none" &&
        !parseEntryText(text, &r->entrySecond, &r->entryState))
        return false;
    r->delayMs = field(j, "WEEKSWITCH_DELAY_MS", &text) && number(text, 10, &n) ? n : -1;
    if (!field(j, "_BOOT_ID", &r->boot))
        r->boot.clear();
    if (!field(j, "MESSAGE", &r->text))
        r->text.clear();
    return true;
}

void matchService(sd_journal *j, const recordSource_t &source)
{
    sd_journal_flush_matches(j);
    std::string unit = "_SYSTEMD_UNIT=" + source.unit;
    sd_journal_add_match(j, unit.data(), unit.size());
    sd_journal_add_match(j, "SYSLOG_IDENTIFIER=weekswitch", 0);
}

long long lastEntryUsec(sd_journal *j)
{
    uint64_t usec = 0;
    if (sd_journal_seek_tail(j) >= 0 && sd_journal_previous(j) > 0)
        sd_journal_get_realtime_usec(j, &usec);
    return (long long)usec;
}

long long firstEntryUsec(sd_journal *j)
{
    uint64_t usec = 0;
    if (sd_journal_seek_head(j) >= 0 && sd_journal_next(j) > 0)
        sd_journal_get_realtime_usec(j, &usec);
    return usec == 0 ? -1 : (long long)usec;
}

int openJournalFiles(const recordSource_t &source, sd_journal **j)
{
    if (!source.files.empty()) {
        std::vector<const char *> paths;
        for (const std::string &f : source.files)
            paths.push_back(f.c_str());
        paths.push_back(nullptr);
        return sd_journal_open_files(j, paths.data(), 0);
    }
    if (!source.directory.empty())
        return sd_journal_open_directory(j, source.directory.c_str(), 0);
    return sd_journal_open(j, SD_JOURNAL_LOCAL_ONLY);
}

}  // namespace

bool parseEntryText(const std::string &text, int *second, int *state)
{
    char day[4];
    int h, m, s, used = 0;
    if (sscanf(text.c_str(), "%3s %2d:%2d:%2d%n", day, &h, &m, &s, &used) != 4)
        return false;
    const char *rest = text.c_str() + used;
    if (*rest == '\0')
        *state = -1;
    else if (strcmp(rest, " On") == 0)
        *state = 255;
    else if (strcmp(rest, " Off") == 0)
        *state = 0;
    else
        return false;
    int d = parseDay(day);
    if (d > 6 || strlen(day) != 3 || h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59)
        return false;
    *second = ((d * 24 + h) * 60 + m) * 60 + s;
    return true;
}

int readRecords(const recordSource_t &source, long long fromUsec, long long toUsec, recordRead_t *out)
{
    sd_journal *raw = nullptr;
    int r = openJournalFiles(source, &raw);
    if (r < 0) {
        const char *where = !source.files.empty() ? source.files[0].c_str()
                            : !source.directory.empty() ? source.directory.c_str()
                                                        : "the local journal";
        report(JOURNAL_ERR, "ERROR:  Cannot read the journal:  '%s'\n", where);
        reportSystemError(JOURNAL_ERR, -r);
        return -1;
    }
    journalHandle j(raw);
    *out = recordRead_t();
    out->lastUsec = lastEntryUsec(j.get());

    matchService(j.get(), source);
    out->firstRecordUsec = firstEntryUsec(j.get());
    out->lastRecordUsec = lastEntryUsec(j.get());

    // The state at the start: the last record made before it, and the last
    // one that says what the port held (the two differ after an end).
    record_t rec;
    bool haveLast = false;
    sd_journal_seek_realtime_usec(j.get(), (uint64_t)std::max(0LL, fromUsec));
    for (int back = 0; back < 1000 && sd_journal_previous(j.get()) > 0; back++) {
        if (!readEntry(j.get(), &rec) || rec.usec >= fromUsec)
            continue;
        bool holdsValue = rec.kind == recInForce || rec.kind == recSwitched;
        if (!haveLast || holdsValue)
            out->records.push_back(rec);
        haveLast = true;
        if (holdsValue)
            break;
    }
    sd_journal_seek_realtime_usec(j.get(), (uint64_t)std::max(0LL, fromUsec - queueSlackUsec));
    while (sd_journal_next(j.get()) > 0) {
        uint64_t at;
        sd_journal_get_realtime_usec(j.get(), &at);
        if ((long long)at > toUsec + queueSlackUsec)
            break;
        if (!readEntry(j.get(), &rec)) {
            if ((long long)at >= fromUsec && (long long)at < toUsec)
                out->unreadable++;
            continue;
        }
        if (rec.usec >= fromUsec && rec.usec < toUsec)
            out->records.push_back(rec);
    }
    std::stable_sort(out->records.begin(), out->records.end(),
                     [](const record_t &a, const record_t &b) { return a.usec < b.usec; });

    // Where each boot met ended: its journal's last entry, whoever made it.
    for (const record_t &rec2 : out->records) {
        if (rec2.boot.empty() || std::any_of(out->bootEnds.begin(), out->bootEnds.end(),
                                             [&](const auto &b) { return b.first == rec2.boot; }))
            continue;
        sd_journal_flush_matches(j.get());
        std::string match = "_BOOT_ID=" + rec2.boot;
        sd_journal_add_match(j.get(), match.data(), match.size());
        out->bootEnds.push_back({rec2.boot, lastEntryUsec(j.get())});
    }
    return 0;
}
