// relay.cpp: a USB HID relay board through the kernel's hidraw, see relay.h.
//
// The boards speak in feature report 0, eight bytes, with hidraw's report
// number in front. Set: FF n (relay n on), FD n (relay n off), FE (all on),
// FC (all off). Get: the board's ID in bytes 0..4 and its relays in byte 7,
// bit n-1 for relay n. Every write is read back: a board whose relays do not
// hold what was written, or whose answer comes cut short, has not been
// written.
//
// A board's USB port is taken from what no device can word: its place in
// sysfs, .../<controller>/usbB/B-P[.P...]/B-P:C.I/0003:16C0:05DF.NNNN, spelt
// as the kernel's usbhid spells it in HID_PHYS, usb-<controller>-<P...>. Its
// name is the device's own to choose and may hold a line break, so each
// uevent field is read from its own line only, and a uevent that holds a
// field we read twice has been forged by a name: that device is no board,
// passed over as silently as any other device of the shared ID. A HID
// device on no USB bus (the kernel's uhid, which only root can use) has no
// such place; its HID_PHYS stands for its port.
//
// A board unplugged forgets its relays; while it is away the timetable goes
// on, and when the board chosen is back it gets the state in force with the
// next write. Which board that is follows from how it was chosen:
// - by its USB port, or by its node (a name it has only while plugged in):
//   the board at that port with the ID it had. A board of another ID there
//   is another board.
// - by its ID, or as the one board plugged in: a board with the ID it had
//   at the port it was at; else the one board with that ID elsewhere (moved
//   to another port), unless another board with that ID has been seen at
//   another port since it was taken (beside it when it went, or while it was
//   away): which of them is the board chosen cannot be told then, so only
//   its own port finds it again.
// A board that might be taken for it but is not (another ID at its port,
// its ID where it cannot be told from another) is never written, and the
// program says why, once.
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
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int reportBytes = 9;  // the report number, then the eight bytes
const unsigned char relayOn = 0xFF, relayOff = 0xFD, allOn = 0xFE, allOff = 0xFC;
// A board away is looked for again at most this often.
const long long lookEveryMs = 250;

std::string treeRoot;       // where /sys and /dev are: "" the machine's own
int fd = -1;
bool opened;                // a board was taken at the start: what to find again
std::string chosenBy;       // the choice that took it
relayBoard_t board;         // the board taken (or last taken)
std::string name = "relay board";
bool away, lostToTell;
bool twinSeen;              // another board with its ID, at another port
std::string told;           // the board not taken and why, said once
long long lookedAtMs = -1;

// HID_ID, HID_NAME and HID_PHYS, each from a line of its own: false when
// one of them is there twice.
bool ueventFields(const std::string &uevent, std::string *hidId, std::string *hidName, std::string *phys)
{
    const char *keys[] = {"HID_ID=", "HID_NAME=", "HID_PHYS="};
    std::string *values[] = {hidId, hidName, phys};
    bool seen[3] = {};
    for (size_t at = 0, end; at < uevent.size(); at = end + 1) {
        end = std::min(uevent.find('\n', at), uevent.size());
        for (int k = 0; k < 3; k++) {
            size_t length = strlen(keys[k]);
            if (end - at < length || uevent.compare(at, length, keys[k]) != 0)
                continue;
            if (seen[k])
                return false;
            seen[k] = true;
            values[k]->assign(uevent, at + length, end - at - length);
        }
    }
    return true;
}

// "0003:000016C0:000005DF" and a name ending in "USBRelayN".
int relaysOf(const std::string &hidId, const std::string &hidName)
{
    if (strcasecmp(hidId.c_str(), "0003:000016C0:000005DF") != 0)
        return 0;
    size_t at = hidName.rfind("USBRelay");
    if (at == std::string::npos || at + 9 != hidName.size())
        return 0;
    int n = hidName[at + 8] - '0';
    return n == 1 || n == 2 || n == 4 || n == 8 ? n : 0;
}

// The USB port of the HID device at place (its sysfs path, links
// resolved): .../<controller>/usbB/B-P[.P...]/B-P:C.I/<the HID device>, the
// hubs between named B-P... too. "" when it is on no USB bus.
std::string usbPortOf(const std::string &place)
{
    std::vector<std::string> parts;
    for (size_t at = 0, end; at < place.size(); at = end + 1) {
        end = std::min(place.find('/', at), place.size());
        if (end > at)
            parts.push_back(place.substr(at, end - at));
    }
    if (parts.size() < 5)
        return "";
    size_t device = parts.size() - 3;
    const std::string &usb = parts[device];  // "1-2", "1-1.4"
    size_t dash = usb.find('-');
    if (dash == std::string::npos || parts[device + 1].compare(0, usb.size() + 1, usb + ":") != 0)
        return "";
    for (size_t i = device; i-- > 1;) {
        if (parts[i] == "usb" + usb.substr(0, dash))
            return "usb-" + parts[i - 1] + "-" + usb.substr(dash + 1);
        if (parts[i].compare(0, dash + 1, usb, 0, dash + 1) != 0)
            return "";
    }
    return "";
}

int feature(int f, unsigned char *report, bool get)
{
    int rc;
    do
        rc = ioctl(f, get ? HIDIOCGFEATURE(reportBytes) : HIDIOCSFEATURE(reportBytes), report);
    while (rc < 0 && errno == EINTR);
    return rc;
}

// The board's ID and relays; false with errno set.
bool readBoard(int f, std::string *id, unsigned char *relays)
{
    unsigned char report[reportBytes] = {0};
    int got = feature(f, report, true);
    return got >= 0 && readRelayReport(report, got, id, relays) == 0;
}

bool command(int f, unsigned char cmd, int relay)
{
    unsigned char report[reportBytes] = {0, cmd, (unsigned char)relay};
    return feature(f, report, false) >= 0;
}

// Its ID and port as the device gave them: shown escaped, as file text is.
std::string describe(const relayBoard_t &b)
{
    return (b.id.empty() ? std::string("?") : quotedText(b.id)) + " at " + quotedText(b.port) + " (" + b.node + ")";
}

std::string listOf(const std::vector<relayBoard_t> &boards)
{
    std::string list;
    for (const relayBoard_t &b : boards)
        list += (list.empty() ? "" : ", ") + describe(b);
    return list;
}

// A choice by where the board is: its USB port or its node.
bool byPlace(const std::string &choice)
{
    return !choice.empty() && (choice[0] == '/' || choice.compare(0, 4, "usb-") == 0);
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
    std::vector<relayBoard_t> boards = findRelayBoards(treeRoot.c_str());
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
    name = "relay board " + quotedText(board.id.empty() ? board.port : board.id);
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

// A node the system refused. One open to no group (crw-------, root's own)
// has not had the package's udev rule applied, as a board plugged in before
// the rule was there: joining plugdev would not help. Only the node's mode
// tells: in the service's user namespace its group and ours show as nobody.
std::string accessRemedy(const std::string &node)
{
    struct stat st;
    if (stat(node.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return node + " is open to no group: the package's udev rule, which gives a board's node to group plugdev "
               "(crw-rw----), has not been applied to it. Plug the board in again, or run "
               "udevadm trigger --subsystem-match=hidraw as root.";
    return "To reach " + node +
           ", add the user to group plugdev (the package's udev rule gives the boards to it), or run as root.";
}

// Why no board could be taken, and what to do: the one thing that fits.
std::string remedy(const std::string &choice, const std::vector<relayBoard_t> &boards,
                   const std::vector<relayBoard_t> &chosen, int err)
{
    if (boards.empty())
        return "No USB relay board (16c0:05df, named USBRelay1 to USBRelay8) is plugged in.";
    if (err == EACCES || err == EPERM)
        return accessRemedy((chosen.empty() ? boards : chosen)[0].node);
    if (chosen.empty())
        return "Plugged in: " + listOf(boards) + "; none is '" + choice + "'.";
    if (chosen.size() > 1 && choice.empty())
        return "More than one relay board is plugged in: " + listOf(chosen) +
               ". Choose one with -relay:ID or, by the USB port it sits in, -relay:" + quotedText(chosen[0].port) + ".";
    if (chosen.size() > 1 && byPlace(choice))
        return "More than one board gives '" + choice + "' as its USB port: " + listOf(chosen) +
               ". Choose one by its node, such as -relay:" + chosen[0].node + ".";
    if (chosen.size() > 1)
        return "More than one board has the ID '" + choice + "': " + listOf(chosen) +
               ". Choose by the USB port it sits in, such as -relay:" + quotedText(chosen[0].port) + ".";
    if (err == ENOENT)
        return "The kernel lists " + describe(chosen[0]) +
               ", but its node is missing: udev has not made it, or this /dev is not the system's.";
    return describe(chosen[0]) +
           " did not answer the request for its ID and relays: plug it in again; a device that never answers "
           "is no relay board of this kind.";
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
    chosenBy = choice;
    *err = 0;
    return 0;
}

// A board that may still come: none plugged in yet, or its node not yet
// given to the group. Two boards where one was asked for will stay two.
bool mayComeSoon(const std::vector<relayBoard_t> &chosen, int err)
{
    return chosen.empty() || err == EACCES || err == EPERM || err == ENOENT;
}

// Boards with the ID of the board taken at other ports than its own.
int twinsOf(const std::vector<relayBoard_t> &boards)
{
    return (int)std::count_if(boards.begin(), boards.end(),
                              [](const relayBoard_t &b) { return b.id == board.id && b.port != board.port; });
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
    // Those still there were beside it: none of them is ever taken for it.
    int err;
    if (!byPlace(chosenBy))
        twinSeen = twinSeen || twinsOf(boardsWithIds(&err)) > 0;
}

bool gone(int err)
{
    return err == ENODEV || err == ENOENT || err == ESHUTDOWN || err == ENXIO || err == EPIPE;
}

// The board chosen again, once it is back (see the top of this file).
int findAgain(void)
{
    long long now = monotonicMs();
    if (lookedAtMs >= 0 && now - lookedAtMs < lookEveryMs)
        return -1;
    lookedAtMs = now;
    int err, suspect;
    std::vector<relayBoard_t> boards = boardsWithIds(&err);
    twinSeen = twinSeen || twinsOf(boards) > 1;
    std::string why;
    int found = sameRelayBoard(boards, board, chosenBy, twinSeen, &suspect, &why);
    if (found < 0) {
        std::string said = suspect < 0 ? "" : describe(boards[suspect]) + "\n" + why;
        if (!said.empty() && said != told) {
            report(JOURNAL_WARNING, "Warning:  Relay board not taken:  '%s'\n", describe(boards[suspect]).c_str());
            reportDetail(JOURNAL_WARNING, "%s", why.c_str());
        }
        told = said;
        return -1;
    }
    int f = open(boards[found].node.c_str(), O_RDWR | O_CLOEXEC);
    if (f < 0)
        return -1;
    fd = f;
    board.node = boards[found].node;
    board.port = boards[found].port;
    away = false;
    told.clear();
    report(JOURNAL_NOTICE, "Relay board back:  '%s'\n", describe(board).c_str());
    return 0;
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
        std::string device = folder + "/" + entry->d_name + "/device";
        std::ifstream file(device + "/uevent");
        std::string uevent((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::string hidId, hidName, phys;
        relayBoard_t b;
        if (!ueventFields(uevent, &hidId, &hidName, &phys) || (b.relays = relaysOf(hidId, hidName)) == 0)
            continue;
        char place[PATH_MAX];
        if (realpath(device.c_str(), place) != nullptr)
            b.port = usbPortOf(place);
        if (b.port.empty())
            b.port = phys.substr(0, phys.rfind("/input"));
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

int readRelayReport(const unsigned char *report, int length, std::string *id, unsigned char *relays)
{
    if (length != reportBytes) {
        errno = EIO;
        return -1;
    }
    id->assign((const char *)report + 1, strnlen((const char *)report + 1, 5));
    *relays = report[8];
    return 0;
}

int sameRelayBoard(const std::vector<relayBoard_t> &boards, const relayBoard_t &taken, const std::string &choice,
                   bool twinSeen, int *suspect, std::string *why)
{
    *suspect = -1;
    why->clear();
    int atPort = -1, elsewhere = -1, withId = 0;
    for (int i = 0; i < (int)boards.size(); i++) {
        bool sameId = boards[i].id == taken.id;
        if (boards[i].port == taken.port && sameId)
            return i;
        if (boards[i].port == taken.port && atPort < 0)
            atPort = i;
        if (boards[i].port != taken.port && sameId) {
            elsewhere = i;
            withId++;
        }
    }
    if (!byPlace(choice) && withId == 1 && !twinSeen)
        return elsewhere;
    if (atPort >= 0) {
        *suspect = atPort;
        *why = "It sits at " + quotedText(taken.port) + ", where the board chosen was, but its ID is '" +
               quotedText(boards[atPort].id) + "', not '" + quotedText(taken.id) +
               "': another board, never switched. The board chosen is, once it is back.";
    } else if (!byPlace(choice) && withId > 0) {
        *suspect = elsewhere;
        *why = "Its ID is '" + quotedText(taken.id) + "', the board chosen's, but so is another board's seen at " +
               "another port, and which of them was chosen cannot be told: it is taken again only at " +
               quotedText(taken.port) + ", where it was.";
    }
    return -1;
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

int relayLines(void)
{
    return opened ? board.relays : 8;
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
    opened = away = lostToTell = twinSeen = false;
    told.clear();
}

void relayRoot(const char *root)
{
    treeRoot = root;
}
