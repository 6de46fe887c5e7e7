// keys.cpp: what terminals send for keys, and the PC key codes that stand
// for them.
//
// Two tables carry all the knowledge. terminalSequences says which key an
// escape sequence is (xterm and its descendants, the Linux console, rxvt,
// VT220, tmux and screen all send variations of the same few forms);
// pcKeys says which codes a PC keyboard delivers for that key alone and with
// Shift, Ctrl or Alt. Modifiers, wherever they come from (the xterm ";N"
// parameter, rxvt's last byte, an Escape in front), are gathered into one
// bit mask before the second table is consulted.
#include "keys.h"

#include <cstring>

namespace {

const unsigned char ESC = 0x1B;

// Longest escape sequence waited for; anything longer is noise to drop.
const int MAX_SEQUENCE = 32;

// Modifier bits as xterm counts them: its ";N" parameter is N-1 of these.
enum { MOD_SHIFT = 1, MOD_ALT = 2, MOD_CTRL = 4, MOD_META = 8 };

// Keys that arrive as escape sequences.
enum pcKey_t {
    PK_F1, PK_F2, PK_F3, PK_F4, PK_F5, PK_F6, PK_F7, PK_F8, PK_F9, PK_F10,
    PK_F11, PK_F12,
    PK_UP, PK_DOWN, PK_LEFT, PK_RIGHT,
    PK_HOME, PK_END, PK_PGUP, PK_PGDN, PK_INS, PK_DEL,
    PK_TAB,  // only with a modifier: plain Tab is a byte of its own
    PK_KP_ENTER, PK_KP_SLASH, PK_KP_STAR, PK_KP_MINUS, PK_KP_PLUS,
    PK_KP_DOT, PK_KP_EQUAL,
    PK_KP_0, PK_KP_1, PK_KP_2, PK_KP_3, PK_KP_4,
    PK_KP_5, PK_KP_6, PK_KP_7, PK_KP_8, PK_KP_9
};

// What the PC delivers for one key with one modifier. second < 0: a single
// code; first < 0: the PC has no code for this combination.
struct pcCodes_t {
    short first, second;
};

#define NONE {-1, -1}
#define CH(c) {c, -1}

// Columns: alone, Shift, Ctrl, Alt. When several modifiers are held, Alt
// wins over Ctrl and Ctrl over Shift, as in the PC BIOS.
enum { COL_PLAIN, COL_SHIFT, COL_CTRL, COL_ALT, COL_COUNT };

struct pcKeyRow_t {
    pcKey_t key;  // rows stand in the order of pcKey_t, checked below
    pcCodes_t codes[COL_COUNT];
};

constexpr pcKeyRow_t pcKeys[] = {
    {PK_F1, {{0, 59}, {0, 84}, {0, 94}, {0, 104}}},
    {PK_F2, {{0, 60}, {0, 85}, {0, 95}, {0, 105}}},
    {PK_F3, {{0, 61}, {0, 86}, {0, 96}, {0, 106}}},
    {PK_F4, {{0, 62}, {0, 87}, {0, 97}, {0, 107}}},
    {PK_F5, {{0, 63}, {0, 88}, {0, 98}, {0, 108}}},
    {PK_F6, {{0, 64}, {0, 89}, {0, 99}, {0, 109}}},
    {PK_F7, {{0, 65}, {0, 90}, {0, 100}, {0, 110}}},
    {PK_F8, {{0, 66}, {0, 91}, {0, 101}, {0, 111}}},
    {PK_F9, {{0, 67}, {0, 92}, {0, 102}, {0, 112}}},
    {PK_F10, {{0, 68}, {0, 93}, {0, 103}, {0, 113}}},
    {PK_F11, {{224, 133}, {224, 135}, {224, 137}, {224, 139}}},
    {PK_F12, {{224, 134}, {224, 136}, {224, 138}, {224, 140}}},
    {PK_UP, {{224, 72}, {224, 72}, {224, 141}, {0, 152}}},
    {PK_DOWN, {{224, 80}, {224, 80}, {224, 145}, {0, 160}}},
    {PK_LEFT, {{224, 75}, {224, 75}, {224, 115}, {0, 155}}},
    {PK_RIGHT, {{224, 77}, {224, 77}, {224, 116}, {0, 157}}},
    {PK_HOME, {{224, 71}, {224, 71}, {224, 119}, {0, 151}}},
    {PK_END, {{224, 79}, {224, 79}, {224, 117}, {0, 159}}},
    {PK_PGUP, {{224, 73}, {224, 73}, {224, 132}, {0, 153}}},
    {PK_PGDN, {{224, 81}, {224, 81}, {224, 118}, {0, 161}}},
    {PK_INS, {{224, 82}, {224, 82}, {224, 146}, {0, 162}}},
    {PK_DEL, {{224, 83}, {224, 83}, {224, 147}, {0, 163}}},
    // CSI I alone is a focus report, not a key.
    {PK_TAB, {NONE, {0, 15}, {0, 148}, {0, 165}}},
    {PK_KP_ENTER, {CH(13), CH(13), CH(10), {0, 166}}},
    {PK_KP_SLASH, {CH('/'), CH('/'), {0, 149}, {0, 164}}},
    {PK_KP_STAR, {CH('*'), CH('*'), NONE, NONE}},
    {PK_KP_MINUS, {CH('-'), CH('-'), NONE, NONE}},
    {PK_KP_PLUS, {CH('+'), CH('+'), NONE, NONE}},
    {PK_KP_DOT, {CH('.'), CH('.'), NONE, NONE}},
    {PK_KP_EQUAL, {CH('='), CH('='), NONE, NONE}},
    {PK_KP_0, {CH('0'), CH('0'), NONE, NONE}},
    {PK_KP_1, {CH('1'), CH('1'), NONE, NONE}},
    {PK_KP_2, {CH('2'), CH('2'), NONE, NONE}},
    {PK_KP_3, {CH('3'), CH('3'), NONE, NONE}},
    {PK_KP_4, {CH('4'), CH('4'), NONE, NONE}},
    {PK_KP_5, {CH('5'), CH('5'), NONE, NONE}},
    {PK_KP_6, {CH('6'), CH('6'), NONE, NONE}},
    {PK_KP_7, {CH('7'), CH('7'), NONE, NONE}},
    {PK_KP_8, {CH('8'), CH('8'), NONE, NONE}},
    {PK_KP_9, {CH('9'), CH('9'), NONE, NONE}},
};

#undef NONE
#undef CH

constexpr bool pcKeysInOrder()
{
    int i = 0;
    for (const pcKeyRow_t &row : pcKeys)
        if (row.key != i++)
            return false;
    return i == PK_KP_9 + 1;
}
static_assert(pcKeysInOrder(), "pcKeys must have one row per pcKey_t, in order");

// How a sequence starts: ESC [, ESC O, or the Linux console's ESC [ [.
enum intro_t { CSI, SS3, LINUX };

// A sequence reduced to its form: the introducer, the number in front of a
// '~' (0 where there is none) and the last byte. rxvt's '$', '^' and '@'
// endings are looked up as '~' with Shift, Ctrl or both.
struct terminalSequence_t {
    intro_t intro;
    int number;
    char final;
    pcKey_t key;
    int mods;  // modifiers the form itself stands for
};

const terminalSequence_t terminalSequences[] = {
    // xterm: CSI forms in normal cursor mode, SS3 in application mode;
    // either may carry ";N".
    {CSI, 0, 'A', PK_UP, 0},    {SS3, 0, 'A', PK_UP, 0},
    {CSI, 0, 'B', PK_DOWN, 0},  {SS3, 0, 'B', PK_DOWN, 0},
    {CSI, 0, 'C', PK_RIGHT, 0}, {SS3, 0, 'C', PK_RIGHT, 0},
    {CSI, 0, 'D', PK_LEFT, 0},  {SS3, 0, 'D', PK_LEFT, 0},
    {CSI, 0, 'H', PK_HOME, 0},  {SS3, 0, 'H', PK_HOME, 0},
    {CSI, 0, 'F', PK_END, 0},   {SS3, 0, 'F', PK_END, 0},
    {SS3, 0, 'P', PK_F1, 0},    {CSI, 0, 'P', PK_F1, 0},
    {SS3, 0, 'Q', PK_F2, 0},    {CSI, 0, 'Q', PK_F2, 0},
    {SS3, 0, 'R', PK_F3, 0},    {CSI, 0, 'R', PK_F3, 0},
    {SS3, 0, 'S', PK_F4, 0},    {CSI, 0, 'S', PK_F4, 0},
    {CSI, 0, 'Z', PK_TAB, MOD_SHIFT},
    {CSI, 0, 'I', PK_TAB, 0},
    // rxvt: Shift with lower-case CSI arrows, Ctrl with lower-case SS3.
    {CSI, 0, 'a', PK_UP, MOD_SHIFT},   {SS3, 0, 'a', PK_UP, MOD_CTRL},
    {CSI, 0, 'b', PK_DOWN, MOD_SHIFT}, {SS3, 0, 'b', PK_DOWN, MOD_CTRL},
    {CSI, 0, 'c', PK_RIGHT, MOD_SHIFT}, {SS3, 0, 'c', PK_RIGHT, MOD_CTRL},
    {CSI, 0, 'd', PK_LEFT, MOD_SHIFT}, {SS3, 0, 'd', PK_LEFT, MOD_CTRL},
    // VT220 editing keys; 1 and 4 are Find and Select, which tmux, screen
    // and the Linux console send for Home and End; rxvt uses 7 and 8.
    {CSI, 1, '~', PK_HOME, 0}, {CSI, 2, '~', PK_INS, 0},
    {CSI, 3, '~', PK_DEL, 0},  {CSI, 4, '~', PK_END, 0},
    {CSI, 5, '~', PK_PGUP, 0}, {CSI, 6, '~', PK_PGDN, 0},
    {CSI, 7, '~', PK_HOME, 0}, {CSI, 8, '~', PK_END, 0},
    // Function keys; 11..14 are rxvt's and PuTTY's F1..F4.
    {CSI, 11, '~', PK_F1, 0},  {CSI, 12, '~', PK_F2, 0},
    {CSI, 13, '~', PK_F3, 0},  {CSI, 14, '~', PK_F4, 0},
    {CSI, 15, '~', PK_F5, 0},  {CSI, 17, '~', PK_F6, 0},
    {CSI, 18, '~', PK_F7, 0},  {CSI, 19, '~', PK_F8, 0},
    {CSI, 20, '~', PK_F9, 0},  {CSI, 21, '~', PK_F10, 0},
    {CSI, 23, '~', PK_F11, 0}, {CSI, 24, '~', PK_F12, 0},
    // The Linux console and rxvt send Shift+Fn as F(n+10), so Shift+F1 and
    // Shift+F2 cannot be told from F11 and F12; the rest are these.
    {CSI, 25, '~', PK_F3, MOD_SHIFT}, {CSI, 26, '~', PK_F4, MOD_SHIFT},
    {CSI, 28, '~', PK_F5, MOD_SHIFT}, {CSI, 29, '~', PK_F6, MOD_SHIFT},
    {CSI, 31, '~', PK_F7, MOD_SHIFT}, {CSI, 32, '~', PK_F8, MOD_SHIFT},
    {CSI, 33, '~', PK_F9, MOD_SHIFT}, {CSI, 34, '~', PK_F10, MOD_SHIFT},
    // The Linux console's own F1..F5.
    {LINUX, 0, 'A', PK_F1, 0}, {LINUX, 0, 'B', PK_F2, 0},
    {LINUX, 0, 'C', PK_F3, 0}, {LINUX, 0, 'D', PK_F4, 0},
    {LINUX, 0, 'E', PK_F5, 0},
    // The keypad in application mode. ESC O E (keypad 5 without Num Lock)
    // is left out: the PC has no code for it.
    {SS3, 0, 'M', PK_KP_ENTER, 0}, {SS3, 0, 'o', PK_KP_SLASH, 0},
    {SS3, 0, 'j', PK_KP_STAR, 0},  {SS3, 0, 'm', PK_KP_MINUS, 0},
    {SS3, 0, 'k', PK_KP_PLUS, 0},  {SS3, 0, 'n', PK_KP_DOT, 0},
    {SS3, 0, 'X', PK_KP_EQUAL, 0},
    {SS3, 0, 'p', PK_KP_0, 0}, {SS3, 0, 'q', PK_KP_1, 0},
    {SS3, 0, 'r', PK_KP_2, 0}, {SS3, 0, 's', PK_KP_3, 0},
    {SS3, 0, 't', PK_KP_4, 0}, {SS3, 0, 'u', PK_KP_5, 0},
    {SS3, 0, 'v', PK_KP_6, 0}, {SS3, 0, 'w', PK_KP_7, 0},
    {SS3, 0, 'x', PK_KP_8, 0}, {SS3, 0, 'y', PK_KP_9, 0},
};

// Alt with a character key gives 0 and the key's scan code. Each row lists
// the keys of one row of the PC keyboard, unshifted and shifted, from the
// scan code of its first key on.
struct scanRow_t {
    const char *keys;
    int firstScanCode;
};

const scanRow_t scanRows[] = {
    {"1234567890-=", 120}, {"!@#$%^&*()_+", 120},  // Alt+digits are not 2..13
    {"qwertyuiop[]", 16},  {"QWERTYUIOP{}", 16},
    {"asdfghjkl;'`", 30},  {"ASDFGHJKL:\"~", 30},
    {"zxcvbnm,./", 44},    {"ZXCVBNM<>?", 44},
};

// Alt with the keys that send control bytes.
const struct {
    unsigned char byte;
    int scanCode;
} altControls[] = {
    {ESC, 1}, {0x7F, 14}, {0x08, 14}, {'\r', 28}, {'\n', 28}, {'\t', 165},
};

keyDecode_t complete(keyFound_t *found, int length, int first, int second)
{
    found->length = length;
    found->codeCnt = second < 0 ? 1 : 2;
    found->codes[0] = first;
    found->codes[1] = second < 0 ? 0 : second;
    return KEY_COMPLETE;
}

keyDecode_t swallow(keyFound_t *found, int length)
{
    found->length = length;
    found->codeCnt = 0;
    found->codes[0] = found->codes[1] = 0;
    return KEY_SWALLOW;
}

// Bytes a UTF-8 character takes, from its first byte; 1 for a byte that
// cannot start one.
int utf8Length(unsigned char first)
{
    if (first >= 0xC2 && first <= 0xDF)
        return 2;
    if (first >= 0xE0 && first <= 0xEF)
        return 3;
    if (first >= 0xF0 && first <= 0xF4)
        return 4;
    return 1;
}

// How many bytes of a character outside ASCII are there, or 0 when it is
// not all there yet. A character broken off by a byte that cannot continue
// it ends before that byte.
int nonAsciiLength(const unsigned char *in, int len)
{
    int want = utf8Length(in[0]);
    for (int i = 1; i < want; i++) {
        if (i >= len)
            return 0;
        if ((in[i] & 0xC0) != 0x80)
            return i;
    }
    return want;
}

keyDecode_t decodeCharacter(const unsigned char *in, int len, keyFound_t *found)
{
    unsigned char byte = in[0];
    if (byte == 0)
        return complete(found, 1, 0, 3);  // Ctrl+2
    if (byte == 0x7F || byte == 0x08)
        return complete(found, 1, 8, -1);
    if (byte == '\r' || byte == '\n')
        return complete(found, 1, 13, -1);
    if (byte < 0x80)
        return complete(found, 1, byte, -1);
    int length = nonAsciiLength(in, len);
    if (length == 0)
        return KEY_NEED_MORE;
    return complete(found, length, KEY_OTHER_CHARACTER, -1);
}

int altScanCode(unsigned char byte)
{
    for (const auto &control : altControls)
        if (control.byte == byte)
            return control.scanCode;
    if (byte == 0)
        return -1;
    for (const scanRow_t &row : scanRows) {
        const char *at = strchr(row.keys, byte);
        if (at)
            return row.firstScanCode + (int)(at - row.keys);
    }
    return -1;
}

// ESC and one more key, which is not the start of a sequence.
keyDecode_t decodeAltKey(const unsigned char *in, int len, keyFound_t *found)
{
    if (in[1] >= 0x80) {  // Alt with a character the PC keyboard has no scan code for
        int length = nonAsciiLength(in + 1, len - 1);
        return length ? swallow(found, 1 + length) : KEY_NEED_MORE;
    }
    int scanCode = altScanCode(in[1]);
    if (scanCode < 0)
        return swallow(found, 2);  // Alt+Space, Alt+backslash, Ctrl+Alt+letter
    return complete(found, 2, 0, scanCode);
}

const terminalSequence_t *findSequence(intro_t intro, int number, char final)
{
    for (const terminalSequence_t &form : terminalSequences)
        if (form.intro == intro && form.number == number && form.final == final)
            return &form;
    return nullptr;
}

int modifierColumn(int mods)
{
    if (mods & (MOD_ALT | MOD_META))
        return COL_ALT;
    if (mods & MOD_CTRL)
        return COL_CTRL;
    if (mods & MOD_SHIFT)
        return COL_SHIFT;
    return COL_PLAIN;
}

keyDecode_t deliverKey(const terminalSequence_t *form, int mods, int length, keyFound_t *found)
{
    if (!form)
        return swallow(found, length);
    const pcCodes_t &codes = pcKeys[form->key].codes[modifierColumn(mods | form->mods)];
    if (codes.first < 0)
        return swallow(found, length);
    return complete(found, length, codes.first, codes.second);
}

// The numbers of a parameter string such as "15;5". Returns how many there
// are, or -1 for anything but digits and semicolons (private markers of
// mouse reports and terminal replies) or more numbers than keys carry.
int parseParameters(const unsigned char *at, int len, int numbers[2])
{
    int count = 1;
    numbers[0] = numbers[1] = 0;
    if (len == 0)
        return 0;
    for (int i = 0; i < len; i++) {
        if (at[i] == ';') {
            if (++count > 2)
                return -1;
        } else if (at[i] >= '0' && at[i] <= '9') {
            int &n = numbers[count - 1];
            n = n * 10 + (at[i] - '0');
            if (n > 9999)
                return -1;
        } else {
            return -1;
        }
    }
    return count;
}

// Modifiers that the last byte of an rxvt sequence stands for.
int rxvtFinalMods(unsigned char final)
{
    switch (final) {
    case '$': return MOD_SHIFT;
    case '^': return MOD_CTRL;
    case '@': return MOD_CTRL | MOD_SHIFT;
    default: return 0;
    }
}

bool isFinalByte(unsigned char byte)
{
    return (byte >= 0x40 && byte <= 0x7E) || byte == '$';
}

// A CSI or SS3 sequence in ECMA-48 shape: parameter bytes, intermediate
// bytes, one final byte; rxvt's '$' ending counts as a final byte.
keyDecode_t decodeParameterised(const unsigned char *in, int len, intro_t intro, int mods,
                                keyFound_t *found)
{
    int i = 2;
    while (i < len && in[i] >= 0x30 && in[i] <= 0x3F)
        i++;
    int parametersEnd = i;
    while (i < len && in[i] >= 0x20 && in[i] <= 0x2F && in[i] != '$')
        i++;
    if (i == len)
        return len >= MAX_SEQUENCE ? swallow(found, len) : KEY_NEED_MORE;
    if (!isFinalByte(in[i]))
        return swallow(found, i);  // cut off by a byte that cannot belong to it
    int length = i + 1;
    int numbers[2];
    int count = parseParameters(in + 2, parametersEnd - 2, numbers);
    if (count < 0 || parametersEnd != i)
        return swallow(found, length);

    unsigned char final = in[i];
    int number = 0, modParameter = 1;
    if (final == '~' || rxvtFinalMods(final)) {
        number = numbers[0];
        if (count == 2)
            modParameter = numbers[1];
        mods |= rxvtFinalMods(final);
        final = '~';
    } else if (count == 2) {
        modParameter = numbers[1];  // xterm's "1;N" in front of a letter
    } else if (count == 1) {
        modParameter = numbers[0];  // older xterm and konsole: ESC O 2 P
    }
    if (modParameter < 1 || modParameter > 16)
        return swallow(found, length);
    mods |= modParameter - 1;
    return deliverKey(findSequence(intro, number, (char)final), mods, length, found);
}

// in[0] is ESC and in[1] is '[' or 'O'; mods are those of an Escape in front.
keyDecode_t decodeSequence(const unsigned char *in, int len, int mods, keyFound_t *found)
{
    if (in[1] == 'O')
        return decodeParameterised(in, len, SS3, mods, found);
    if (len < 3)
        return KEY_NEED_MORE;
    if (in[2] == '[') {  // the Linux console's F1..F5
        if (len < 4)
            return KEY_NEED_MORE;
        if (!isFinalByte(in[3]))
            return swallow(found, 3);
        return deliverKey(findSequence(LINUX, 0, (char)in[3]), mods, 4, found);
    }
    if (in[2] == 'M')  // an X10 mouse report: three raw bytes follow
        return len < 6 ? KEY_NEED_MORE : swallow(found, 6);
    return decodeParameterised(in, len, CSI, mods, found);
}

bool startsSequence(unsigned char byte)
{
    return byte == '[' || byte == 'O';
}

}  // namespace

keyDecode_t decodeKey(const unsigned char *in, int len, keyFound_t *found)
{
    if (in[0] != ESC)
        return decodeCharacter(in, len, found);
    if (len < 2)
        return KEY_NEED_MORE;
    if (startsSequence(in[1]))
        return decodeSequence(in, len, 0, found);
    if (in[1] != ESC)
        return decodeAltKey(in, len, found);

    // ESC ESC: Alt+Escape, or Alt in front of a sequence (rxvt, xterm with
    // metaSendsEscape).
    if (len < 3)
        return KEY_NEED_MORE;
    if (!startsSequence(in[2]))
        return decodeAltKey(in, len, found);
    keyDecode_t result = decodeSequence(in + 1, len - 1, MOD_ALT, found);
    if (result != KEY_NEED_MORE)
        found->length++;
    return result;
}

keyDecode_t decodeAfterWait(const unsigned char *in, int len, keyFound_t *found)
{
    if (in[0] != ESC)  // a character whose last bytes never came
        return complete(found, len, KEY_OTHER_CHARACTER, -1);
    if (len == 1)
        return complete(found, 1, ESC, -1);
    if (len == 2 && in[1] < 0x80)  // ESC ESC, ESC [ and ESC O are what Alt sends
        return decodeAltKey(in, len, found);
    return swallow(found, len);
}
