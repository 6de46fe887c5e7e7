// journal.h: the record the program keeps when it runs as the service.
//
// systemd connects the service's standard error to the journal and says so
// in JOURNAL_STREAM ("device:inode" of that stream). When standard error is
// that stream, the program writes one line for each thing it does to the
// port and each way it ends, with the journal's "<N>" priority prefix;
// otherwise nothing here prints anything, so interactive use shows exactly
// what it always showed.
#ifndef WEEKSWITCH_JOURNAL_H
#define WEEKSWITCH_JOURNAL_H

// Priorities as syslog numbers them.
enum { JOURNAL_ERR = 3, JOURNAL_WARNING = 4, JOURNAL_NOTICE = 5, JOURNAL_INFO = 6 };

// Set once by openJournal: standard error is the journal.
extern bool journalOn;

// Looks at JOURNAL_STREAM and standard error; sets journalOn.
void openJournal(void);
// One line, "<priority>text", when journalOn; the text has no line end.
void journalPrint(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
// A console message line ("ERROR:  ...", "Warning:  ...") copied to the
// journal at its priority; any other line is not a message and is left out.
void journalMessageLine(const char *line, int length);
// "Ended: signal SIGTERM" from a signal handler: async-signal-safe.
void journalSignal(int sig);

#endif
