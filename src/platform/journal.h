// journal.h: messages, and the record the program keeps when it runs as the
// service.
//
// Every message the program gives goes through report(): it prints the
// exact text on standard output, as it always did, and, under the service,
// records it in the journal at the severity the caller states. The record
// of what was done to the port (journalRecord) is kept only under the
// service; interactively nothing here prints anything beyond the messages.
//
// systemd says in JOURNAL_STREAM ("device:inode") which stream it connected
// to standard error; when standard error is that stream the program runs as
// the service and records go to the journal's own socket, one datagram a
// record with fields of their own (WEEKSWITCH_RECORD=switched, ...), so that
// tools can ask for them by field. No write to the journal ever waits: what
// the journal does not take at once waits in a small queue, and what does
// not fit there is counted and the count recorded once it flows again.
#ifndef WEEKSWITCH_JOURNAL_H
#define WEEKSWITCH_JOURNAL_H

#include <string>
#include <utility>
#include <vector>

// Priorities as syslog numbers them.
enum { JOURNAL_ERR = 3, JOURNAL_WARNING = 4, JOURNAL_NOTICE = 5, JOURNAL_INFO = 6 };

// Set once by openJournal: standard error is the journal, we run as the
// service.
extern bool journalOn;

// Looks at JOURNAL_STREAM and standard error; sets journalOn, and then
// makes sure no write to standard error can wait.
void openJournal(void);

// A message: the text (which carries its own "ERROR:  " or "Warning:  " and
// line end) printed on standard output, and under the service recorded at
// priority.
void report(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The console's last line is a status line rewritten in place (the run
// loop's clock line, ended by "\r"): a message, from whichever room, starts
// on a line of its own below it, and the status line is then written
// afresh. The run loop says when it has left one open.
void reportStatusLine(bool open);
bool reportStatusLineOpen(void);
// The system's description of err after a message: on standard error,
// unbuffered, with nothing in front of it; under the service into the
// record instead (standard error is the journal there, and a message and
// its reason belong in one place).
void reportSystemError(int priority, int err);
// The same for a text of our own that stands where a system error text
// would (the remedy after a port error).
void reportDetail(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Text from outside (a file's line, a name a device reports) as a message
// quotes it: a terminal must never act on what such text holds, so control
// bytes, C1 controls and the bidirectional controls that reorder a line show
// as \x1B and the like, and a text longer than limit bytes is cut with a
// visible mark, "[...]".
std::string quotedText(const std::string &text, size_t limit = 80);

// A record's fields of its own, by name: values are taken as they are,
// line ends and all.
typedef std::vector<std::pair<const char *, std::string>> journalFields_t;

// One record of what the program did, only under the service: the message
// text, its kind (the WEEKSWITCH_RECORD field: "switched", "in-force", ...)
// and its fields. Every field is whole or absent: a record too long for a
// datagram leaves out its longest values, never a part of one.
void journalRecord(int priority, const char *kind, const journalFields_t &fields, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
// The record of the run's end ("ended"): it has a place of its own, so that
// no backlog can drop it, and goes before anything still waiting.
void journalEnd(int priority, const journalFields_t &fields, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// Sends what waits in the queue, as far as the journal takes it. The run
// loop calls it at each pass.
void journalFlush(void);
// At the end: sends what waits, and gives journald a moment (at most a
// second) to read it while the process is still there to be told apart by;
// the copy on disk gets the same moment. An end by a signal does the same.
void journalClose(void);
// Records waiting, and records dropped since the last count went out.
int journalQueued(void);
unsigned long journalDropped(void);
// "Ended: signal SIGTERM" from a signal handler, then the end as
// journalClose makes it: async-signal-safe, and waits no more than it does.
void journalSignal(int sig);

// Tests: records go as "<priority>message\n" lines into *sink instead of
// the journal (nullptr: the journal again).
void journalCaptureTo(std::string *sink);
// Tests: the journal's socket (default /run/systemd/journal/socket).
void journalSocketPath(const char *path);

#endif
