// keybuffer.cpp: bytes with arrival times in, key codes out.
#include "keybuffer.h"
#include "keys.h"

#include <cstring>

namespace {

void queueCode(keyBuffer_t *kb, int code, double arrivedMs)
{
    int at = (kb->codeHead + kb->codeCnt) % KEY_BUFFER_CODES;
    kb->codes[at] = code;
    kb->codeArrivedMs[at] = arrivedMs;
    kb->codeCnt++;
}

bool roomForKey(const keyBuffer_t *kb)
{
    return kb->codeCnt + 2 <= KEY_BUFFER_CODES;
}

void dropBytes(keyBuffer_t *kb, int count)
{
    kb->byteCnt -= count;
    memmove(kb->bytes, kb->bytes + count, kb->byteCnt);
    memmove(kb->arrivedMs, kb->arrivedMs + count, kb->byteCnt * sizeof kb->arrivedMs[0]);
}

// The bytes at the front that arrived together, each within
// KEY_ESCAPE_WAIT_MS of the one before: only they can form one key.
int burstLength(const keyBuffer_t *kb)
{
    int n = 1;
    while (n < kb->byteCnt && kb->arrivedMs[n] - kb->arrivedMs[n - 1] <= KEY_ESCAPE_WAIT_MS)
        n++;
    return n;
}

}  // namespace

void keyBufferClear(keyBuffer_t *kb)
{
    kb->byteCnt = kb->codeHead = kb->codeCnt = 0;
}

int keyBufferRoom(const keyBuffer_t *kb)
{
    return KEY_BUFFER_BYTES - kb->byteCnt;
}

void keyBufferAdd(keyBuffer_t *kb, const unsigned char *bytes, int count, double nowMs)
{
    if (count > keyBufferRoom(kb))
        count = keyBufferRoom(kb);
    for (int i = 0; i < count; i++) {
        kb->bytes[kb->byteCnt] = bytes[i];
        kb->arrivedMs[kb->byteCnt] = nowMs;
        kb->byteCnt++;
    }
}

int keyBufferDecode(keyBuffer_t *kb, double nowMs, bool finalCall)
{
    while (kb->byteCnt > 0 && roomForKey(kb)) {
        int burst = burstLength(kb);
        keyFound_t found;
        keyDecode_t result = decodeKey(kb->bytes, burst, &found);
        if (result == KEY_NEED_MORE) {
            double waited = nowMs - kb->arrivedMs[burst - 1];
            // More may still come, unless a later byte shows the burst ended
            // or the buffer has no room for it.
            if (burst == kb->byteCnt && !finalCall && waited < KEY_ESCAPE_WAIT_MS && keyBufferRoom(kb) > 0)
                return (int)(KEY_ESCAPE_WAIT_MS - waited) + 1;
            decodeAfterWait(kb->bytes, burst, &found);
        }
        for (int i = 0; i < found.codeCnt; i++)
            queueCode(kb, found.codes[i], kb->arrivedMs[0]);
        dropBytes(kb, found.length);
    }
    return 0;
}

int keyBufferTake(keyBuffer_t *kb, double *arrivedMs)
{
    if (kb->codeCnt == 0)
        return -1;
    int code = kb->codes[kb->codeHead];
    if (arrivedMs != nullptr)
        *arrivedMs = kb->codeArrivedMs[kb->codeHead];
    kb->codeHead = (kb->codeHead + 1) % KEY_BUFFER_CODES;
    kb->codeCnt--;
    return code;
}
