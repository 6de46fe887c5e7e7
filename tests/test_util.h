// test_util.h: what the unit tests share: output capture and scratch files.
#ifndef WEEKSWITCH_TEST_UTIL_H
#define WEEKSWITCH_TEST_UTIL_H

#include <string>

// Everything printed on standard output and standard error between
// beginCapture and endCapture, byte for byte.
struct capturedOutput {
    std::string out;
    std::string err;
};
void beginCapture(void);
capturedOutput endCapture(void);

// A path in a scratch folder of this test process (created on first use).
std::string scratchPath(const std::string &name);
void writeFile(const std::string &path, const std::string &bytes);
std::string readFile(const std::string &path);

// Empties the ring and zeroes the loader's counters and the settings, so
// that every test starts from a fresh program.
void resetProgram(void);

#endif
