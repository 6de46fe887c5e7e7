// keys.h: turns the bytes a terminal sends into the PC key codes the program
// understands (a character, or 0 / 224 followed by an extended scan code).
//
// The decoder keeps no state and touches no terminal: it is handed the bytes
// received so far and says what the front of them amounts to. The caller
// keeps the bytes, waits for more when told to, and drops the bytes a
// decoded key took up.
#ifndef WEEKSWITCH_KEYS_H
#define WEEKSWITCH_KEYS_H

// How long an Escape byte may stand alone before it counts as the Escape key
// rather than the start of a sequence. Terminals send a whole sequence in one
// write, so its bytes follow each other within a few milliseconds even over
// a slow link; a person cannot type Escape and another key that fast. It is
// also how long Escape takes to end the program, so it is kept short.
enum { KEY_ESCAPE_WAIT_MS = 25 };

// The one code of any character outside ASCII. The program only tells
// Escape, two-code keys and other keys apart, so which character it was is
// never used; a fixed code that is none of 0, 27 and 224 keeps it a plain key
// whatever encoding the terminal uses, and one multi-byte character stays one
// key.
enum { KEY_OTHER_CHARACTER = 255 };

enum keyDecode_t {
    KEY_NEED_MORE,  // the front is the start of something longer: wait for more
    KEY_COMPLETE,   // the front is a key: deliver its codes
    KEY_SWALLOW     // the front is a sequence that means no key: drop it
};

struct keyFound_t {
    int length;    // bytes taken up at the front of the input
    int codeCnt;   // 0 when swallowed, else 1 or 2
    int codes[2];  // a character, or 0 or 224 followed by a second code
};

// Looks at the len bytes received so far (len > 0). Unless it says
// KEY_NEED_MORE, *found tells how many bytes to drop and what codes to queue.
keyDecode_t decodeKey(const unsigned char *in, int len, keyFound_t *found);

// The rule once decodeKey said KEY_NEED_MORE and no further byte came within
// KEY_ESCAPE_WAIT_MS: a lone Escape is the Escape key, Escape with one more
// byte is Alt with that key, anything longer was cut off and means nothing.
// Returns KEY_COMPLETE or KEY_SWALLOW; all len bytes are taken up.
keyDecode_t decodeAfterWait(const unsigned char *in, int len, keyFound_t *found);

#endif
