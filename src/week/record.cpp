// record.cpp: the service's records read from the journal and from its
// record on disk, see record.h.
#include "record.h"
#include "journal.h"
#include "schedule.h"

#include <systemd/sd-journal.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <map>

namespace {

// A record queued by the service while journald was away reaches the
// journal later than it was made: the window is read this much wider. A
// record that says it was made longer before the journal took it, or after
// (beyond the clock's reading between the two), is not believed: the
// journal's time stands for it.
const long long queueSlackUsec = 60LL * 60 * 1000000;
const long long aheadSlackUsec = 2LL * 1000000;
// Looking back for the state at the start stops after this many entries.
const int lookBack = 1000;
// The system's records that it is going down, the one it made, another
// sender's forged: systemd-logind's "System is powering down" (or the
// service manager's), where the shutdown went through logind, and the
// service manager's "Stopped target multi-user.target", where it did not
// (systemctl poweroff as root without D-Bus).
const char shutdownMatch[] = "MESSAGE_ID=98268866d1d54a499c4e98921d93bc40";
const char unitStoppedMatch[] = "MESSAGE_ID=9d1aaa27d60140bd96365438aad20286";
const char multiUserMatch[] = "UNIT=multi-user.target";

struct journalCloser {
    void operator()(sd_journal *j) const { sd_journal_close(j); }
};
using journalHandle = std::unique_ptr<sd_journal, journalCloser>;
using fieldOf_t = std::function<bool(const char *name, std::string *value)>;

const struct {
    const char *name;
    int kind;
} kinds[] = {
    {"started", recStarted},   {"in-force", recInForce},   {"switched", recSwitched},
    {"write-failed", recWriteFailed}, {"reread", recReread}, {"learned", recLearned},
    {"ended", recEnded},       {"dropped", recDropped},    {"message", recOther},
    {"escape-asked", recOther}, {"escape-cancelled", recOther},
};

// The value of field in the current entry, or false. The journal keeps
// values binary-safe: they may hold any byte.
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

long long numberField(const fieldOf_t &get, const char *name)
{
    std::string text;
    long long n;
    return get(name, &text) && number(text, 10, &n) && n >= 0 ? n : -1;
}

// One record from its fields; journalUsec is when the journal took it (-1
// for the record on disk). false when it is none we can read.
bool recordOf(const fieldOf_t &get, long long journalUsec, record_t *r)
{
    std::string kindText, text;
    if (!get("WEEKSWITCH_RECORD", &kindText))
        return false;
    *r = record_t();
    r->kind = -1;
    for (const auto &k : kinds)
        if (kindText == k.name)
            r->kind = k.kind;
    if (r->kind < 0)
        return false;
    r->ownUsec = numberField(get, "WEEKSWITCH_REALTIME_USEC");
    r->usec = r->ownUsec;
    if (journalUsec >= 0 && (r->usec < journalUsec - queueSlackUsec || r->usec > journalUsec + aheadSlackUsec))
        r->usec = journalUsec;
    if (r->usec <= 0)
        return false;
    long long n;
    r->value = -1;
    if (get("WEEKSWITCH_PORT_VALUE", &text)) {
        if (!number(text, 16, &n) || n < 0 || n > 255)
            return false;
        r->value = (int)n;
    }
    if ((r->kind == recInForce || r->kind == recSwitched) && r->value < 0)
        return false;
    r->entrySecond = -1;
    r->entryState = -1;
    bool named = false;
    if (get("WEEKSWITCH_ENTRY", &text) && text != "none" &&
        !parseEntryText(text, &r->entrySecond, &r->entryState, &r->entryDate, &named))
        return false;
    if (r->entryDate >= 0 || named)
        r->givenEntry = text;
    r->delayMs = get("WEEKSWITCH_DELAY_MS", &text) && number(text, 10, &n) ? n : -1;
    if (!get("_BOOT_ID", &r->boot))
        r->boot.clear();
    // Shown in a terminal: a record may hold anything.
    r->text = get("MESSAGE", &text) ? quotedText(text, std::string::npos) : std::string();
    if (r->kind == recDropped) {
        r->lostCount = numberField(get, "WEEKSWITCH_DROPPED");
        r->lostFromUsec = numberField(get, "WEEKSWITCH_LOST_FROM_USEC");
        r->lostToUsec = numberField(get, "WEEKSWITCH_LOST_TO_USEC");
        if (r->lostFromUsec <= 0 || r->lostFromUsec > r->lostToUsec || r->lostToUsec > r->usec + aheadSlackUsec)
            r->lostFromUsec = r->lostToUsec = -1;
    }
    if (r->kind == recStarted && get("WEEKSWITCH_PREVIOUS_BOOT_ID", &r->previousBoot)) {
        r->previousAliveUsec = numberField(get, "WEEKSWITCH_PREVIOUS_ALIVE_USEC");
        if (r->previousAliveUsec > r->usec)
            r->previousAliveUsec = -1;
    }
    return true;
}

// The journal's current entry as a record.
bool readEntry(sd_journal *j, record_t *r)
{
    uint64_t journalUsec = 0;
    sd_journal_get_realtime_usec(j, &journalUsec);
    return recordOf([j](const char *name, std::string *value) { return field(j, name, value); },
                    (long long)journalUsec, r);
}

bool diskRecordOf(const durableFields_t &fields, record_t *r)
{
    auto get = [&fields](const char *name, std::string *value) {
        auto it = fields.find(name);
        if (it == fields.end())
            return false;
        *value = it->second;
        return true;
    };
    if (!recordOf(get, -1, r))
        return false;
    r->inJournal = false;
    r->onDisk = true;
    r->seq = numberField(get, "SEQ");
    return true;
}

// The same record, wherever it was read.
std::string sameRecord(const record_t &r)
{
    return r.boot + " " + std::to_string(r.ownUsec) + " " + std::to_string(r.kind);
}

bool holdsValue(const record_t &r)
{
    return r.kind == recInForce || r.kind == recSwitched;
}

void matchService(sd_journal *j, const recordSource_t &source)
{
    sd_journal_flush_matches(j);
    std::string unit = "_SYSTEMD_UNIT=" + source.unit;
    sd_journal_add_match(j, unit.data(), unit.size());
    sd_journal_add_match(j, "SYSLOG_IDENTIFIER=weekswitch", 0);
}

// When the last (first) entry matched was made; -1 when none.
long long lastEntryUsec(sd_journal *j)
{
    uint64_t usec = 0;
    if (sd_journal_seek_tail(j) >= 0 && sd_journal_previous(j) > 0)
        sd_journal_get_realtime_usec(j, &usec);
    return usec == 0 ? -1 : (long long)usec;
}

long long firstEntryUsec(sd_journal *j)
{
    uint64_t usec = 0;
    if (sd_journal_seek_head(j) >= 0 && sd_journal_next(j) > 0)
        sd_journal_get_realtime_usec(j, &usec);
    return usec == 0 ? -1 : (long long)usec;
}

// The system's last record of going down in boot, or -1.
long long shutdownOf(sd_journal *j, const std::string &boot)
{
    std::string match = "_BOOT_ID=" + boot, unit, pid;
    long long last = -1;
    for (int kind = 0; kind < 2; kind++) {
        sd_journal_flush_matches(j);
        sd_journal_add_match(j, kind == 0 ? shutdownMatch : unitStoppedMatch, 0);
        if (kind == 1)
            sd_journal_add_match(j, multiUserMatch, 0);
        sd_journal_add_match(j, match.data(), match.size());
        sd_journal_seek_tail(j);
        for (int back = 0; back < 16 && sd_journal_previous(j) > 0; back++) {
            if ((kind == 0 && field(j, "_SYSTEMD_UNIT", &unit) && unit == "systemd-logind.service") ||
                (field(j, "_PID", &pid) && pid == "1")) {
                uint64_t usec = 0;
                sd_journal_get_realtime_usec(j, &usec);
                last = std::max(last, (long long)usec);
                break;
            }
        }
    }
    return last;
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

// The service's records in the journal: those made before fromUsec back to
// the last that put a value on the port, then those up to toUsec.
void readJournal(sd_journal *j, const recordSource_t &source, long long fromUsec, long long toUsec,
                 recordRead_t *out)
{
    out->lastUsec = std::max(0LL, lastEntryUsec(j));
    matchService(j, source);
    out->firstRecordUsec = firstEntryUsec(j);
    out->lastRecordUsec = lastEntryUsec(j);

    record_t rec;
    long long valueUsec = -1;
    sd_journal_seek_realtime_usec(j, (uint64_t)std::max(0LL, fromUsec));
    for (int back = 0; back < lookBack && sd_journal_previous(j) > 0; back++) {
        uint64_t at;
        sd_journal_get_realtime_usec(j, &at);
        // Records reach the journal out of their order: one made later may
        // have come first.
        if (valueUsec >= 0 && (long long)at + aheadSlackUsec < valueUsec)
            break;
        if (!readEntry(j, &rec))
            continue;
        out->records.push_back(rec);
        if (holdsValue(rec) && rec.usec < fromUsec)
            valueUsec = std::max(valueUsec, rec.usec);
    }
    sd_journal_seek_realtime_usec(j, (uint64_t)std::max(0LL, fromUsec));
    while (sd_journal_next(j) > 0) {
        uint64_t at;
        sd_journal_get_realtime_usec(j, &at);
        if ((long long)at > toUsec + queueSlackUsec)
            break;
        if (!readEntry(j, &rec)) {
            if ((long long)at >= fromUsec && (long long)at < toUsec)
                out->unreadable++;
            continue;
        }
        if (rec.usec < toUsec)
            out->records.push_back(rec);
    }
}

// The record on disk at path into *records and *alive; 0, or -1 with errno.
int readDisk(const std::string &path, std::vector<record_t> *records, std::vector<durableFields_t> *alive)
{
    std::vector<durableFields_t> fields;
    durableFields_t sign;
    if (durableRead(path.c_str(), &fields, &sign) != 0)
        return -1;
    record_t r;
    for (const durableFields_t &f : fields)
        if (diskRecordOf(f, &r))
            records->push_back(r);
    alive->push_back(sign);
    return 0;
}

long long usecOf(const durableFields_t &fields, const char *name)
{
    auto it = fields.find(name);
    return it == fields.end() ? -1 : atoll(it->second.c_str());
}

// Where each boot met was last seen: the journal's last entry of it,
// whoever made it, or the record on disk, or the sign of life a later start
// gives for it.
void findBootEnds(sd_journal *j, const std::vector<record_t> &disk, const std::vector<durableFields_t> &alive,
                  recordRead_t *out)
{
    for (const record_t &r : out->records) {
        if (r.boot.empty() || std::any_of(out->bootEnds.begin(), out->bootEnds.end(),
                                          [&](const auto &b) { return b.first == r.boot; }))
            continue;
        long long end = -1;
        if (j != nullptr) {
            sd_journal_flush_matches(j);
            std::string match = "_BOOT_ID=" + r.boot;
            sd_journal_add_match(j, match.data(), match.size());
            end = lastEntryUsec(j);
            long long down = shutdownOf(j, r.boot);
            if (down >= 0)
                out->shutdowns.push_back({r.boot, down});
        }
        for (const record_t &d : disk)
            if (d.boot == r.boot)
                end = std::max(end, d.usec);
        for (const durableFields_t &a : alive) {
            auto boot = a.find("_BOOT_ID");
            if (boot != a.end() && boot->second == r.boot)
                end = std::max(end, usecOf(a, "WEEKSWITCH_REALTIME_USEC"));
        }
        for (const record_t &s : out->records)
            if (s.kind == recStarted && s.previousBoot == r.boot)
                end = std::max(end, s.previousAliveUsec);
        out->bootEnds.push_back({r.boot, end});
        out->lastUsec = std::max(out->lastUsec, end);
    }
}

}  // namespace

// Why a dated entry is at its date, as the runner names it; false when the
// words are no such reason.
static bool isDatedWhy(const std::string &why)
{
    if (why == " (held)" || why == " (one-off)")
        return true;
    for (int d = 0; d < 7; d++)
        if (why == std::string(" (runs as ") + dayNames[d] + ")")
            return true;
    return false;
}

// " lights On, pump no state": each line's name and its word, as the
// runner writes them (a name may hold ", " itself); the word they all
// share goes to *state, else -1.
static bool parseNamedLines(const std::string &rest, int *state)
{
    static const char *const words[] = {" On", " Off", " no state"};
    static const int states[] = {255, 0, -1};
    if (rest.size() < 2 || rest[0] != ' ')
        return false;
    int shared = -2;
    for (size_t start = 1, end = 1;;) {
        size_t comma = rest.find(", ", end);
        size_t stop = comma == std::string::npos ? rest.size() : comma;
        int word = -1;
        for (int w = 0; w < 3 && word < 0; w++) {
            size_t length = strlen(words[w]);
            if (stop >= start + length + 1 && rest.compare(stop - length, length, words[w]) == 0)
                word = w;
        }
        if (word >= 0) {
            shared = shared == -2 || shared == states[word] ? states[word] : -1;
            if (comma == std::string::npos)
                break;
            start = comma + 2;
        } else if (comma == std::string::npos) {
            return false;
        }
        end = comma + 2;
    }
    *state = shared;
    return true;
}

bool parseEntryText(const std::string &text, int *second, int *state, int32_t *date, bool *named)
{
    char day[4];
    int y, mo, dd, h, m, s, used = 0;
    int32_t dated = -1;
    if (sscanf(text.c_str(), "%3s %2d:%2d:%2d%n", day, &h, &m, &s, &used) != 4) {
        // Only as the runner writes it: "Thu 2026-12-24 00:00:00", the day
        // the date's own.
        char canonical[40];
        if (sscanf(text.c_str(), "%3s %4d-%2d-%2d %2d:%2d:%2d%n", day, &y, &mo, &dd, &h, &m, &s, &used) != 7)
            return false;
        dated = dateNumber(y, mo, dd);
        if (dated < 0 || h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59)
            return false;
        snprintf(canonical, sizeof canonical, "%s %04d-%02d-%02d %02d:%02d:%02d", dayNames[weekdayOf(dated)], y, mo,
                 dd, h, m, s);
        if (text.compare(0, used, canonical) != 0)
            return false;
    }
    std::string rest = text.substr(used);
    bool noState = rest.size() >= 9 && rest.compare(rest.size() - 9, 9, " no state") == 0;
    if (noState)
        rest.erase(rest.size() - 9);
    if (dated >= 0) {
        size_t why = rest.rfind(" (");
        if (why == std::string::npos || !isDatedWhy(rest.substr(why)))
            return false;
        rest.erase(why);
    }
    if (rest.empty())
        *state = -1;
    else if (rest == " On" && !noState)
        *state = 255;
    else if (rest == " Off" && !noState)
        *state = 0;
    else if (!parseNamedLines(rest, state))
        return false;
    int d = parseDay(day);
    if (d > 6 || strlen(day) != 3 || h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59)
        return false;
    *second = ((d * 24 + h) * 60 + m) * 60 + s;
    if (date != nullptr)
        *date = dated;
    if (named != nullptr)
        *named = !rest.empty() && rest != " On" && rest != " Off";
    return true;
}

int readRecords(const recordSource_t &source, long long fromUsec, long long toUsec, recordRead_t *out)
{
    *out = recordRead_t();
    // Files given are journal files, or records on disk told by their
    // first line.
    recordSource_t journalSource = source;
    journalSource.files.clear();
    std::vector<std::string> disks;
    for (const std::string &f : source.files)
        (isDurableRecord(f.c_str()) ? disks : journalSource.files).push_back(f);
    bool local = source.files.empty() && source.directory.empty();

    std::vector<record_t> disk;
    std::vector<durableFields_t> alive;
    for (const std::string &path : disks) {
        if (readDisk(path, &disk, &alive) != 0) {
            int err = errno;
            report(JOURNAL_ERR, "ERROR:  Cannot read the record on disk:  '%s'\n", path.c_str());
            reportSystemError(JOURNAL_ERR, err);
            return -1;
        }
        out->diskFiles.push_back(path);
    }
    if (local && !source.localDisk.empty()) {
        // Beside the local journal when there; one who may read the journal
        // but not the service's folder gets the journal alone, told once.
        static bool told;
        if (readDisk(source.localDisk, &disk, &alive) == 0) {
            out->diskFiles.push_back(source.localDisk);
        } else if (errno != ENOENT && !told) {
            int err = errno;
            report(JOURNAL_WARNING, "Warning:  Cannot read the record on disk, the journal alone is read:  '%s'\n",
                   source.localDisk.c_str());
            reportSystemError(JOURNAL_WARNING, err);
            told = true;
        }
    }

    journalHandle j;
    if (local || !journalSource.files.empty() || !journalSource.directory.empty()) {
        sd_journal *raw = nullptr;
        int r = openJournalFiles(journalSource, &raw);
        if (r < 0) {
            const char *where = !journalSource.files.empty()     ? journalSource.files[0].c_str()
                                : !source.directory.empty() ? source.directory.c_str()
                                                            : "the local journal";
            report(JOURNAL_ERR, "ERROR:  Cannot read the journal:  '%s'\n", where);
            reportSystemError(JOURNAL_ERR, -r);
            return -1;
        }
        j.reset(raw);
        readJournal(j.get(), source, fromUsec, toUsec, out);
    }

    // What the journal has too is the same record; the rest it lost. Before
    // the start only what is newer than the journal's oldest record read
    // there counts: older ones the journal had, or the state is known anyway.
    std::map<std::string, size_t> seen;
    long long oldest = -1;
    for (size_t i = 0; i < out->records.size(); i++) {
        seen[sameRecord(out->records[i])] = i;
        if (out->records[i].usec < fromUsec && (oldest < 0 || out->records[i].usec < oldest))
            oldest = out->records[i].usec;
    }
    for (const record_t &r : disk) {
        out->lastUsec = std::max(out->lastUsec, r.usec);
        out->lastRecordUsec = std::max(out->lastRecordUsec, r.usec);
        if (out->firstRecordUsec < 0 || r.usec < out->firstRecordUsec)
            out->firstRecordUsec = r.usec;
        auto same = seen.find(sameRecord(r));
        if (same != seen.end()) {
            out->records[same->second].onDisk = true;
            out->records[same->second].seq = r.seq;
        } else if (r.usec < toUsec && r.usec >= oldest) {
            seen[sameRecord(r)] = out->records.size();
            out->records.push_back(r);
        }
    }
    std::stable_sort(out->records.begin(), out->records.end(),
                     [](const record_t &a, const record_t &b) { return a.usec < b.usec; });
    // Before the start, from the last record that put a value on the port.
    size_t keepFrom = 0;
    for (size_t i = 0; i < out->records.size() && out->records[i].usec < fromUsec; i++)
        if (holdsValue(out->records[i]))
            keepFrom = i;
    out->records.erase(out->records.begin(), out->records.begin() + (long)keepFrom);
    for (const record_t &r : out->records)
        out->lastUsec = std::max(out->lastUsec, r.usec);
    for (const durableFields_t &a : alive)
        out->lastUsec = std::max(out->lastUsec, usecOf(a, "WEEKSWITCH_REALTIME_USEC"));
    findBootEnds(j.get(), disk, alive, out);
    return 0;
}
