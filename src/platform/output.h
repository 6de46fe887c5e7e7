// output.h: the standard streams both programs start with, and the check that
// what they printed reached its place.
#ifndef WEEKSWITCH_OUTPUT_H
#define WEEKSWITCH_OUTPUT_H

// Gives each of the standard streams 0..2 the program was started without
// /dev/null, and remembers a missing standard output as an output failure.
void fillClosedStandardFds(void);
// Flushes standard output. When it failed (or was missing at start): prints
// "ERROR:  Cannot write standard output" and the error text on standard
// error, and returns -1 when the output was the program's work, else status.
int checkOutputAtExit(int status, bool outputIsTheWork);

#endif
