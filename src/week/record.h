// record.h: what the service recorded, read back for the week as switched.
//
// The service keeps one journal entry for each thing it does to the port,
// with fields of its own (WEEKSWITCH_RECORD=switched, WEEKSWITCH_ENTRY=...,
// WEEKSWITCH_PORT_VALUE=0xFF, WEEKSWITCH_DELAY_MS, WEEKSWITCH_REALTIME_USEC).
// They are read with libsystemd's sd-journal, from the local journal or from
// journal files copied off the appliance, matched by the service's unit and
// its identifier, and only for the time asked for, so a year of records
// costs what the weeks drawn cost.
//
// journald writes to disk on its own schedule, so a power cut takes the last
// minutes of the journal; the service also keeps each record in a file of
// its own, synced at once (durable.h). That file is read beside the journal
// and what the journal lost is taken from it.
#ifndef WEEKSWITCH_RECORD_H
#define WEEKSWITCH_RECORD_H

#include "durable.h"

#include <string>
#include <vector>

enum recordKind {
    recStarted,      // the program started (the timetable, the port)
    recInForce,      // after a load: the entry in force went to the port
    recSwitched,     // another entry came into force and went to the port
    recWriteFailed,  // the port refused a write
    recReread,       // the timetable is read again (function key, learned line)
    recLearned,      // a learned line was added to the timetable
    recEnded,        // the program ended, and why
    recDropped,      // records the journal did not take in time, counted
    recOther         // any other record of ours (messages, Escape asked)
};

struct record_t {
    long long usec;     // when it happened, microseconds since the epoch
    int kind;           // recordKind
    int value;          // the byte written (recInForce, recSwitched), else -1
    int entrySecond;    // second of the week of the entry's time, or -1
    int entryState;     // the entry's state: 0, 255, or -1 (no state / none)
    long long delayMs;  // recSwitched: after its entry came into force, else -1
    std::string boot;   // the boot it was made in (_BOOT_ID)
    std::string text;   // the message, control bytes shown escaped
    // recDropped: how many were lost, and the own times of the first and
    // the last of them (-1 from an older program: the loss then lies
    // between the record before it and itself).
    long long lostCount = -1, lostFromUsec = -1, lostToUsec = -1;
    // recStarted: the run before ended without a record; the last moment it
    // was known alive (-1: not said) and the boot it ran in.
    long long previousAliveUsec = -1;
    std::string previousBoot{};
    // The time the record gives itself, believed or not (-1: none): the
    // same record in the journal and on disk gives the same.
    long long ownUsec = -1;
    // A dated entry's date (-1: a weekly entry, or none), and the entry's
    // text as the record gives it where the weekday, time and word would
    // say less: a dated entry, or one that names its lines.
    int32_t entryDate = -1;
    std::string givenEntry{};
    // Where it was found: the journal, the record on disk, or both; on disk
    // records are numbered in the order made, across runs (-1: none).
    bool inJournal = true, onDisk = false;
    long long seq = -1;
};

// Where the records are read: the local journal (neither given), a folder
// of journal files (journalctl --directory), or files (--file): journal
// files, or the service's record on disk.
struct recordSource_t {
    std::string directory;
    std::vector<std::string> files;
    std::string unit = "weekswitch.service";
    // The record on disk read beside the local journal, when there.
    std::string localDisk = durableDefaultPath;
};

struct recordRead_t {
    // In time order: the records before the start asked for from the last
    // that put a value on the port (so the state at the start is known),
    // then all records up to the end.
    std::vector<record_t> records;
    // Entries of the service the reader could not make sense of (an older
    // program's plain lines, a damaged field): counted, never fatal.
    int unreadable = 0;
    // For each boot met: when it was last seen, by the journal's last entry
    // of that boot or the record on disk (the machine went off or restarted
    // then), by boot id.
    std::vector<std::pair<std::string, long long>> bootEnds;
    // For each boot met that was shut down: the system's own record of it
    // (systemd-logind's "System is powering down." and the like).
    std::vector<std::pair<std::string, long long>> shutdowns;
    // The last entry of all (the record goes no further).
    long long lastUsec = 0;
    // The first record of the service at all, and its last: the weeks that
    // have a record (-1: none).
    long long firstRecordUsec = -1, lastRecordUsec = -1;
    // The records on disk that were read.
    std::vector<std::string> diskFiles;
};

// Reads the service's records from fromUsec to toUsec. 0, or -1 after a
// message when the journal or a record on disk given cannot be read.
int readRecords(const recordSource_t &source, long long fromUsec, long long toUsec, recordRead_t *out);

// One entry's fields as the service writes them, for the tests and for
// readers of exported text: "Mon 17:00:00 Off" into its second of the week
// and state ("Mon 17:00:00 no state", or an older program's "Mon 17:00:00",
// has none). A dated entry names its date and why, "Thu 2026-12-24
// 00:00:00 Off (held)", "... (runs as Sun)", "... (one-off)": its date goes
// to *date, else -1. An entry of a timetable with sections names its lines,
// each with its word, "Mon 08:00:00 lights On, pump no state" ("all On"):
// the state is the word they share, else -1 (*named set). false when the
// text is no entry.
bool parseEntryText(const std::string &text, int *second, int *state, int32_t *date = nullptr,
                    bool *named = nullptr);

#endif
