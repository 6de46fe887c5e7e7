// eventfile.h: the timetable file on disk.
//
// The loader fills the ring from the file named by eventFileName; the writer
// appends one learned-event line. The file is open only inside one call, so the
// user may edit it while the program runs.
#ifndef WEEKSWITCH_EVENTFILE_H
#define WEEKSWITCH_EVENTFILE_H

#include "schedule.h"

#include <cstdio>
#include <string>

// Content lines whose day field was good (one per line, whatever the range).
extern long long entryCnt;
// Physical lines read: content, blank and comment lines alike.
extern long long lineCnt;
// The lines of the file's last section line (0xFF: it has none), where a
// learned line appended at the end falls.
extern int32_t lastSectionMask;
// Every line a section of the timetable names.
extern int32_t sectionLines;

// -1 when the file cannot be opened, else the number of refused lines. Only
// check mode reads a pipe, FIFO or device (once); the open never blocks.
int loadEventFile(void);
// The loader's work on a stream that is already open (tests feed it text
// from memory): the same result, and the same messages, as loadEventFile.
int loadEventStream(FILE *fp);
// Check mode's listing of the ring: as listEvents, or for a timetable with
// sections, each section ("[1,2 lights]") with its entries in week order,
// after those before any section ("[all lines]").
int listTimetable(void);
// Appends "Tue 07:30:05 1 ;; *Learned event*" (with a date, a one-off for
// that date only: "2026-12-24 07:30:05 1 ;; *Learned event*") with CR LF
// after the last byte that is not an end-of-data byte (0x1A), and forces it
// to disk; only a regular file, or a link to one that is safe to follow. 0,
// or -1 after printing why, the file unchanged.
// A section line given ("[3 pump]") goes before it, in the same write.
int appendLearnedEvent(const rtEvent_t *ev, int32_t date = -1, const std::string &section = "");
// The section line for the lines of mask, with their name: "[3 pump]",
// "[1-8]" for every line.
std::string sectionLine(int32_t mask);
// Warns, as the loader would, when the event file cannot be read: 0 or -1.
// Only opens and closes (a FIFO is not even opened): nothing is consumed.
int checkEventFileReadable(void);
// Run and learn mode re-read and append: refuses, with a message, an event
// file that exists and is neither a regular file nor a folder. 0 or -1.
int checkEventFileRegular(void);
// Opens the event file the way appendLearnedEvent does (created when
// missing) and closes it again, changing nothing in an existing file: 0, or
// -1 after a message (also when an end-of-data byte would hide what learn
// mode appends).
int checkEventFileAppendable(void);

#endif
