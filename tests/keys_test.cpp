// keys_test.cpp: the key decoder fed what real terminals send, without any
// terminal: every key of the PC code table from each family of terminals,
// sequences that mean no key, sequences cut off, and keys run together.
#include "keybuffer.h"
#include "keys.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

typedef std::vector<int> codes_t;

struct keyCase_t {
    std::string bytes;
    codes_t codes;
};

// Decodes all of bytes as if nothing more came after them.
codes_t decodeAll(const std::string &bytes)
{
    codes_t codes;
    const unsigned char *in = (const unsigned char *)bytes.data();
    int left = (int)bytes.size();
    while (left > 0) {
        keyFound_t found;
        if (decodeKey(in, left, &found) == KEY_NEED_MORE)
            decodeAfterWait(in, left, &found);
        if (found.length <= 0 || found.length > left) {
            ADD_FAILURE() << "took " << found.length << " of " << left << " bytes";
            break;
        }
        codes.insert(codes.end(), found.codes, found.codes + found.codeCnt);
        in += found.length;
        left -= found.length;
    }
    return codes;
}

std::string shown(const std::string &bytes)
{
    std::string text;
    for (unsigned char c : bytes)
        text += c == 0x1B ? std::string("ESC ") : c < 0x20 || c >= 0x7F ? "\\x" + std::to_string(c) + " "
                                                                        : std::string(1, (char)c) + " ";
    return text;
}

// Each case is one key: decoded whole it gives its codes, and every part of
// it that arrived alone is the start of something longer, never a key.
void expectKeys(const std::vector<keyCase_t> &cases)
{
    for (const keyCase_t &key : cases) {
        EXPECT_EQ(decodeAll(key.bytes), key.codes) << shown(key.bytes);
        for (size_t part = 1; part < key.bytes.size(); part++) {
            keyFound_t found;
            EXPECT_EQ(decodeKey((const unsigned char *)key.bytes.data(), (int)part, &found), KEY_NEED_MORE)
                << shown(key.bytes.substr(0, part));
        }
    }
}

TEST(Keys, Xterm)
{
    expectKeys({
        {"\x1b[A", {224, 72}}, {"\x1b[B", {224, 80}}, {"\x1b[D", {224, 75}}, {"\x1b[C", {224, 77}},
        {"\x1bOA", {224, 72}}, {"\x1bOB", {224, 80}}, {"\x1bOD", {224, 75}}, {"\x1bOC", {224, 77}},
        {"\x1b[H", {224, 71}}, {"\x1b[F", {224, 79}}, {"\x1bOH", {224, 71}}, {"\x1bOF", {224, 79}},
        {"\x1b[2~", {224, 82}}, {"\x1b[3~", {224, 83}}, {"\x1b[5~", {224, 73}}, {"\x1b[6~", {224, 81}},
        {"\x1bOP", {0, 59}}, {"\x1bOQ", {0, 60}}, {"\x1bOR", {0, 61}}, {"\x1bOS", {0, 62}},
        {"\x1b[15~", {0, 63}}, {"\x1b[17~", {0, 64}}, {"\x1b[18~", {0, 65}}, {"\x1b[19~", {0, 66}},
        {"\x1b[20~", {0, 67}}, {"\x1b[21~", {0, 68}}, {"\x1b[23~", {224, 133}}, {"\x1b[24~", {224, 134}},
        {"\x1b[Z", {0, 15}},
    });
}

TEST(Keys, XtermModifierParameter)
{
    expectKeys({
        {"\x1b[1;2P", {0, 84}}, {"\x1b[1;5P", {0, 94}}, {"\x1b[1;3P", {0, 104}}, {"\x1b[1;5S", {0, 97}},
        {"\x1b[15;2~", {0, 88}}, {"\x1b[21;5~", {0, 103}}, {"\x1b[20;3~", {0, 112}},
        {"\x1b[23;2~", {224, 135}}, {"\x1b[24;2~", {224, 136}}, {"\x1b[23;5~", {224, 137}},
        {"\x1b[24;5~", {224, 138}}, {"\x1b[23;3~", {224, 139}}, {"\x1b[24;3~", {224, 140}},
        {"\x1b[1;2A", {224, 72}}, {"\x1b[3;2~", {224, 83}},  // Shift leaves them as they are
        {"\x1b[1;5A", {224, 141}}, {"\x1b[1;5B", {224, 145}}, {"\x1b[1;5D", {224, 115}},
        {"\x1b[1;5C", {224, 116}}, {"\x1b[1;5H", {224, 119}}, {"\x1b[1;5F", {224, 117}},
        {"\x1b[5;5~", {224, 132}}, {"\x1b[6;5~", {224, 118}}, {"\x1b[2;5~", {224, 146}},
        {"\x1b[3;5~", {224, 147}},
        {"\x1b[1;3A", {0, 152}}, {"\x1b[1;3B", {0, 160}}, {"\x1b[1;3D", {0, 155}}, {"\x1b[1;3C", {0, 157}},
        {"\x1b[1;3H", {0, 151}}, {"\x1b[1;3F", {0, 159}}, {"\x1b[5;3~", {0, 153}}, {"\x1b[6;3~", {0, 161}},
        {"\x1b[2;3~", {0, 162}}, {"\x1b[3;3~", {0, 163}},
        // Several modifiers: Alt before Ctrl before Shift; Meta counts as Alt.
        {"\x1b[1;6A", {224, 141}}, {"\x1b[23;7~", {224, 139}}, {"\x1b[1;9A", {0, 152}},
        {"\x1bO1;5A", {224, 141}}, {"\x1bO2P", {0, 84}}, {"\x1bO5S", {0, 97}},  // older SS3 forms
        {"\x1b[1;5I", {0, 148}}, {"\x1b[1;3I", {0, 165}}, {"\x1b[1;2Z", {0, 15}},
    });
}

TEST(Keys, LinuxConsoleRxvtVt220TmuxScreen)
{
    expectKeys({
        // Linux console
        {"\x1b[[A", {0, 59}}, {"\x1b[[B", {0, 60}}, {"\x1b[[C", {0, 61}}, {"\x1b[[D", {0, 62}},
        {"\x1b[[E", {0, 63}}, {"\x1b[25~", {0, 86}}, {"\x1b[34~", {0, 93}},
        // rxvt
        {"\x1b[11~", {0, 59}}, {"\x1b[12~", {0, 60}}, {"\x1b[13~", {0, 61}}, {"\x1b[14~", {0, 62}},
        {"\x1b[23$", {224, 135}}, {"\x1b[24$", {224, 136}}, {"\x1b[11^", {0, 94}}, {"\x1b[24^", {224, 138}},
        {"\x1b[23@", {224, 137}}, {"\x1b[28^", {0, 98}}, {"\x1b[7~", {224, 71}}, {"\x1b[8~", {224, 79}},
        {"\x1b[7^", {224, 119}}, {"\x1b[8$", {224, 79}}, {"\x1b[3^", {224, 147}},
        {"\x1b[a", {224, 72}}, {"\x1b[b", {224, 80}}, {"\x1b[c", {224, 77}}, {"\x1b[d", {224, 75}},
        {"\x1bOa", {224, 141}}, {"\x1bOb", {224, 145}}, {"\x1bOc", {224, 116}}, {"\x1bOd", {224, 115}},
        {"\x1b\x1b[A", {0, 152}}, {"\x1b\x1b[11~", {0, 104}}, {"\x1b\x1bOd", {0, 155}},
        // VT220 and what tmux and screen send
        {"\x1b[1~", {224, 71}}, {"\x1b[4~", {224, 79}}, {"\x1b[5~", {224, 73}}, {"\x1b[6~", {224, 81}},
        {"\x1bOP", {0, 59}}, {"\x1bOA", {224, 72}}, {"\x1b[1;2B", {224, 80}}, {"\x1b[1;5~", {224, 119}},
        // keypad in application mode
        {"\x1bOM", {13}}, {"\x1bOp", {'0'}}, {"\x1bOy", {'9'}}, {"\x1bOo", {'/'}}, {"\x1bOk", {'+'}},
        {"\x1bO5o", {0, 149}}, {"\x1b\x1bOM", {0, 166}},
    });
}

TEST(Keys, CharactersAndAlt)
{
    expectKeys({
        {"a", {'a'}}, {"Z", {'Z'}}, {" ", {' '}}, {"~", {'~'}}, {"\r", {13}}, {"\n", {13}},
        {"\x7f", {8}}, {"\b", {8}}, {"\t", {9}}, {"\x01", {1}}, {"\x1a", {26}}, {std::string(1, '\0'), {0, 3}},
        {"\x1bq", {0, 16}}, {"\x1bp", {0, 25}}, {"\x1b[", {0, 26}}, {"\x1b]", {0, 27}}, {"\x1b" "a", {0, 30}},
        {"\x1bl", {0, 38}}, {"\x1b;", {0, 39}}, {"\x1b'", {0, 40}}, {"\x1b`", {0, 41}}, {"\x1bz", {0, 44}},
        {"\x1bm", {0, 50}}, {"\x1b,", {0, 51}}, {"\x1b.", {0, 52}}, {"\x1b/", {0, 53}}, {"\x1bO", {0, 24}},
        {"\x1b" "1", {0, 120}}, {"\x1b" "0", {0, 129}}, {"\x1b-", {0, 130}}, {"\x1b=", {0, 131}},
        {"\x1b" "A", {0, 30}}, {"\x1b!", {0, 120}}, {"\x1b:", {0, 39}}, {"\x1b?", {0, 53}},  // with Shift
        {"\x1b\x1b", {0, 1}}, {"\x1b\x7f", {0, 14}}, {"\x1b\b", {0, 14}}, {"\x1b\r", {0, 28}},
        {"\x1b\t", {0, 165}},
        // one key however many bytes, never 224 (U+00E0 and Latin-1 0xE0)
        {"\xc3\xa4", {255}}, {"\xc3\xa0", {255}}, {"\xe2\x82\xac", {255}}, {"\xf0\x9f\x98\x80", {255}},
        {"\xe0", {255}},
    });
}

TEST(Keys, LoneEscapeOnlyAfterTheWait)
{
    keyFound_t found;
    EXPECT_EQ(decodeKey((const unsigned char *)"\x1b", 1, &found), KEY_NEED_MORE);
    EXPECT_EQ(decodeAfterWait((const unsigned char *)"\x1b", 1, &found), KEY_COMPLETE);
    EXPECT_EQ(codes_t(found.codes, found.codes + found.codeCnt), codes_t{27});
}

TEST(Keys, SequencesWithoutKeyAreSwallowedWhole)
{
    const char *noKey[] = {
        "\x1b[E", "\x1bOE", "\x1b[G",                         // keypad 5 without Num Lock
        "\x1b[I", "\x1b[O",                                   // focus reports
        "\x1b[<0;12;7M", "\x1b[<0;12;7m", "\x1b[M !!", "\x1b[32;12;7M",  // mouse reports
        "\x1b[27;5;9~", "\x1b[9;5u", "\x1b[99~", "\x1b[200~", "\x1b[?1;2c", "\x1b[1;99A", "\x1b[[Z",
        "\x1b ", "\x1b\\", "\x1b|", "\x1b\x01", "\x1b\xc3\xa4",  // Alt without a PC code
        "\x1b[1;", "\x1b[15", "\x1b[[", "\x1bO1;", "\x1b\x1b[", "\x1b[M!",  // cut off
    };
    for (const char *bytes : noKey)
        EXPECT_EQ(decodeAll(bytes), codes_t{}) << shown(bytes);
}

TEST(Keys, KeysRunTogetherComeInOrder)
{
    std::vector<keyCase_t> runs = {
        {"a\x1b[A\x1bOPb", {'a', 224, 72, 0, 59, 'b'}},
        {"\x1b[15~\x1b", {0, 63, 27}},
        {"\x1b[<0;1;1M\x1b[B", {224, 80}},
        {"\x1b[1;\x1b[A", {224, 72}},      // a sequence broken off by the next one
        {"\x1b\x1b\x1b[A", {0, 1, 224, 72}},
        {"\xc3\xa4\r\xe9x", {255, 13, 255, 'x'}},
        {"\x1b[[A\x1b[[E", {0, 59, 0, 63}},
    };
    for (const keyCase_t &run : runs)
        EXPECT_EQ(decodeAll(run.bytes), run.codes) << shown(run.bytes);
}

// Whatever a terminal sends, Escape never comes out of a sequence and a 224
// is always followed by a code that is neither 0 nor 27.
TEST(Keys, NoEscapeFromNoise)
{
    const char alphabet[] = "\x1b[O;0123456789~$^@ABCDHFPQSZMIabcdo<?\x7f\xc3\xa4";
    srand(7);
    for (int round = 0; round < 20000; round++) {
        std::string bytes = "\x1b";
        int length = 1 + rand() % 10;
        for (int i = 0; i < length; i++)
            bytes += alphabet[rand() % (sizeof alphabet - 1)];
        bytes += "x";  // something always follows: no wait ever runs out
        codes_t codes = decodeAll(bytes);
        for (size_t i = 0; i < codes.size(); i++) {
            ASSERT_NE(codes[i], 27) << shown(bytes);
            if (codes[i] != 0 && codes[i] != 224)
                continue;
            ASSERT_LT(i + 1, codes.size()) << shown(bytes);
            if (codes[i] == 224) {
                EXPECT_NE(codes[i + 1], 0) << shown(bytes);
                EXPECT_NE(codes[i + 1], 27) << shown(bytes);
            }
            i++;  // the second code: after 0 it may be 27 (Alt+])
        }
    }
}

// Bytes judged by when they arrived: (bytes, arrival ms) pieces, then
// everything taken once nothing more came.
std::vector<int> arrived(std::vector<std::pair<std::string, double>> pieces)
{
    keyBuffer_t kb;
    keyBufferClear(&kb);
    std::vector<int> codes;
    double last = 0;
    for (const auto &piece : pieces) {
        keyBufferAdd(&kb, (const unsigned char *)piece.first.data(), (int)piece.first.size(), piece.second);
        last = piece.second;
    }
    keyBufferDecode(&kb, last + 1000, true);
    for (int code; (code = keyBufferTake(&kb)) >= 0;)
        codes.push_back(code);
    return codes;
}

TEST(KeyBuffer, ArrivalTellsPressesFromSequences)
{
    EXPECT_EQ(arrived({{"\x1b", 0}, {"\x1b", 100}}), (std::vector<int>{27, 27}));
    EXPECT_EQ(arrived({{"\x1b\x1b", 0}}), (std::vector<int>{0, 1}));
    EXPECT_EQ(arrived({{"\x1b", 0}, {"a", 200}}), (std::vector<int>{27, 'a'}));
    EXPECT_EQ(arrived({{"\x1b[1", 0}, {"7~", 10}}), (std::vector<int>{0, 64}));
    keyBuffer_t kb;
    keyBufferClear(&kb);
    keyBufferAdd(&kb, (const unsigned char *)"\x1b", 1, 0);
    EXPECT_GT(keyBufferDecode(&kb, 20, false), 0);  // the rest of a sequence may still come
    EXPECT_EQ(keyBufferTake(&kb), -1);
}

}  // namespace
