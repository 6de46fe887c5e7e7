// keys_fuzz.cpp: any bytes, arriving in pieces at any times, through the key
// buffer and decoder. The input is a list of pieces: a byte of milliseconds
// since the previous piece, a byte of length (1..16), then the bytes. Every
// byte must be taken up in the end, codes must be 0..255, a first code of 0 or
// 224 always has its second code at once, never 0 (nor 27 after 224), and
// there are never more Escape keys than Escape bytes.
#include "keybuffer.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

int escapeKeys;

// Takes every queued code the way the run loop does.
void takeCodes(keyBuffer_t *kb)
{
    for (int code; (code = keyBufferTake(kb)) >= 0;) {
        check(code <= 255, "code out of range");
        if (code == 27)
            escapeKeys++;
        if (code == 0 || code == 224) {
            int second = keyBufferTake(kb);
            check(second > 0 && second <= 255, "a two-code key without its second code");
            check(code != 224 || second != 27, "Escape after 224");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    keyBuffer_t kb;
    keyBufferClear(&kb);
    escapeKeys = 0;
    int escapeBytes = 0;
    double now = 0;
    size_t at = 0;
    while (at + 2 <= size) {
        now += data[at];
        size_t length = data[at + 1] % 16 + 1;
        at += 2;
        if (length > size - at)
            length = size - at;
        for (size_t i = at; i < at + length; i++)
            escapeBytes += data[i] == 0x1B;
        // What does not fit stays with the terminal until there is room.
        for (size_t done = 0; done < length;) {
            int room = keyBufferRoom(&kb);
            int n = (int)(length - done) < room ? (int)(length - done) : room;
            keyBufferAdd(&kb, data + at + done, n, now);
            done += n;
            int waitMs = keyBufferDecode(&kb, now, false);
            check(waitMs >= 0 && waitMs <= 60, "a wait longer than the Escape wait");
            takeCodes(&kb);
        }
        at += length;
    }
    for (int rounds = 0; kb.byteCnt > 0; rounds++) {
        check(rounds < 100, "bytes that are never taken up");
        keyBufferDecode(&kb, now + 1000, true);
        takeCodes(&kb);
    }
    check(escapeKeys <= escapeBytes, "more Escape keys than Escape bytes");
    return 0;
}
