// parallel.cpp: the parallel port on Linux. Through the kernel's ppdev
// driver wherever the kernel knows the port (no root needed, group lp is
// enough, and the kernel's own driver is not fought), else by direct port
// I/O at a parallel-port address only.
#include "parallel.h"
#include "outputwait.h"
#include "journal.h"
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/ppdev.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>
#if defined(__i386__) || defined(__x86_64__)
#include <sys/io.h>
#define HAVE_PORT_IO 1
#endif

// PPCLAIM queues behind whoever holds the port (another copy of this
// program, a print job); past this wait we go on without the port.
static const int claimWaitSeconds = 3;

static int ppdevFd = -1;     // claimed /dev/parportN, or -1
static char openedPath[PATH_MAX];  // for the record: what the port is reached through
static int directPort = -1;  // address opened with ioperm, or -1

static volatile sig_atomic_t claimTimedOut;

static void onClaimAlarm(int)
{
    claimTimedOut = 1;
}

// The first line on the console; the reason and the remedy where system
// error texts go (under the service: into the record, at the same priority).
static void reportNoAccess(int port, int err, const char *hint, bool required)
{
    int priority = required ? JOURNAL_ERR : JOURNAL_WARNING;
    report(priority, "%s  Cannot access port:  0x%X\n", required ? "ERROR:" : "Warning:", port);
    if (err)
        reportSystemError(priority, err);
    reportDetail(priority, "%s", hint);
}

// PPCLAIM with a time limit. On failure errno says why; EBUSY when the
// port stayed held by someone else.
static int claimWithin(int fd, int seconds)
{
    struct sigaction alarmAction = {}, oldAction;
    alarmAction.sa_handler = onClaimAlarm;  // no SA_RESTART: the alarm must end the wait
    sigemptyset(&alarmAction.sa_mask);
    sigaction(SIGALRM, &alarmAction, &oldAction);
    struct itimerval limit = {}, oldTimer, off = {};
    limit.it_value.tv_sec = seconds;
    claimTimedOut = 0;
    setitimer(ITIMER_REAL, &limit, &oldTimer);

    int rc;
    do
        rc = ioctl(fd, PPCLAIM);
    while (rc == -1 && errno == EINTR && !claimTimedOut);
    int err = errno;

    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &oldAction, nullptr);
    setitimer(ITIMER_REAL, &oldTimer, nullptr);
    errno = (rc == -1 && err == EINTR) ? EBUSY : err;
    return rc;
}

// Open, claim and point the data lines outwards. No PPEXCL: it fails
// whenever another parport driver (lp, as loaded for printing) is
// registered on the port, although that driver only claims it per print
// job. The default compatibility mode is right: PPWDATA writes the data
// register in any mode.
static int openPpdev(const portRoute_t *route)
{
    int fd = open(route->device, O_RDWR | O_CLOEXEC);
    if (fd == -1)
        return -1;
    if (claimWithin(fd, claimWaitSeconds) == -1) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    // A bidirectional port may have been left reading by its last user.
    int forward = 0;
    if (ioctl(fd, PPDATADIR, &forward) == -1) {
        int err = errno;
        ioctl(fd, PPRELEASE);
        close(fd);
        errno = err;
        return -1;
    }
    ppdevFd = fd;
    return 0;
}

// Data, status and control register of a parallel port.
static const int portRegisters = 3;

static int openDirect(int port)
{
#ifdef HAVE_PORT_IO
    if (ioperm(port, portRegisters, 1) == -1)
        return -1;
    // Where nothing decodes the address every read gives 0xFF; a real port's
    // status register reads BUSY (bit 7) low from its unconnected pins and
    // its control register holds the BIOS setting. Looking is only reading:
    // a machine without the port is never written to.
    if (inb(port) == 0xFF && inb(port + 1) == 0xFF && inb(port + 2) == 0xFF) {
        ioperm(port, portRegisters, 0);
        errno = ENODEV;
        return -1;
    }
    directPort = port;
    return 0;
#else
    (void)port;
    errno = ENOSYS;
    return -1;
#endif
}

static bool inGroup(gid_t group)
{
    if (getegid() == group)
        return true;
    gid_t groups[256];
    int n = getgroups(256, groups);
    for (int i = 0; i < n; i++)
        if (groups[i] == group)
            return true;
    return false;
}

static void ppdevHint(char *hint, size_t size, const portRoute_t *route, int err)
{
    struct stat node;
    if (err == EBUSY) {
        snprintf(hint, size, "%s is held by another program (another copy of this one, or a print job).",
                 route->device);
    } else if (err == ENOENT) {
        snprintf(hint, size, "The kernel drives the port, but %s is missing: load the ppdev module (modprobe ppdev).",
                 route->device);
    } else if ((err == EACCES || err == EPERM) && stat(route->device, &node) == 0) {
        struct group *owner = getgrgid(node.st_gid);
        const char *group = owner != nullptr ? owner->gr_name : "lp";
        bool groupMayWrite = (node.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
        if (!inGroup(node.st_gid))
            snprintf(hint, size, "To reach %s, add the user to group %s (then log in again), or run as root.",
                     route->device, group);
        else if (!groupMayWrite)
            snprintf(hint, size, "%s does not let its group %s write, and this program is in it: "
                     "the node's mode is wrong (crw-rw---- root lp is right; see the udev rules).",
                     route->device, group);
        else
            snprintf(hint, size, "%s lets its group %s write and this program is in it, yet the system refuses: "
                     "a device policy (DeviceAllow= of a service started before the node existed) or a "
                     "security module; start the program again.", route->device, group);
    } else {
        snprintf(hint, size, "To reach %s, load the ppdev module and add the user to group lp (or run as root).",
                 route->device);
    }
}

// No kernel port at a standard address: what the kernel does drive, or why
// it drives nothing. Where the kernel has ports elsewhere or none at all,
// why direct I/O failed (no root, say) is beside the point: *err goes to 0.
static void directHint(char *hint, size_t size, const portRoute_t *route, int *err)
{
    bool kernelExplains = route->kernelPorts[0] != '\0' || (route->kernelParportLoaded && *err != ENODEV);
    if (route->kernelPorts[0] != '\0')
        snprintf(hint, size, "The kernel drives no parallel port at 0x%X (no /dev/parport node for it); "
                 "it drives %s: give that address with -port:.", route->port, route->kernelPorts);
    else if (*err == ENODEV)
        snprintf(hint, size, "No parallel port answers at 0x%X: enable the parallel port (LPT1) in the "
                 "firmware setup.", route->port);
    else if (route->kernelParportLoaded)
        snprintf(hint, size, "No parallel port at all: the kernel found none (no /dev/parport0). Enable the "
                 "parallel port (LPT1) in the firmware setup.");
    else if (geteuid() == 0)
        // Root already: direct I/O failed for its own reason (the system
        // error above), so only the kernel's driver is left to suggest.
        snprintf(hint, size, "The kernel drives no parallel port at 0x%X (no /dev/parport0): load parport_pc "
                 "and ppdev (modprobe -a parport_pc ppdev).", route->port);
    else
        snprintf(hint, size, "The kernel drives no parallel port at 0x%X (no /dev/parport0): load parport_pc "
                 "and ppdev (modprobe -a parport_pc ppdev) and join group lp, or run as root on an x86 PC "
                 "for direct port I/O.", route->port);
    if (kernelExplains)
        *err = 0;
}

// The node of a port the kernel has, not made or not given to group lp
// yet: udev at boot is a moment behind the modules.
static bool mayComeSoon(const portRoute_t *route, int err)
{
    return route->path == PORT_PPDEV && (err == ENOENT || err == EACCES);
}

// No parallel port in the kernel at all, not yet: its modules may be
// loading as we start (at boot, or by hand right then).
static bool kernelMayComeSoon(const portRoute_t *route)
{
    return route->path != PORT_PPDEV && route->kernelPorts[0] == '\0';
}


int openPortRoute(const portRoute_t *route, bool required)
{
    parallelClose();
    char hint[PATH_MAX + 400];
    int rc = -1, err = 0;
    if (route->path == PORT_PPDEV) {
        rc = openPpdev(route);
        err = errno;
        for (int waited = 0; rc == -1 && required && mayComeSoon(route, err) && waited < portWaitMs;
             waited += portRetryMs) {
            pauseForOutput();
            rc = openPpdev(route);
            err = errno;
        }
        ppdevHint(hint, sizeof hint, route, err);
    } else if (route->path == PORT_DIRECT) {
        rc = openDirect(route->port);
        err = errno;
        directHint(hint, sizeof hint, route, &err);
    } else {
        snprintf(hint, sizeof hint,
                 "0x%X is not a parallel port address: only 0x378, 0x278, 0x3BC, a parport of the kernel "
                 "or a parport range of /proc/ioports is written.%s%s%s",
                 route->port, route->kernelPorts[0] != '\0' ? " The kernel drives " : "", route->kernelPorts,
                 route->kernelPorts[0] != '\0' ? "." : "");
    }
    if (rc == -1)
        reportNoAccess(route->port, err, hint, required);
    else
        snprintf(openedPath, sizeof openedPath, "%s",
                 route->path == PORT_PPDEV ? route->device : "direct port I/O");
    return rc;
}

int parallelOpen(int portAddr, bool required)
{
    portRoute_t route;
    findPortRoute("", portAddr, &route);
    for (int waited = 0; required && kernelMayComeSoon(&route) && waited < portWaitMs;
         waited += portRetryMs) {
        pauseForOutput();
        findPortRoute("", portAddr, &route);
    }
    return openPortRoute(&route, required);
}

const char *parallelPath(void)
{
    return openedPath[0] != '\0' ? openedPath : "no port";
}

// Direct port I/O has no way to fail once ioperm granted the address.
int parallelWrite(int value)
{
    unsigned char byte = (unsigned char)value;
    if (ppdevFd >= 0)
        return ioctl(ppdevFd, PPWDATA, &byte) == -1 ? -1 : 0;
#ifdef HAVE_PORT_IO
    if (directPort >= 0)
        outb(byte, (unsigned short)directPort);
#endif
    return 0;
}

// Nothing here writes the data register: the last value stays on the lines.
void parallelClose(void)
{
    if (ppdevFd >= 0) {
        ioctl(ppdevFd, PPRELEASE);
        close(ppdevFd);
        ppdevFd = -1;
    }
#ifdef HAVE_PORT_IO
    if (directPort >= 0)
        ioperm((unsigned long)directPort, portRegisters, 0);
#endif
    directPort = -1;
    openedPath[0] = '\0';
}
