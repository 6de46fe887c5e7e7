// parallel.h: the parallel port on Linux, one of the two outputs behind
// port.h: how an I/O address is reached, the opening step (both open to the
// tests), and the calls port.cpp hands on.
//
// The lookup reads /proc and names /dev paths below a root directory, so the
// tests can point it at a fake tree; the program itself uses the root "".
#ifndef WEEKSWITCH_PARALLEL_H
#define WEEKSWITCH_PARALLEL_H

#include <climits>

enum {
    PORT_PPDEV,   // the kernel drives the port: /dev/parportN and its ioctls
    PORT_DIRECT,  // the kernel knows no such port: ioperm and outb (root, x86)
    PORT_REFUSED  // no parallel port address: nothing is ever written there
};

struct portRoute_t {
    int path;              // PORT_PPDEV, PORT_DIRECT or PORT_REFUSED
    int port;              // the I/O address, low 16 bits of portAddr
    char device[PATH_MAX]; // PORT_PPDEV: the /dev/parportN to open
    // For the messages: the ports the kernel drives ("0x378 (/dev/parport0)",
    // "" for none), and whether its parport driver is loaded at all.
    char kernelPorts[256];
    bool kernelParportLoaded;
};

// Chooses the way to portAddr, reading the files below root. Never fails:
// an address it cannot vouch for comes back PORT_REFUSED.
void findPortRoute(const char *root, int portAddr, portRoute_t *route);

// Takes hold of the port along route (see openPort in port.h for the
// messages). Returns 0, or -1 after printing why and what would give access:
// a warning, or an error when the port is required.
int openPortRoute(const portRoute_t *route, bool required = false);

// The port at portAddr (low 16 bits), as port.h's calls describe them.
int parallelOpen(int portAddr, bool required);
const char *parallelPath(void);
int parallelWrite(int value);
void parallelClose(void);

#endif
