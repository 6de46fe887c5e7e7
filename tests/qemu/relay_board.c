/* relay_board.c: a USB HID relay board for the QEMU benches, made with the
 * kernel's uhid driver (/dev/uhid): the real HID core and hidraw see a board
 * of the common kind (USB ID 16c0:05df, named "USBRelayN"), and this program
 * answers its feature reports as such a board does and writes down every
 * report with its time.
 *
 *   relay_board [-n RELAYS] [-i ID] [-p PHYS] [-l LOG] [-s]
 *
 * RELAYS 1, 2, 4 or 8 (default 2); ID the board's 5-character ID (default
 * "BENCH"); PHYS the physical path the kernel shows for it (default
 * "usb-0000:00:01.2-1/input0"); LOG the file each report is appended to
 * (default standard output), one line each:
 *   1765191601.003 set FF 01 -> 01      (on, relay 1; the relays after it)
 *   1765191601.004 get -> 01
 * -s makes a stuck board: it answers but its relays never move. SIGTERM or
 * SIGINT unplugs it (the device is destroyed, as when the cable is pulled);
 * its relays are lost with it, as a real board's are.
 *
 * The reports, as the boards document them: feature report 0, eight bytes.
 * Set: FF n (relay n on), FD n (relay n off), FE (all on), FC (all off).
 * Get: the ID in bytes 0..4, the relays' state in byte 7 (bit n-1: relay n).
 * hidraw passes the report number in front (0: the boards number none).
 * A test tool: it never touches a port. */
#include <errno.h>
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static const unsigned char descriptor[] = {
    0x06, 0x00, 0xFF,        /* usage page (vendor) */
    0x09, 0x01,              /* usage 1 */
    0xA1, 0x01,              /* collection (application) */
    0x15, 0x00,              /* logical minimum 0 */
    0x26, 0xFF, 0x00,        /* logical maximum 255 */
    0x75, 0x08,              /* report size 8 */
    0x95, 0x08,              /* report count 8 */
    0x09, 0x00,              /* usage 0 */
    0xB2, 0x02, 0x01,        /* feature (data, variable, absolute, buffered bytes) */
    0xC0                     /* end collection */
};

static volatile sig_atomic_t unplug;
static FILE *logFile;

static void onSignal(int sig)
{
    (void)sig;
    unplug = 1;
}

static void stamp(void)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    fprintf(logFile, "%lld.%03ld ", (long long)now.tv_sec, now.tv_nsec / 1000000);
}

static int send(int fd, const struct uhid_event *ev)
{
    ssize_t n = write(fd, ev, sizeof *ev);
    return n == (ssize_t)sizeof *ev ? 0 : -1;
}

int main(int argc, char **argv)
{
    int relays = 2, stuck = 0, opt;
    const char *id = "BENCH", *phys = "usb-0000:00:01.2-1/input0", *logPath = NULL;
    while ((opt = getopt(argc, argv, "n:i:p:l:s")) != -1) {
        switch (opt) {
        case 'n': relays = atoi(optarg); break;
        case 'i': id = optarg; break;
        case 'p': phys = optarg; break;
        case 'l': logPath = optarg; break;
        case 's': stuck = 1; break;
        default:
            fprintf(stderr, "usage: %s [-n RELAYS] [-i ID] [-p PHYS] [-l LOG] [-s]\n", argv[0]);
            return 2;
        }
    }
    logFile = logPath ? fopen(logPath, "a") : stdout;
    if (logFile == NULL) {
        perror(logPath);
        return 1;
    }
    setvbuf(logFile, NULL, _IOLBF, 0);
    int fd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        perror("/dev/uhid");
        return 1;
    }
    struct sigaction on = {0};
    on.sa_handler = onSignal;
    sigaction(SIGTERM, &on, NULL);
    sigaction(SIGINT, &on, NULL);

    struct uhid_event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = UHID_CREATE2;
    snprintf((char *)ev.u.create2.name, sizeof ev.u.create2.name, "www.dcttech.com USBRelay%d", relays);
    snprintf((char *)ev.u.create2.phys, sizeof ev.u.create2.phys, "%s", phys);
    ev.u.create2.rd_size = sizeof descriptor;
    ev.u.create2.bus = 0x03; /* BUS_USB */
    ev.u.create2.vendor = 0x16C0;
    ev.u.create2.product = 0x05DF;
    ev.u.create2.version = 0x0100;
    memcpy(ev.u.create2.rd_data, descriptor, sizeof descriptor);
    if (send(fd, &ev) != 0) {
        perror("UHID_CREATE2");
        return 1;
    }
    stamp();
    fprintf(logFile, "plugged %s %d relays %s\n", id, relays, phys);

    unsigned char state = 0;
    while (!unplug) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        if (read(fd, &ev, sizeof ev) <= 0)
            break;
        if (ev.type == UHID_SET_REPORT) {
            const unsigned char *d = ev.u.set_report.data;
            int size = ev.u.set_report.size;
            /* The report number first, then the command and the relay. */
            int cmd = size > 1 ? d[1] : -1, n = size > 2 ? d[2] : 0;
            unsigned char all = (unsigned char)(relays >= 8 ? 0xFF : (1 << relays) - 1);
            if (!stuck) {
                if (cmd == 0xFF && n >= 1 && n <= relays)
                    state |= (unsigned char)(1 << (n - 1));
                else if (cmd == 0xFD && n >= 1 && n <= relays)
                    state &= (unsigned char)~(1 << (n - 1));
                else if (cmd == 0xFE)
                    state = all;
                else if (cmd == 0xFC)
                    state = 0;
            }
            stamp();
            fprintf(logFile, "set %02X %02X -> %02X\n", cmd & 0xFF, n & 0xFF, state);
            struct uhid_event reply;
            memset(&reply, 0, sizeof reply);
            reply.type = UHID_SET_REPORT_REPLY;
            reply.u.set_report_reply.id = ev.u.set_report.id;
            reply.u.set_report_reply.err = 0;
            send(fd, &reply);
        } else if (ev.type == UHID_GET_REPORT) {
            struct uhid_event reply;
            memset(&reply, 0, sizeof reply);
            reply.type = UHID_GET_REPORT_REPLY;
            reply.u.get_report_reply.id = ev.u.get_report.id;
            reply.u.get_report_reply.err = 0;
            unsigned char *d = reply.u.get_report_reply.data;
            d[0] = 0;
            memcpy(d + 1, id, strnlen(id, 5));
            d[8] = state;
            reply.u.get_report_reply.size = 9;
            send(fd, &reply);
            stamp();
            fprintf(logFile, "get -> %02X\n", state);
        }
    }
    memset(&ev, 0, sizeof ev);
    ev.type = UHID_DESTROY;
    send(fd, &ev);
    stamp();
    fprintf(logFile, "unplugged %s\n", id);
    close(fd);
    return 0;
}
