// keybuffer.h: the bytes a terminal sent, each with the time it arrived,
// turned into queued key codes.
//
// Pure bookkeeping, no terminal: the keyboard code reads the bytes and hands
// them over with the time they were read; the tests and fuzzers feed it
// directly. Whether an Escape byte was the Escape key or the start of a
// sequence is judged by when the bytes arrived, not by when the program
// looked: a terminal sends a sequence (and Alt+Escape as ESC ESC) in one
// write, while a person cannot press two keys within KEY_ESCAPE_WAIT_MS.
#ifndef WEEKSWITCH_KEYBUFFER_H
#define WEEKSWITCH_KEYBUFFER_H

enum { KEY_BUFFER_BYTES = 64, KEY_BUFFER_CODES = 32 };

struct keyBuffer_t {
    unsigned char bytes[KEY_BUFFER_BYTES];  // received, not yet decoded
    double arrivedMs[KEY_BUFFER_BYTES];     // when each of them was read
    int byteCnt;
    int codes[KEY_BUFFER_CODES];            // decoded, not yet taken
    double codeArrivedMs[KEY_BUFFER_CODES]; // when the key's first byte arrived
    int codeHead, codeCnt;
};

void keyBufferClear(keyBuffer_t *kb);
// Bytes that still fit.
int keyBufferRoom(const keyBuffer_t *kb);
// Takes up to keyBufferRoom bytes that arrived at nowMs (a monotonic clock).
void keyBufferAdd(keyBuffer_t *kb, const unsigned char *bytes, int count, double nowMs);
// Decodes what can be judged at nowMs. Returns 0, or the milliseconds to
// wait for the rest of a sequence before calling again (then with
// finalCall true when no byte came, so that what is there is judged as it
// stands).
int keyBufferDecode(keyBuffer_t *kb, double nowMs, bool finalCall);
// The next code, or -1 when none is queued; *arrivedMs, when asked for,
// gets when the first byte of its key arrived.
int keyBufferTake(keyBuffer_t *kb, double *arrivedMs = nullptr);

#endif
