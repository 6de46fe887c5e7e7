// relay.cpp: a USB HID relay board through the kernel's hidraw, see relay.h.
//
// The boards speak in feature report 0, eight bytes, with hidraw's report
// number in front. Set: FF n (relay n on), FD n (relay n off), FE (all on),
// FC (all off). Get: the board's ID in bytes 0..4 and its relays in byte 7,
// bit n-1 for relay n. Every write is read back: a board whose relays do not
// hold what was written has not been written. A board unplugged forgets its
// relays; while it is away the timetable goes on, and when the same board
// comes back (the same ID, else the same USB port) it gets the state in
// force with the next write.
#include "relay.h"
#include "outputwait.h"
#include "journal.h"
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

const int reportBytes = 9;  // the report number, then the eight bytes
const unsigned char relayOn = 0xFF, relayOff = 0xFD, allOn = 0xFE, allOff = 0xFC;
// A board away is looked for again at most this often.
const long long lookEveryMs = 250;

int fd = -1;
bool opened;                // a board was taken at the start: what to find again
relayBoard_t board;         // the board taken (or last taken)
std::string name = "relay board";
bool away, lostToTell;
long long lookedAtMs = -1;

std::string field(const std::string &uevent, const char *key)
{
    std::string prefix = std::string(key) + "=";
    size_t at = uevent.find(prefix);
    while (at != std::string::npos && at != 0 && uevent[at - 1] != '\n')
        at = uevent.find(prefix, at + 1);
    if (at == std::string::npos)
        return "";
    size_t end = uevent.find('\n', at);
    return uevent.substr(at + prefix.size(), end == std::string::npos ? std::string::npos : end - at - prefix.size());
}

// "0003:000016C0:000005DF" and a name ending in "USBRelayN".
int relaysOf(const std::string &uevent)
{
    if (strcasecmp(field(uevent, "HID_ID").c_str(), "0003:000016C0:000005DF") != 0)
        return 0;
    std::string hidName = field(uevent, "HID_NAME");
    size_t at = hidName.rfind("USBRelay");
    if (at == std::string::npos || at + 9 != hidName.size())
        return 0;
    int n = hidName[at + 8] - '0';
    return n == 1 || n == 2 || n == 4 || n == 8 ? n : 0;
}

bool feature(int f, unsigned char *report, bool get)
{
    int rc;
    do
        rc = ioctl(f, get ? HIDIOCGFEATURE(reportBytes) : HIDIOCSFEATURE(reportBytes), report);
    while (rc < 0 && errno == EINTR);
    return rc >= 0;
}

// The board's ID and relays; false with errno set.
bool readBoard(int f, std::string *id, unsigned char *relays)
{
    unsigned char report[reportBytes] = {0};
    if (!feature(f, report, true))
        return false;
    id->assign((const char *)report + 1, strnlen((const char *)report + 1, 5));
    *relays = report[8];
    return true;
}

bool command(int f, unsigned char cmd, int relay)
{
    unsigned char report[reportBytes] = {0, cmd, (unsigned char)relay};
    return feature(f, report, false);
}

std::string describe(const relayBoard_t &b)
{
    return (b.id.empty() ? std::string("?") : b.id) + " at " + b.port + " (" + b.node + ")";
}

std::string listOf(const std::vector<relayBoard_t> &boards)
{
    std::string list;
    for (const relayBoard_t &b : boards)
        list += (list.empty() ? "" : ", ") + describe(b);
    return list;
}

bool matches(const relayBoard_t &b, const std::string &choice)
{
    if (choice.empty())
        return true;
    if (choice[0] == '/')
        return b.node == choice;
    if (choice.compare(0, 4, "usb-") == 0)
        return b.port == choice;
    return b.id == choice;
}

// The boards, each opened for a moment to read its ID.
std::vector<relayBoard_t> boardsWithIds(int *openErr)
{
    std::vector<relayBoard_t> boards = findRelayBoards("");
    *openErr = 0;
    for (relayBoard_t &b : boards) {
        int f = open(b.node.c_str(), O_RDWR | O_CLOEXEC);
        unsigned char relays;
        if (f < 0 || !readBoard(f, &b.id, &relays))
            *openErr = *openErr != 0 ? *openErr : errno;
        if (f >= 0)
            close(f);
    }
    return boards;
}

void setName(void)
{
    name = "relay board " + (board.id.empty() ? board.port : board.id);
}

void reportNoBoard(const std::string &choice, bool required, int err, const std::string &why)
{
    int priority = required ? JOURNAL_ERR : JOURNAL_WARNING;
    report(priority, "%s  Cannot access relay board:  '%s'\n", required ? "ERROR:" : "Warning:",
           choice.empty() ? "any" : choice.c_str());
    if (err != 0)
        reportSystemError(priority, err);
    reportDetail(priority, "%s", why.c_str());
}

// Why no board could be taken, and what to do: the one thing that fits.
std::string remedy(const std::string &choice, const std::vector<relayBoard_t> &boards,
                   const std::vector<relayBoard_t> &chosen, int err)
{
    if (boards.empty())
        return "No USB relay board (16c0:05df, named USBRelay1 to USBRelay8) is plugged in.";
    if (err == EACCES || err == EPERM)
        return "To reach " + (chosen.empty() ? boards : chosen)[0].node +
               ", add the user to group plugdev (the package's udev rule gives the boards to it), or run as root.";
    if (chosen.empty())
        return "Plugged in: " + listOf(boards) + "; none is '" + choice + "'.";
    if (choice.empty())
        return "More than one relay board is plugged in: " + listOf(chosen) +
               ". Choose one with -relay:ID or, by the USB port it sits in, -relay:" + chosen[0].port + ".";
    return "More than one board has the ID '" + choice + "': " + listOf(chosen) +
           ". Choose by the USB port it sits in, such as -relay:" + chosen[0].port + ".";
}

// Takes the one board that the choice names. 0, or -1 with what to say.
int take(const std::string &choice, std::vector<relayBoard_t> *boards, std::vector<relayBoard_t> *chosen, int *err)
{
    *boards = boardsWithIds(err);
    chosen->clear();
    for (const relayBoard_t &b : *boards)
        if (matches(b, choice))
            chosen->push_back(b);
    if (chosen->size() != 1)
        return -1;
    int f = open((*chosen)[0].node.c_str(), O_RDWR | O_CLOEXEC);
    std::string id;
    unsigned char relays;
    if (f < 0 || !readBoard(f, &id, &relays)) {
        *err = errno;
        if (f >= 0)
            close(f);
        return -1;
    }
    fd = f;
    board = (*chosen)[0];
    board.id = id;
    *err = 0;
    return 0;
}

// A board that may still come: none plugged in yet, or its node not yet
// given to the group. Two boards where one was asked for will stay two.
bool mayComeSoon(const std::vector<relayBoard_t> &chosen, int err)
{
    return chosen.empty() || err == EACCES || err == EPERM || err == ENOENT;
}

void markAway(void)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
    if (away)
        return;
    away = true;
    lostToTell = true;
    report(JOURNAL_ERR, "ERROR:  Relay board gone:  '%s'\n", describe(board).c_str());
    reportDetail(JOURNAL_ERR, "The timetable goes on; the board gets the state in force when it is plugged in again.");
}

bool gone(int err)
{
    return err == ENODEV || err == ENOENT || err == ESHUTDOWN || err == ENXIO || err == EPIPE;
}

// The same board again, once it is back: the same ID where that names one
// board, else the same USB port.
int findAgain(void)
{
    long long now = monotonicMs();
    if (lookedAtMs >= 0 && now - lookedAtMs < lookEveryMs)
        return -1;
    lookedAtMs = now;
    int err;
    std::vector<relayBoard_t> boards = boardsWithIds(&err);
    int sameId = (int)std::count_if(boards.begin(), boards.end(), [](const relayBoard_t &b) { return b.id == board.id; });
    for (const relayBoard_t &b : boards) {
        bool same = !board.id.empty() && sameId == 1 ? b.id == board.id : b.port == board.port;
        if (!same)
            continue;
        int f = open(b.node.c_str(), O_RDWR | O_CLOEXEC);
        if (f < 0)
            return -1;
        fd = f;
        board.node = b.node;
        board.port = b.port;
        away = false;
        report(JOURNAL_NOTICE, "Relay board back:  '%s'\n", describe(board).c_str());
        return 0;
    }
    return -1;
}

}  // namespace

std::vector<relayBoard_t> findRelayBoards(const char *root)
{
    std::vector<std::pair<int, relayBoard_t>> found;
    std::string folder = std::string(root) + "/sys/class/hidraw";
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr)
        return {};
    while (struct dirent *entry = readdir(dir)) {
        if (strncmp(entry->d_name, "hidraw", 6) != 0)
            continue;
        char *end;
        long n = strtol(entry->d_name + 6, &end, 10);
        if (*end != '\0' || end == entry->d_name + 6)
            continue;
        std::ifstream file(folder + "/" + entry->d_name + "/device/uevent");
        std::string uevent((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        relayBoard_t b;
        b.relays = relaysOf(uevent);
        if (b.relays == 0)
            continue;
        std::string phys = field(uevent, "HID_PHYS");
        b.port = phys.substr(0, phys.rfind("/input") != std::string::npos ? phys.rfind("/input") : phys.size());
        b.node = std::string(root) + "/dev/" + entry->d_name;
        found.push_back({(int)n, b});
    }
    closedir(dir);
    std::sort(found.begin(), found.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<relayBoard_t> boards;
    for (const auto &f : found)
        boards.push_back(f.second);
    return boards;
}

int relayOpen(const std::string &choice, bool required)
{
    relayClose();
    std::vector<relayBoard_t> boards, chosen;
    int err;
    int rc = take(choice, &boards, &chosen, &err);
    for (int waited = 0; rc != 0 && required && mayComeSoon(chosen, err) && waited < portWaitMs;
         waited += portRetryMs) {
        pauseForOutput();
        rc = take(choice, &boards, &chosen, &err);
    }
    if (rc != 0) {
        reportNoBoard(choice, required, chosen.size() == 1 ? err : 0, remedy(choice, boards, chosen, err));
        return -1;
    }
    opened = true;
    setName();
    return 0;
}

const char *relayPath(void)
{
    return opened ? board.node.c_str() : "no relay board";
}

const char *relayName(void)
{
    return name.c_str();
}

int relayWrite(int value)
{
    if (!opened)
        return 0;
    if (fd < 0 && findAgain() != 0) {
        errno = ENODEV;
        return -1;
    }
    unsigned char mask = (unsigned char)(board.relays >= 8 ? 0xFF : (1 << board.relays) - 1);
    unsigned char want = (unsigned char)(value & mask), held = 0;
    bool done;
    if (want == mask)
        done = command(fd, allOn, 0);
    else if (want == 0)
        done = command(fd, allOff, 0);
    else {
        done = true;
        for (int n = 1; n <= board.relays && done; n++)
            done = command(fd, want & (1 << (n - 1)) ? relayOn : relayOff, n);
    }
    std::string id;
    if (done)
        done = readBoard(fd, &id, &held);
    if (!done) {
        int err = errno;
        if (gone(err))
            markAway();
        errno = err;
        return -1;
    }
    if ((held & mask) != want) {
        errno = EIO;
        return -1;
    }
    return 0;
}

bool relayLost(void)
{
    if (fd >= 0) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            markAway();
    }
    bool tell = lostToTell;
    lostToTell = false;
    return tell;
}

void relayClose(void)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
    opened = away = lostToTell = false;
}
