// record.h: what the service recorded in the journal, read back for the
// week as switched.
//
// The service keeps one journal entry for each thing it does to the port,
// with fields of its own (WEEKSWITCH_RECORD=switched, WEEKSWITCH_ENTRY=...,
// WEEKSWITCH_PORT_VALUE=0xFF, WEEKSWITCH_DELAY_MS, WEEKSWITCH_REALTIME_USEC).
// They are read with libsystemd's sd-journal, from the local journal or from
// journal files copied off the appliance, matched by the service's unit and
// its identifier, and only for the time asked for, so a year of records
// costs what the weeks drawn cost.
#ifndef WEEKSWITCH_RECORD_H
#define WEEKSWITCH_RECORD_H

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
    std::string text;   // the message, for the reasons shown
};

// Where the records are read: the local journal (neither given), a folder
// of journal files (journalctl --directory), or journal files (--file).
struct recordSource_t {
    std::string directory;
    std::vector<std::string> files;
    std::string unit = "weekswitch.service";
};

struct recordRead_t {
    // In time order: the last record before the start asked for (so the
    // state at the start is known), then all records up to the end.
    std::vector<record_t> records;
    // Entries of the service the reader could not make sense of (an older
    // program's plain lines, a damaged field): counted, never fatal.
    int unreadable = 0;
    // For each boot met: when the journal's last entry of that boot was made
    // (the machine went off or restarted then), by boot id.
    std::vector<std::pair<std::string, long long>> bootEnds;
    // The journal's last entry of all (the record goes no further).
    long long lastUsec = 0;
    // The first record of the service at all, and its last: the weeks that
    // have a record.
    long long firstRecordUsec = -1, lastRecordUsec = -1;
};

// Reads the service's records from fromUsec to toUsec. 0, or -1 after a
// message when the journal cannot be opened.
int readRecords(const recordSource_t &source, long long fromUsec, long long toUsec, recordRead_t *out);

// One entry's fields as the service writes them, for the tests and for
// readers of exported text: "Mon 17:00:00 Off" into its second of the week
// and state. false when the text is no entry.
bool parseEntryText(const std::string &text, int *second, int *state);

#endif
