// durable.h: the service's own copy of its record, on disk, synced at each
// record, so that a power cut cannot take the last minutes of it.
//
// journald writes its files to disk on its own schedule (every few minutes),
// so the records of what was switched just before a power cut are gone
// after it, though the port did switch. Under the service (systemd gives it
// a state folder, $STATE_DIRECTORY: /var/lib/weekswitch) every record also
// goes into a small file there, written and synced by a thread of its own:
// the run loop only hands the record over, never waits for the disk, and
// what the thread cannot take in time is left to the journal alone.
// weekswitch-week reads the file beside the journal and takes from it the
// records the journal lost.
//
// The file holds the last durableSlots records, each in a fixed slot of
// durableSlotBytes: "NAME=value" lines, the journal's fields of the record
// (WEEKSWITCH_RECORD, WEEKSWITCH_REALTIME_USEC, MESSAGE, WEEKSWITCH_ENTRY,
// ...) with SEQ (a count that only grows, across runs), _BOOT_ID and _PID
// as the journal would have them, and last CHECK, a hash of the rest; a
// slot torn by a power cut fails its check and is skipped. Values are text
// without line ends (control bytes shown as \x0A and the like); a record
// too long for its slot keeps its first fields whole and its message cut.
// In front of the slots a block of the same size starts with the file's
// name line and holds the run's sign of life (WEEKSWITCH_RECORD=alive,
// rewritten once a minute), so that a run killed without a record has a
// last moment known alive.
#ifndef WEEKSWITCH_DURABLE_H
#define WEEKSWITCH_DURABLE_H

#include <map>
#include <string>
#include <vector>

typedef std::map<std::string, std::string> durableFields_t;

enum { durableSlots = 256, durableSlotBytes = 1024 };
// The most a record's lines may take: the rest of a slot is for SEQ, who
// wrote it and the check.
enum { durableTextBytes = 860 };
// The file, in the service's state folder.
extern const char durableFileName[];  // "record"
// Where the package's service keeps it.
extern const char durableDefaultPath[];  // "/var/lib/weekswitch/record"

// --- reading (weekswitch-week, and the service at its start) ---------------
// Whether the file at path is such a record (by its first line).
bool isDurableRecord(const char *path);
// Every whole record of the file, oldest first, and the last sign of life
// (empty when none). 0, or -1 with errno set (EINVAL: not such a record).
int durableRead(const char *path, std::vector<durableFields_t> *records, durableFields_t *alive);

// --- writing (the service) ----------------------------------------------------
// Opens or makes the file in folder and starts its writer. What the run
// before left is looked at first: when it ended without an end record
// (killed, crashed, the power cut), durableRunBefore gets
// WEEKSWITCH_PREVIOUS_ALIVE_USEC (the last moment it was known alive: its
// last record or sign of life) and WEEKSWITCH_PREVIOUS_BOOT_ID, for the
// start record. 0, or -1 after a warning: the journal alone then.
int durableOpen(const char *folder);
extern durableFields_t durableRunBefore;
// Hands one record over, as "NAME=value\n" lines, never waiting; dropped
// when the writer is behind (the journal still has it). Async-signal-safe.
void durableWrite(const char *lines, size_t length);
// The run's sign of life, at most once a minute whatever the calls.
void durableAlive(void);
// Gives the writer until deadlineMs (CLOCK_MONOTONIC milliseconds) to
// have everything on disk. Async-signal-safe.
void durableDrain(long long deadlineMs);

#endif
