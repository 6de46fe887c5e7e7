// relay.h: a USB relay board, the second of the outputs behind port.h.
//
// The boards meant are the common HID ones with 1, 2, 4 or 8 relays: USB ID
// 16c0:05df (shared by many hobby devices, so the name tells them apart:
// "USBRelay1" to "USBRelay8"), no driver beyond the kernel's HID core and
// hidraw. Each has a 5-character ID of its own, read from the board (many
// ship with the same one); the USB port it sits in names it too, and stays
// when its hidraw number changes on a replug.
#ifndef WEEKSWITCH_RELAY_H
#define WEEKSWITCH_RELAY_H

#include <string>
#include <vector>

struct relayBoard_t {
    std::string node;  // "/dev/hidraw1"
    std::string port;  // the USB port it sits in: "usb-0000:00:14.0-2"
    int relays;        // 1, 2, 4 or 8, from its name
    std::string id;    // its ID, once read from the board ("" until then)
};

// The boards plugged in, from /sys/class/hidraw below root ("" for the
// machine's own; the tests give a fake tree), in hidraw order. Reads only.
std::vector<relayBoard_t> findRelayBoards(const char *root);

// A board's answer to the request for its ID and relays, as long as hidraw
// gave it (length bytes, the report number first): 0, or -1 with errno EIO
// when it is not the whole report.
int readRelayReport(const unsigned char *report, int length, std::string *id, unsigned char *relays);

// Which of boards (their IDs read) is the board taken before, as choice
// chose it (taken: its ID, port and node then; twinSeen: another board with
// its ID has been seen at another port since): its index, or -1. Where a
// board there might be taken for it but is not, *suspect is its index and
// *why says why; else -1 and "".
int sameRelayBoard(const std::vector<relayBoard_t> &boards, const relayBoard_t &taken, const std::string &choice,
                   bool twinSeen, int *suspect, std::string *why);

// The calls port.cpp hands on, as port.h describes them. choice: "" (the
// one board plugged in), an ID, a port ("usb-..."), or a node ("/dev/...").
int relayOpen(const std::string &choice, bool required);
const char *relayPath(void);
const char *relayName(void);
// The relays of the board taken (8 before one is).
int relayLines(void);
int relayWrite(int value);
bool relayLost(void);
void relayClose(void);

// Tests: the tree the boards are looked for in, /sys and /dev below root
// ("" the machine's own).
void relayRoot(const char *root);

#endif
