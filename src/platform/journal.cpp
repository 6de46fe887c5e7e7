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
#include "durable.h"

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
// Room for the longest path twice (the message and a field) and the rest:
// fields go whole or not at all, and only a record beyond this loses any.
const size_t recordBytes = 16384;
// The fields one record has at most: its header, the message, the extras.
const int fieldsPerRecord = 16;

struct record_t {
    size_t length;
    long long usec;  // when it was made
    char bytes[recordBytes];
};

int journalFd = -1;
struct sockaddr_un journalAddress;
socklen_t journalAddressLength;
record_t queue[queueLength];
int queueHead, queueCount;
// Records the queue had no room for, and the own times of the first and the
// last of them, until the count of them is queued.
unsigned long droppedCnt;
long long lostFromUsec, lostToUsec;
// The end of the run has a place of its own, outside the queue: it goes
// before anything still waiting, and a full queue cannot drop it. The end by
// a signal has another, so that a signal cannot spoil one half made.
record_t endRecord, signalEndRecord;
volatile sig_atomic_t endWaiting, signalEndWaiting;
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

long long realtimeUsec(void)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (long long)now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

// Digits without stdio: the signal handler makes records too.
size_t digitsOf(unsigned long long n, char *out)
{
    char reversed[24];
    size_t count = 0;
    do
        reversed[count++] = (char)('0' + n % 10);
    while ((n /= 10) > 0);
    for (size_t i = 0; i < count; i++)
        out[i] = reversed[count - 1 - i];
    out[count] = '\0';
    return count;
}

// A record's fields before they are laid out. Nothing here allocates.
struct field_t {
    const char *name;
    const char *value;
    size_t length;
};

struct fieldList_t {
    field_t fields[fieldsPerRecord];
    int count;
    char numbers[5][24];  // PRIORITY, WEEKSWITCH_REALTIME_USEC, counts and times
};

void addField(fieldList_t *list, const char *name, const char *value, size_t length)
{
    if (list->count < fieldsPerRecord)
        list->fields[list->count++] = {name, value, length};
}

void addText(fieldList_t *list, const char *name, const char *value)
{
    addField(list, name, value, strlen(value));
}

void addHeader(fieldList_t *list, int priority, const char *kind, long long usec)
{
    list->count = 0;
    addField(list, "PRIORITY", list->numbers[0], digitsOf((unsigned long long)priority, list->numbers[0]));
    addText(list, "SYSLOG_IDENTIFIER", "weekswitch");
    addText(list, "WEEKSWITCH_RECORD", kind);
    addField(list, "WEEKSWITCH_REALTIME_USEC", list->numbers[1], digitsOf((unsigned long long)usec, list->numbers[1]));
}

bool hasControlBytes(const char *value, size_t length)
{
    for (size_t i = 0; i < length; i++)
        if ((unsigned char)value[i] < 0x20 || value[i] == 0x7F)
            return true;
    return false;
}

// A value with a line end or another control byte goes in the journal's
// binary-safe form (the name, a line end, the length as 64 bits little
// endian, the bytes): as "NAME=value" a line end would start a field of
// its own.
size_t bytesOf(const field_t &f)
{
    return strlen(f.name) + 1 + (hasControlBytes(f.value, f.length) ? 8 : 0) + f.length + 1;
}

char *layOut(char *at, const field_t &f)
{
    size_t nameLength = strlen(f.name);
    memcpy(at, f.name, nameLength);
    at += nameLength;
    if (hasControlBytes(f.value, f.length)) {
        *at++ = '\n';
        for (int i = 0; i < 8; i++)
            *at++ = (char)((unsigned long long)f.length >> (8 * i));
    } else {
        *at++ = '=';
    }
    memcpy(at, f.value, f.length);
    at += f.length;
    *at++ = '\n';
    return at;
}

// Every field whole or not at all: when the record would be too long, its
// longest values are left out, so that a long name cannot push out the
// short fields after it; a message left out is replaced by a word on it.
void build(record_t *r, fieldList_t *list, long long usec)
{
    size_t total = 0;
    for (int i = 0; i < list->count; i++)
        total += bytesOf(list->fields[i]);
    static const char tooLong[] = "(the message was too long for the record)";
    while (total > recordBytes) {
        int longest = -1;
        for (int i = 0; i < list->count; i++)
            if (list->fields[i].value != tooLong &&
                (longest < 0 || list->fields[i].length > list->fields[longest].length))
                longest = i;
        field_t &f = list->fields[longest];
        total -= bytesOf(f);
        if (strcmp(f.name, "MESSAGE") == 0) {
            f.value = tooLong;
            f.length = sizeof tooLong - 1;
            total += bytesOf(f);
        } else {
            f = list->fields[--list->count];
        }
    }
    char *at = r->bytes;
    for (int i = 0; i < list->count; i++)
        at = layOut(at, list->fields[i]);
    r->length = (size_t)(at - r->bytes);
    r->usec = usec;
}

// The copy on disk: the same fields as lines, control bytes shown escaped;
// a field that does not fit the slot is left out, and the message, written
// last, is cut to what is left.
size_t putOnDisk(char *lines, size_t at, size_t room, const field_t &f, bool cut)
{
    static const char hex[] = "0123456789ABCDEF";
    size_t nameLength = strlen(f.name), need = nameLength + 2;
    for (size_t k = 0; k < f.length; k++)
        need += (unsigned char)f.value[k] < 0x20 || f.value[k] == 0x7F ? 4 : 1;
    if (at + need > room && (!cut || at + nameLength + 2 > room))
        return at;
    memcpy(lines + at, f.name, nameLength);
    at += nameLength;
    lines[at++] = '=';
    for (size_t k = 0; k < f.length && at + 5 < room; k++) {
        unsigned char c = (unsigned char)f.value[k];
        if (c >= 0x20 && c != 0x7F) {
            lines[at++] = (char)c;
        } else {
            lines[at++] = '\\';
            lines[at++] = 'x';
            lines[at++] = hex[c >> 4];
            lines[at++] = hex[c & 15];
        }
    }
    lines[at++] = '\n';
    return at;
}

void keepOnDisk(const fieldList_t &list)
{
    char lines[durableTextBytes];
    size_t at = 0;
    for (int i = 0; i < list.count; i++)
        if (strcmp(list.fields[i].name, "MESSAGE") != 0 && strcmp(list.fields[i].name, "SYSLOG_IDENTIFIER") != 0)
            at = putOnDisk(lines, at, sizeof lines, list.fields[i], false);
    for (int i = 0; i < list.count; i++)
        if (strcmp(list.fields[i].name, "MESSAGE") == 0)
            at = putOnDisk(lines, at, sizeof lines, list.fields[i], true);
    durableWrite(lines, at);
}

// One datagram, now or never: 0 when the journal has it.
int sendNow(const record_t &r)
{
    if (journalFd < 0)
        return -1;
    ssize_t n;
    do
        n = sendto(journalFd, r.bytes, r.length, MSG_DONTWAIT | MSG_NOSIGNAL,
                   (const struct sockaddr *)&journalAddress, journalAddressLength);
    while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : 0;
}

// The captured form for the tests: "<priority>message".
void capture(const record_t &r)
{
    std::string priority, message;
    for (size_t at = 0; at < r.length;) {
        size_t eol = std::string(r.bytes + at, r.length - at).find('\n');
        std::string head(r.bytes + at, eol), value;
        size_t eq = head.find('=');
        if (eq != std::string::npos) {
            value = head.substr(eq + 1);
            head.resize(eq);
            at += eol + 1;
        } else {
            unsigned long long length = 0;
            for (int i = 0; i < 8; i++)
                length |= (unsigned long long)(unsigned char)r.bytes[at + eol + 1 + i] << (8 * i);
            value.assign(r.bytes + at + eol + 9, length);
            at += eol + 9 + length + 1;
        }
        if (head == "PRIORITY")
            priority = value;
        if (head == "MESSAGE")
            message = value;
    }
    *captureSink += "<" + priority + ">" + message + "\n";
}

// Sends from the head of the queue as long as the journal takes it.
void sendQueued(void)
{
    while (queueCount > 0) {
        if (sendNow(queue[queueHead]) != 0)
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
        if (droppedCnt++ == 0)
            lostFromUsec = r.usec;
        lostToUsec = r.usec;
        return;
    }
    queue[(queueHead + queueCount) % queueLength] = r;
    queueCount++;
}

// "Record: 3 lines lost, the journal did not take them in time", with the
// count and the own times of the first and the last lost. No stdio and no
// allocation: the signal handler says it too.
void buildLost(record_t *r, fieldList_t *lost)
{
    fieldList_t &list = *lost;
    long long usec = realtimeUsec();
    addHeader(&list, JOURNAL_WARNING, "dropped", usec);
    static char text[128] = "Record: ";
    size_t at = 8;
    at += digitsOf(droppedCnt, text + at);
    const char *rest = droppedCnt == 1 ? " line lost, the journal did not take it in time"
                                       : " lines lost, the journal did not take them in time";
    memcpy(text + at, rest, strlen(rest) + 1);
    addText(&list, "MESSAGE", text);
    addField(&list, "WEEKSWITCH_DROPPED", list.numbers[2], digitsOf(droppedCnt, list.numbers[2]));
    addField(&list, "WEEKSWITCH_LOST_FROM_USEC", list.numbers[3], digitsOf((unsigned long long)lostFromUsec, list.numbers[3]));
    addField(&list, "WEEKSWITCH_LOST_TO_USEC", list.numbers[4], digitsOf((unsigned long long)lostToUsec, list.numbers[4]));
    build(r, &list, usec);
}

// Where records were lost, a record says how many, in their place.
void noteDropped(void)
{
    if (droppedCnt == 0 || queueCount == queueLength)
        return;
    static record_t lost;
    fieldList_t list;
    buildLost(&lost, &list);
    keepOnDisk(list);
    droppedCnt = 0;
    enqueue(lost);
}

// The end first, then what waits, then the count of what was lost; true
// when nothing is left to send. A signal handler touches only what the main
// flow is not changing.
bool sendAll(bool fromSignal)
{
    bool mayTouch = !fromSignal || !queueBusy;
    if (signalEndWaiting && sendNow(signalEndRecord) == 0)
        signalEndWaiting = 0;
    if (endWaiting && mayTouch && sendNow(endRecord) == 0)
        endWaiting = 0;
    if (signalEndWaiting || (endWaiting && mayTouch))
        return false;
    if (!mayTouch)
        return true;
    sendQueued();
    if (queueCount == 0 && droppedCnt > 0) {
        static record_t lost;
        fieldList_t list;
        buildLost(&lost, &list);
        if (sendNow(lost) == 0) {
            keepOnDisk(list);
            droppedCnt = 0;
        }
    }
    return queueCount == 0 && droppedCnt == 0;
}

// The end, the same by a key or a signal: what waits is sent as the journal
// takes it, and journald gets a moment (at most closeWaitMs) to read it
// while the process is still there to be told apart by; the copy on disk
// gets the same moment. Async-signal-safe when fromSignal.
void finish(bool fromSignal)
{
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    long long deadlineMs = start.tv_sec * 1000LL + start.tv_nsec / 1000000 + closeWaitMs;
    for (;;) {
        bool sent = sendAll(fromSignal);
        // Our datagrams count against our socket until journald has read them.
        int unread = 0;
        if (sent && (ioctl(journalFd, SIOCOUTQ, &unread) != 0 || unread == 0))
            break;
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec * 1000LL + now.tv_nsec / 1000000 >= deadlineMs)
            break;
        struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    durableDrain(deadlineMs);
}

// The fields of a record: its header, the message (control bytes shown
// escaped, as a terminal shows them: `journalctl -o cat` prints it raw), the
// extras given.
void vfill(fieldList_t *list, std::string *message, int priority, const char *kind, const journalFields_t &fields,
           const char *format, va_list args)
{
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(nullptr, 0, format, again);
    va_end(again);
    std::string text(length > 0 ? (size_t)length : 0, '\0');
    if (length > 0)
        vsnprintf(&text[0], text.size() + 1, format, args);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    *message = quotedText(text, std::string::npos);
    long long usec = realtimeUsec();
    addHeader(list, priority, kind, usec);
    addField(list, "MESSAGE", message->data(), message->size());
    for (const auto &f : fields)
        addField(list, f.first, f.second.data(), f.second.size());
}

void vrecord(int priority, const char *kind, const journalFields_t &fields, const char *format, va_list args)
{
    fieldList_t list;
    std::string message;
    vfill(&list, &message, priority, kind, fields, format, args);
    static record_t r;
    build(&r, &list, atoll(list.numbers[1]));
    if (strcmp(kind, "message") != 0)
        keepOnDisk(list);
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

static bool statusLineOpen;

void reportStatusLine(bool open)
{
    statusLineOpen = open;
}

bool reportStatusLineOpen(void)
{
    return statusLineOpen;
}

void report(int priority, const char *format, ...)
{
    if (statusLineOpen)
        fputs("\n", stdout);
    statusLineOpen = false;
    va_list args;
    va_start(args, format);
    if (journalOn) {
        va_list again;
        va_copy(again, args);
        vrecord(priority, "message", {}, format, again);
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
    journalRecord(priority, "message", {{"ERRNO", std::to_string(err)}}, "%s", strerror(err));
}

void reportDetail(int priority, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    if (journalOn) {
        vrecord(priority, "message", {}, format, args);
    } else {
        fflush(stdout);
        vfprintf(stderr, format, args);
        fputc('\n', stderr);
    }
    va_end(args);
}

void journalRecord(int priority, const char *kind, const journalFields_t &fields, const char *format, ...)
{
    if (!journalOn)
        return;
    va_list args;
    va_start(args, format);
    vrecord(priority, kind, fields, format, args);
    va_end(args);
}

void journalEnd(int priority, const journalFields_t &fields, const char *format, ...)
{
    if (!journalOn)
        return;
    fieldList_t list;
    std::string message;
    va_list args;
    va_start(args, format);
    vfill(&list, &message, priority, "ended", fields, format, args);
    va_end(args);
    holdQueue(true);
    build(&endRecord, &list, atoll(list.numbers[1]));
    keepOnDisk(list);
    if (captureSink != nullptr)
        capture(endRecord);
    else
        endWaiting = 1;
    holdQueue(false);
    journalFlush();
}

void journalFlush(void)
{
    if (!journalOn)
        return;
    holdQueue(true);
    sendAll(false);
    holdQueue(false);
}

void journalClose(void)
{
    if (!journalOn || journalFd < 0)
        return;
    holdQueue(true);
    finish(false);
    holdQueue(false);
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
    fieldList_t list;
    addHeader(&list, JOURNAL_NOTICE, "ended", realtimeUsec());
    char text[48] = "Ended: signal ";
    const char *name = sigabbrev_np(sig);
    if (name != nullptr && strlen(name) < 24) {
        memcpy(text + 14, "SIG", 3);
        memcpy(text + 17, name, strlen(name) + 1);
    } else {
        digitsOf((unsigned long long)sig, text + 14);
    }
    addText(&list, "MESSAGE", text);
    addText(&list, "WEEKSWITCH_CAUSE", "signal");
    build(&signalEndRecord, &list, atoll(list.numbers[1]));
    keepOnDisk(list);
    if (captureSink != nullptr || journalFd < 0)
        return;
    signalEndWaiting = 1;
    finish(true);
}
