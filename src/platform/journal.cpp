// journal.cpp: messages and the service's record, see journal.h.
//
// The record speaks the journal's native protocol: one datagram a record,
// "NAME=value" lines, sent to the journal's socket. A datagram socket keeps
// what it was sent while journald is stopped or restarting (the socket
// itself belongs to systemd), where a stream to journald would be cut and
// everything after lost. Every send is non-blocking: when journald's queue
// is full the record waits in ours, a fixed array, so that the signal
// handler can send from it too without allocating.
#include "journal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

bool journalOn;

namespace {

// journald tells a record's service by the sender's process: at the end the
// program waits this long, at most, for journald to have read what it sent.
const int closeWaitMs = 1000;
// A day of switchings and more; beyond it the count of what was lost.
const int queueLength = 64;
const size_t recordBytes = 1536;

struct record_t {
    size_t length;
    char bytes[recordBytes];
};

int journalFd = -1;
struct sockaddr_un journalAddress;
socklen_t journalAddressLength;
record_t queue[queueLength];
int queueHead, queueCount;
unsigned long droppedCnt;
// The main flow is changing the queue: a signal handler leaves it alone.
volatile sig_atomic_t queueBusy;
std::string *captureSink;

void holdQueue(bool hold)
{
    std::atomic_signal_fence(std::memory_order_seq_cst);
    queueBusy = hold;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

void setSocketPath(const char *path)
{
    memset(&journalAddress, 0, sizeof journalAddress);
    journalAddress.sun_family = AF_UNIX;
    snprintf(journalAddress.sun_path, sizeof journalAddress.sun_path, "%s", path);
    journalAddressLength = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + strlen(journalAddress.sun_path) + 1);
}

// Appends to a record without stdio: the signal handler builds one too.
struct builder_t {
    char *at, *end;
    bool full;
};

// A value: a line end in it would start a field of its own.
void put(builder_t *b, const char *text, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        if (b->at >= b->end) {
            b->full = true;
            return;
        }
        *b->at++ = text[i] == '\n' ? ' ' : text[i];
    }
}

void putText(builder_t *b, const char *text)
{
    put(b, text, strlen(text));
}

void endField(builder_t *b)
{
    if (b->at < b->end)
        *b->at++ = '\n';
    else
        b->full = true;
}

void putNumber(builder_t *b, unsigned long long n)
{
    char digits[24];
    int count = 0;
    do
        digits[count++] = (char)('0' + n % 10);
    while ((n /= 10) > 0);
    while (count > 0)
        put(b, &digits[--count], 1);
}

void putField(builder_t *b, const char *name, const char *value)
{
    putText(b, name);
    put(b, "=", 1);
    putText(b, value);
    endField(b);
}

// The fields every record has: the priority, who we are, when it happened
// (a record that waited in the queue arrives later than it was made).
void putHeader(builder_t *b, int priority, const char *kind)
{
    putText(b, "PRIORITY=");
    putNumber(b, (unsigned long long)priority);
    endField(b);
    putField(b, "SYSLOG_IDENTIFIER", "weekswitch");
    putField(b, "WEEKSWITCH_RECORD", kind);
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    putText(b, "WEEKSWITCH_REALTIME_USEC=");
    putNumber(b, (unsigned long long)now.tv_sec * 1000000ULL + (unsigned long long)now.tv_nsec / 1000);
    endField(b);
}

// One datagram, now or never: 0 when the journal has it.
int sendNow(const char *bytes, size_t length)
{
    if (journalFd < 0)
        return -1;
    ssize_t n;
    do
        n = sendto(journalFd, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL, (const struct sockaddr *)&journalAddress,
                   journalAddressLength);
    while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : 0;
}

// The captured form for the tests: "<priority>message".
void capture(const record_t &r)
{
    const char *bytes = r.bytes, *end = r.bytes + r.length;
    const char *message = nullptr, *priority = nullptr;
    for (const char *line = bytes; line < end;) {
        const char *eol = (const char *)memchr(line, '\n', (size_t)(end - line));
        if (eol == nullptr)
            eol = end;
        if (strncmp(line, "MESSAGE=", 8) == 0)
            message = line;
        if (strncmp(line, "PRIORITY=", 9) == 0)
            priority = line;
        line = eol + 1;
    }
    if (message == nullptr || priority == nullptr)
        return;
    const char *messageEnd = (const char *)memchr(message, '\n', (size_t)(end - message));
    *captureSink += "<" + std::string(priority + 9, 1) + ">" +
                    std::string(message + 8, messageEnd != nullptr ? messageEnd : end) + "\n";
}

// Sends from the head of the queue as long as the journal takes it; then,
// once all has gone, how much was lost on the way.
void sendQueued(void)
{
    while (queueCount > 0) {
        const record_t &r = queue[queueHead];
        if (sendNow(r.bytes, r.length) != 0)
            return;
        queueHead = (queueHead + 1) % queueLength;
        queueCount--;
    }
}

void enqueue(const record_t &r)
{
    if (captureSink != nullptr) {
        capture(r);
        return;
    }
    if (queueCount == queueLength) {
        droppedCnt++;
        return;
    }
    queue[(queueHead + queueCount) % queueLength] = r;
    queueCount++;
}

// Where records were lost, a record says how many, in their place.
void noteDropped(void)
{
    if (droppedCnt == 0 || queueCount == queueLength)
        return;
    record_t r;
    builder_t b = {r.bytes, r.bytes + sizeof r.bytes, false};
    putHeader(&b, JOURNAL_WARNING, "dropped");
    char text[160];
    snprintf(text, sizeof text, "Record: %lu line%s lost, the journal did not take %s in time", droppedCnt,
             droppedCnt == 1 ? "" : "s", droppedCnt == 1 ? "it" : "them");
    putField(&b, "MESSAGE", text);
    char count[24];
    snprintf(count, sizeof count, "%lu", droppedCnt);
    putField(&b, "WEEKSWITCH_DROPPED", count);
    r.length = (size_t)(b.at - r.bytes);
    droppedCnt = 0;
    enqueue(r);
}

void vrecord(int priority, const char *kind, const std::string &fields, const char *format, va_list args)
{
    record_t r;
    builder_t b = {r.bytes, r.bytes + sizeof r.bytes, false};
    putHeader(&b, priority, kind);
    char message[1024];
    vsnprintf(message, sizeof message, format, args);
    size_t length = strlen(message);
    while (length > 0 && (message[length - 1] == '\n' || message[length - 1] == '\r'))
        message[--length] = '\0';
    putField(&b, "MESSAGE", message);
    // Extra fields are whole lines or nothing: a cut one would be garbage.
    for (size_t at = 0; at < fields.size();) {
        size_t eol = fields.find('\n', at);
        std::string line = fields.substr(at, eol == std::string::npos ? std::string::npos : eol - at);
        at = eol == std::string::npos ? fields.size() : eol + 1;
        if (line.empty() || line.size() + 1 > (size_t)(b.end - b.at))
            continue;
        put(&b, line.c_str(), line.size());
        endField(&b);
    }
    r.length = (size_t)(b.at - r.bytes);
    holdQueue(true);
    noteDropped();
    enqueue(r);
    sendQueued();
    holdQueue(false);
}

// The bidirectional embeddings, overrides and isolates (U+202A..U+202E,
// U+2066..U+2069): shown raw they reorder the rest of the terminal line, so a
// message could show a field other than the one the file holds.
bool isBidiControl(const unsigned char *text)
{
    return text[0] == 0xE2 && ((text[1] == 0x80 && text[2] >= 0xAA && text[2] <= 0xAE) ||
                               (text[1] == 0x81 && text[2] >= 0xA6 && text[2] <= 0xA9));
}

// Bytes a UTF-8 character that is printable takes at text, or 0 for a
// control byte, a C1 control, a bidirectional control or a byte that starts
// no whole character.
size_t printableLength(const unsigned char *text, size_t left)
{
    unsigned char c = text[0];
    if (c >= 0x20 && c < 0x7F)
        return 1;
    size_t want = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (want == 0 || want > left || (c == 0xC2 && text[1] < 0xA0))
        return 0;
    for (size_t i = 1; i < want; i++)
        if ((text[i] & 0xC0) != 0x80)
            return 0;
    if (want == 3 && isBidiControl(text))
        return 0;
    return want;
}

}  // namespace

std::string quotedText(const std::string &text, size_t limit)
{
    std::string shown;
    const unsigned char *bytes = (const unsigned char *)text.data();
    size_t i = 0;
    while (i < text.size() && i < limit) {
        size_t length = printableLength(bytes + i, text.size() - i);
        if (length == 0) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02X", bytes[i]);
            shown += escaped;
            length = 1;
        } else {
            shown.append(text, i, length);
        }
        i += length;
    }
    if (i < text.size())
        shown += "[...]";
    return shown;
}

void openJournal(void)
{
    journalOn = false;
    const char *stream = getenv("JOURNAL_STREAM");
    unsigned long long dev, ino;
    struct stat st;
    char end;
    if (stream == nullptr || sscanf(stream, "%llu:%llu%c", &dev, &ino, &end) != 2 || fstat(STDERR_FILENO, &st) != 0)
        return;
    journalOn = (unsigned long long)st.st_dev == dev && (unsigned long long)st.st_ino == ino;
    if (!journalOn)
        return;
    // The stream systemd gave us is ours alone: a stray write to it (a
    // library's complaint) must not wait for journald either.
    int flags = fcntl(STDERR_FILENO, F_GETFL);
    if (flags >= 0)
        fcntl(STDERR_FILENO, F_SETFL, flags | O_NONBLOCK);
    if (journalAddressLength == 0)
        setSocketPath("/run/systemd/journal/socket");
    if (journalFd < 0)
        journalFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

void journalSocketPath(const char *path)
{
    setSocketPath(path);
}

void journalCaptureTo(std::string *sink)
{
    captureSink = sink;
}

void report(int priority, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    if (journalOn) {
        va_list again;
        va_copy(again, args);
        vrecord(priority, "message", std::string(), format, again);
        va_end(again);
    }
    vprintf(format, args);
    va_end(args);
}

void reportSystemError(int priority, int err)
{
    if (!journalOn) {
        fflush(stdout);
        fprintf(stderr, "%s\n", strerror(err));
        return;
    }
    std::string fields = "ERRNO=" + std::to_string(err);
    journalRecord(priority, "message", fields, "%s", strerror(err));
}

void reportDetail(int priority, const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (!journalOn) {
        fflush(stdout);
        fprintf(stderr, "%s\n", text);
        return;
    }
    journalRecord(priority, "message", std::string(), "%s", text);
}

void journalRecord(int priority, const char *kind, const std::string &fields, const char *format, ...)
{
    if (!journalOn)
        return;
    va_list args;
    va_start(args, format);
    vrecord(priority, kind, fields, format, args);
    va_end(args);
}

void journalFlush(void)
{
    if (!journalOn)
        return;
    holdQueue(true);
    sendQueued();
    noteDropped();
    sendQueued();
    holdQueue(false);
}

void journalClose(void)
{
    if (!journalOn || journalFd < 0)
        return;
    journalFlush();
    // Our datagrams count against our socket until journald has read them.
    for (int waited = 0; waited < closeWaitMs; waited += 10) {
        int unread = 0;
        if (ioctl(journalFd, SIOCOUTQ, &unread) != 0 || unread == 0)
            break;
        struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

int journalQueued(void)
{
    return queueCount;
}

unsigned long journalDropped(void)
{
    return droppedCnt;
}

void journalSignal(int sig)
{
    if (!journalOn)
        return;
    // What waited goes first, unless the signal came while the main flow
    // was changing the queue.
    if (!queueBusy)
        sendQueued();
    // No stdio in a signal handler: the record is put together by hand.
    record_t r;
    builder_t b = {r.bytes, r.bytes + sizeof r.bytes, false};
    putHeader(&b, JOURNAL_NOTICE, "ended");
    putText(&b, "MESSAGE=Ended: signal ");
    const char *name = sigabbrev_np(sig);
    if (name != nullptr) {
        putText(&b, "SIG");
        putText(&b, name);
    } else {
        putNumber(&b, (unsigned long long)sig);
    }
    endField(&b);
    r.length = (size_t)(b.at - r.bytes);
    if (captureSink == nullptr)
        sendNow(r.bytes, r.length);
}
