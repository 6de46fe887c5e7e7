// durable.cpp: the service's record on disk, see durable.h.
//
// The run loop and the signal handlers hand each record to the writer
// thread through a pipe, one fixed-size message a write (atomic below
// PIPE_BUF), without waiting: a full pipe drops the record from this copy
// only. The thread alone touches the file: it numbers the record, puts it
// in its slot with a check, and syncs. The file has its full size from the
// start, so a sync writes the slot and nothing else.
#include "durable.h"
#include "journal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

const char durableFileName[] = "record";
const char durableDefaultPath[] = "/var/lib/weekswitch/record";
durableFields_t durableRunBefore;

namespace {

const char nameLine[] = "weekswitch durable record 1\n";
const size_t fileBytes = (size_t)(durableSlots + 1) * durableSlotBytes;
// The run's sign of life is rewritten at most this often.
const long long aliveEveryMs = 60 * 1000;

unsigned long long hashOf(const char *text, size_t length)
{
    unsigned long long h = 1469598103934665603ULL;
    for (size_t i = 0; i < length; i++)
        h = (h ^ (unsigned char)text[i]) * 1099511628211ULL;
    return h;
}

// The fields of one block (after the name line in the first), when its
// check holds.
bool readBlock(const char *block, size_t length, durableFields_t *fields)
{
    const char *end = (const char *)memchr(block, '\0', length);
    if (end == nullptr)
        end = block + length;
    fields->clear();
    for (const char *line = block; line < end;) {
        const char *eol = (const char *)memchr(line, '\n', (size_t)(end - line));
        if (eol == nullptr)
            return false;
        const char *eq = (const char *)memchr(line, '=', (size_t)(eol - line));
        if (eq == nullptr)
            return false;
        std::string name(line, eq), value(eq + 1, eol);
        if (name == "CHECK") {
            char want[24];
            snprintf(want, sizeof want, "%016llx", hashOf(block, (size_t)(line - block)));
            return value == want && !fields->empty();
        }
        (*fields)[name] = value;
        line = eol + 1;
    }
    return false;
}

// --- the writer -----------------------------------------------------------------

int fileFd = -1, pipeIn = -1, pipeOut = -1;
unsigned long long nextSeq;
// "_BOOT_ID=...\n_PID=...\n": who wrote each record, as the journal says it.
char whoLines[96];
// Records handed over and records on disk: the drain waits for the second
// to reach the first.
std::atomic<unsigned long> handedCnt, writtenCnt;
long long aliveAtMs = -1;

long long nowMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

bool isAlive(const char *message)
{
    return strncmp(message, "WEEKSWITCH_RECORD=alive\n", 24) == 0;
}

// Puts one handed-over record in its block and syncs it.
void store(const char *message)
{
    char block[durableSlotBytes] = {0};
    size_t at = 0;
    off_t offset = 0;
    if (isAlive(message)) {
        at = (size_t)snprintf(block, sizeof block, "%s", nameLine);
    } else {
        offset = (off_t)(1 + nextSeq % durableSlots) * durableSlotBytes;
        at = (size_t)snprintf(block, sizeof block, "SEQ=%llu\n", nextSeq);
        nextSeq++;
    }
    size_t start = isAlive(message) ? sizeof nameLine - 1 : 0;
    at += (size_t)snprintf(block + at, sizeof block - at, "%s%s", whoLines, message);
    if (at > sizeof block - 24)
        return;  // cannot happen: durableWrite keeps messages short enough
    snprintf(block + at, sizeof block - at, "CHECK=%016llx\n", hashOf(block + start, at - start));
    ssize_t n;
    do
        n = pwrite(fileFd, block, sizeof block, offset);
    while (n < 0 && errno == EINTR);
    fdatasync(fileFd);
}

void *writer(void *)
{
    char message[durableSlotBytes];
    for (;;) {
        size_t got = 0;
        while (got < sizeof message) {
            ssize_t n = read(pipeOut, message + got, sizeof message - got);
            if (n > 0)
                got += (size_t)n;
            else if (n == 0 || errno != EINTR)
                return nullptr;
        }
        message[sizeof message - 1] = '\0';
        store(message);
        writtenCnt++;
    }
}

void readBootId(void)
{
    char id[64] = "", hex[40];
    FILE *f = fopen("/proc/sys/kernel/random/boot_id", "re");
    if (f != nullptr) {
        if (fgets(id, sizeof id, f) == nullptr)
            id[0] = '\0';
        fclose(f);
    }
    size_t n = 0;
    for (const char *c = id; *c != '\0' && n < 32; c++)
        if (*c != '-' && *c != '\n')
            hex[n++] = *c;
    hex[n] = '\0';
    snprintf(whoLines, sizeof whoLines, "_BOOT_ID=%s\n_PID=%d\n", hex, (int)getpid());
}

long long usecOf(const durableFields_t &fields)
{
    auto it = fields.find("WEEKSWITCH_REALTIME_USEC");
    return it == fields.end() ? -1 : atoll(it->second.c_str());
}

std::string fieldOf(const durableFields_t &fields, const char *name)
{
    auto it = fields.find(name);
    return it == fields.end() ? std::string() : it->second;
}

// The run before ended without an end record: when it was last known alive.
void lookAtRunBefore(const std::vector<durableFields_t> &records, const durableFields_t &alive,
                     durableFields_t *previous)
{
    previous->clear();
    if (records.empty() || fieldOf(records.back(), "WEEKSWITCH_RECORD") == "ended")
        return;
    const durableFields_t &last = records.back();
    long long usec = usecOf(last);
    if (fieldOf(alive, "_BOOT_ID") == fieldOf(last, "_BOOT_ID") && fieldOf(alive, "_PID") == fieldOf(last, "_PID"))
        usec = std::max(usec, usecOf(alive));
    (*previous)["WEEKSWITCH_PREVIOUS_ALIVE_USEC"] = std::to_string(usec);
    (*previous)["WEEKSWITCH_PREVIOUS_BOOT_ID"] = fieldOf(last, "_BOOT_ID");
}

int failOpen(const std::string &path, int err)
{
    report(JOURNAL_WARNING, "Warning:  Cannot keep the record on disk:  '%s'\n", path.c_str());
    reportSystemError(JOURNAL_WARNING, err);
    if (fileFd >= 0)
        close(fileFd);
    fileFd = -1;
    return -1;
}

}  // namespace

// A regular file only: a FIFO or a device named by mistake must not hold
// up the reader.
int openRecord(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

bool isDurableRecord(const char *path)
{
    char first[sizeof nameLine] = {0};
    int fd = openRecord(path);
    if (fd < 0)
        return false;
    ssize_t n = read(fd, first, sizeof first - 1);
    close(fd);
    return n == (ssize_t)sizeof first - 1 && strcmp(first, nameLine) == 0;
}

int durableRead(const char *path, std::vector<durableFields_t> *records, durableFields_t *alive)
{
    records->clear();
    alive->clear();
    int fd = openRecord(path);
    if (fd < 0)
        return -1;
    std::string bytes(fileBytes, '\0');
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = read(fd, &bytes[got], bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    int err = errno;
    close(fd);
    if (bytes.compare(0, sizeof nameLine - 1, nameLine) != 0) {
        errno = got < bytes.size() && err != 0 ? err : EINVAL;
        return -1;
    }
    const char *data = bytes.data();
    readBlock(data + sizeof nameLine - 1, durableSlotBytes - (sizeof nameLine - 1), alive);
    for (size_t slot = 1; slot <= durableSlots; slot++) {
        durableFields_t fields;
        if (readBlock(data + slot * durableSlotBytes, durableSlotBytes, &fields) && fields.count("SEQ") != 0)
            records->push_back(fields);
    }
    std::sort(records->begin(), records->end(), [](const durableFields_t &a, const durableFields_t &b) {
        return strtoull(a.at("SEQ").c_str(), nullptr, 10) < strtoull(b.at("SEQ").c_str(), nullptr, 10);
    });
    return 0;
}

int durableOpen(const char *folder)
{
    durableRunBefore.clear();
    if (fileFd >= 0)
        return 0;
    std::string path = std::string(folder) + "/" + durableFileName;
    std::vector<durableFields_t> records;
    durableFields_t alive;
    bool known = durableRead(path.c_str(), &records, &alive) == 0;
    fileFd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fileFd < 0)
        return failOpen(path, errno);
    if (!known) {
        // A new file, or one that is no record of ours: started afresh.
        records.clear();
        alive.clear();
        if (ftruncate(fileFd, 0) != 0 || ftruncate(fileFd, (off_t)fileBytes) != 0 ||
            pwrite(fileFd, nameLine, sizeof nameLine - 1, 0) != (ssize_t)(sizeof nameLine - 1) || fdatasync(fileFd) != 0)
            return failOpen(path, errno);
    }
    nextSeq = records.empty() ? 0 : strtoull(records.back().at("SEQ").c_str(), nullptr, 10) + 1;
    lookAtRunBefore(records, alive, &durableRunBefore);
    readBootId();
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return failOpen(path, errno);
    pipeOut = ends[0];
    pipeIn = ends[1];
    fcntl(pipeIn, F_SETFL, fcntl(pipeIn, F_GETFL) | O_NONBLOCK);
    // Signals are for the run loop: the writer takes none.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, writer, nullptr);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (rc != 0) {
        close(pipeIn);
        close(pipeOut);
        pipeIn = pipeOut = -1;
        return failOpen(path, rc);
    }
    pthread_detach(thread);
    return 0;
}

void durableWrite(const char *lines, size_t length)
{
    char message[durableSlotBytes] = {0};
    static_assert(durableTextBytes + 32 + sizeof whoLines + 24 < durableSlotBytes, "a record's lines fit a slot");
    if (pipeIn < 0 || length > durableTextBytes)
        return;
    memcpy(message, lines, length);
    if (write(pipeIn, message, sizeof message) == (ssize_t)sizeof message)
        handedCnt++;
}

void durableAlive(void)
{
    long long now = nowMs();
    if (pipeIn < 0 || (aliveAtMs >= 0 && now - aliveAtMs < aliveEveryMs))
        return;
    aliveAtMs = now;
    struct timespec real;
    clock_gettime(CLOCK_REALTIME, &real);
    char lines[96];
    int n = snprintf(lines, sizeof lines, "WEEKSWITCH_RECORD=alive\nWEEKSWITCH_REALTIME_USEC=%llu\n",
                     (unsigned long long)real.tv_sec * 1000000ULL + (unsigned long long)real.tv_nsec / 1000);
    durableWrite(lines, (size_t)n);
}

void durableDrain(long long deadlineMs)
{
    while (pipeIn >= 0 && writtenCnt.load() < handedCnt.load() && nowMs() < deadlineMs) {
        struct timespec pause = {0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}
