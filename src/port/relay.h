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

// The calls port.cpp hands on, as port.h describes them. choice: "" (the
// one board plugged in), an ID, a port ("usb-..."), or a node ("/dev/...").
int relayOpen(const std::string &choice, bool required);
const char *relayPath(void);
const char *relayName(void);
int relayWrite(int value);
bool relayLost(void);
void relayClose(void);

#endif
