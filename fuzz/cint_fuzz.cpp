// cint_fuzz.cpp: any text through readCInt, compared with a plain reading of
// C notation written out digit by digit (white space, a sign, 0x hexadecimal,
// 0 octal, else decimal, stopping at the first non-digit, clamped to 32 bits).
#include "schedule.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int digitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 99;
}

int64_t readByHand(const char *p)
{
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digitValue(p[2]) < 16) {
        base = 16;
        p += 2;
    } else if (p[0] == '0') {
        base = 8;
    }
    int64_t value = 0;
    for (; digitValue(*p) < base; p++) {
        value = value * base + digitValue(*p);
        if (value > (int64_t)1 << 40)
            value = (int64_t)1 << 40;  // far beyond the clamp either way
    }
    value = negative ? -value : value;
    return value > INT32_MAX ? INT32_MAX : value < INT32_MIN ? INT32_MIN : value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char text[65];
    if (size >= sizeof text)
        return 0;
    memcpy(text, data, size);
    text[size] = '\0';
    if (readCInt(text) != readByHand(text)) {
        fprintf(stderr, "readCInt differs from the reading by hand\n");
        abort();
    }
    return 0;
}
