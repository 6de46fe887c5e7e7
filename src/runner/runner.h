// runner.h: run mode and learn mode.
#ifndef WEEKSWITCH_RUNNER_H
#define WEEKSWITCH_RUNNER_H

// Follows the clock and drives the port until Escape (0) or a failed load
// (its result: -1, or the number of refused lines).
int runSchedule(bool learn);

#endif
