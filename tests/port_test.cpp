// port_test.cpp: the way to the parallel port, chosen from fake /proc trees
// (no real device is opened and no real port written), the sleep and local
// clock of the Linux platform, and when standard error is the journal.
#include "journal.h"
#include "platform.h"
#include "parallel.h"
#include "port.h"
#include "relay.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/time.h>
#include <unistd.h>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

class PortLookup : public testing::Test {
protected:
    std::string root;

    void SetUp() override
    {
        char pattern[] = "/tmp/weekswitch-port-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(root); }

    void writeFile(const std::string &relative, const std::string &text)
    {
        std::filesystem::path path = root + "/" + relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    void kernelParport(int n, const std::string &baseAddr)
    {
        writeFile("proc/sys/dev/parport/parport" + std::to_string(n) + "/base-addr", baseAddr);
    }
    portRoute_t route(int portAddr)
    {
        portRoute_t found;
        findPortRoute(root.c_str(), portAddr, &found);
        return found;
    }
    std::string device(int n) { return root + "/dev/parport" + std::to_string(n); }
    // A device of the boards' USB ID placed as the kernel does: in parent.
    void hidDevice(int n, const std::string &parent, const std::string &name, const std::string &phys)
    {
        std::string place = "devices/" + parent + "/0003:16C0:05DF." + std::to_string(n);
        std::string hidraw = "sys/class/hidraw/hidraw" + std::to_string(n);
        writeFile("sys/" + place + "/uevent", "HID_ID=0003:000016C0:000005DF\nHID_NAME=" + name + "\nHID_PHYS=" + phys);
        writeFile(hidraw + "/dev", "");
        std::filesystem::create_directory_symlink("../../../" + place, root + "/" + hidraw + "/device");
    }
};

int timesOpen(const std::string &path)
{
    int count = 0;
    for (const auto &fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code gone;  // the iterator's own descriptor closes under it
        if (std::filesystem::read_symlink(fd.path(), gone) == path)
            count++;
    }
    return count;
}

TEST_F(PortLookup, KernelPortsAreReachedThroughTheirPpdevDevice)
{
    kernelParport(0, "888\t1912\n");
    kernelParport(1, "53264\t53248\n");  // a PCIe card at 0xD010
    writeFile("proc/sys/dev/parport/default/timeslice", "200\n");

    portRoute_t onboard = route(0x378);
    EXPECT_EQ(onboard.path, PORT_PPDEV);
    EXPECT_EQ(onboard.port, 0x378);
    EXPECT_EQ(onboard.device, device(0));

    portRoute_t card = route(0xD010);
    EXPECT_EQ(card.path, PORT_PPDEV);
    EXPECT_EQ(card.device, device(1));

    // Only the low 16 bits name the port.
    portRoute_t wide = route(0x7FFF0378);
    EXPECT_EQ(wide.port, 0x378);
    EXPECT_EQ(wide.device, device(0));
}

TEST_F(PortLookup, SecondAddressOfBaseAddrIsNoDataRegister)
{
    kernelParport(0, "888\t1912\n");
    EXPECT_EQ(route(1912).path, PORT_REFUSED);
}

TEST_F(PortLookup, WithoutKernelPortOnlyStandardBasesGoDirect)
{
    EXPECT_EQ(route(0x378).path, PORT_DIRECT);
    EXPECT_EQ(route(0x278).path, PORT_DIRECT);
    EXPECT_EQ(route(0x3BC).path, PORT_DIRECT);
    EXPECT_EQ(route(0x64).path, PORT_REFUSED);   // the keyboard controller
    EXPECT_EQ(route(0x379).path, PORT_REFUSED);
    EXPECT_EQ(route(0xD010).path, PORT_REFUSED);

    // A kernel port elsewhere leaves 0x378 to direct access.
    kernelParport(0, "53264\t53248\n");
    EXPECT_EQ(route(0x378).path, PORT_DIRECT);
}

TEST_F(PortLookup, IoportsRangeNamedParportMayBeWrittenDirectly)
{
    writeFile("proc/ioports",
              "0000-0cf7 : PCI Bus 0000:00\n"
              "  0060-0060 : keyboard\n"
              "  0064-0064 : keyboard\n"
              "0d00-ffff : PCI Bus 0000:00\n"
              "  d000-d007 : 0000:05:00.0\n"
              "  d010-d012 : 0000:05:00.0\n"
              "    d010-d012 : parport1\n");
    EXPECT_EQ(route(0xD010).path, PORT_DIRECT);
    EXPECT_EQ(route(0xD012).path, PORT_DIRECT);
    EXPECT_EQ(route(0xD013).path, PORT_REFUSED);
    EXPECT_EQ(route(0xD000).path, PORT_REFUSED);
    EXPECT_EQ(route(0x64).path, PORT_REFUSED);
}

TEST_F(PortLookup, HiddenIoportsRangesVouchForNothing)
{
    // What a user without root reads in /proc/ioports.
    writeFile("proc/ioports", "0000-0000 : parport0\n0000-0000 : keyboard\n");
    EXPECT_EQ(route(0x0).path, PORT_REFUSED);
    EXPECT_EQ(route(0x10000).path, PORT_REFUSED);
}

TEST_F(PortLookup, UnreachablePortIsReportedWithTheOneRemedyForItsCase)
{
    kernelParport(0, "888\t1912\n");
    portRoute_t way = route(0x378);
    ASSERT_EQ(way.path, PORT_PPDEV);
    ASSERT_EQ(way.device, device(0));  // inside the fake tree, never a real device
    EXPECT_STREQ(way.kernelPorts, "0x378 (/dev/parport0)");

    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(openPortRoute(&way), -1);
    EXPECT_EQ(GetCapturedStdout(), "Warning:  Cannot access port:  0x378\n");
    EXPECT_EQ(GetCapturedStderr(), "No such file or directory\nThe kernel drives the port, but " + device(0) +
                                       " is missing: load the ppdev module (modprobe ppdev).\n");

    // A file that opens but is no port: the claim fails and nothing stays
    // open. Where the port is required (the service) that is an error.
    writeFile("dev/parport0", "");
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(openPortRoute(&way, true), -1);
    EXPECT_EQ(GetCapturedStdout(), "ERROR:  Cannot access port:  0x378\n");
    EXPECT_EQ(GetCapturedStderr(), "Inappropriate ioctl for device\nTo reach " + device(0) +
                                       ", load the ppdev module and add the user to group lp (or run as root).\n");
    EXPECT_EQ(timesOpen(device(0)), 0);
    closePort();

    // An address that is no port names the ones the kernel drives.
    kernelParport(1, "53264\t53248\n");
    portRoute_t keyboard = route(0x64);
    ASSERT_EQ(keyboard.path, PORT_REFUSED);
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(openPortRoute(&keyboard), -1);
    GetCapturedStdout();
    std::string said = GetCapturedStderr();
    EXPECT_NE(said.find(" The kernel drives 0x378 (/dev/parport0), 0xD010 (/dev/parport1).\n"), std::string::npos)
        << said;
}

// Relay boards are told from other devices of their shared USB ID by their
// name, and named by the USB port they sit in; hidraw order, numerically.
TEST_F(PortLookup, RelayBoardsAreFoundByIdAndNameWithTheirPort)
{
    const struct {
        const char *node, *id, *name, *phys;
    } devices[] = {
        {"hidraw0", "0003:000016C0:000005DF", "www.dcttech.com USBRelay2", "usb-0000:00:14.0-2/input0"},
        {"hidraw1", "0003:000016C0:000005DF", "obdev.at some gadget", "usb-0000:00:14.0-3/input0"},
        {"hidraw2", "0003:0000046D:0000C52B", "Logitech USBRelay2", "usb-0000:00:14.0-4/input2"},
        {"hidraw3", "0003:000016C0:000005DF", "www.dcttech.com USBRelay3", "usb-0000:00:14.0-5/input0"},
        {"hidraw10", "0003:000016c0:000005df", "USBRelay8", "usb-0000:00:14.0-1.4/input0"},
        {"hidrawX", "0003:000016C0:000005DF", "USBRelay1", "usb-0000:00:14.0-6/input0"},
    };
    for (const auto &d : devices)
        writeFile(std::string("sys/class/hidraw/") + d.node + "/device/uevent",
                  std::string("DRIVER=hid-generic\nHID_ID=") + d.id + "\nHID_NAME=" + d.name + "\nHID_PHYS=" + d.phys +
                      "\nHID_UNIQ=\n");
    std::vector<relayBoard_t> boards = findRelayBoards(root.c_str());
    ASSERT_EQ(boards.size(), 2u);
    EXPECT_EQ(boards[0].node, root + "/dev/hidraw0");
    EXPECT_EQ(boards[0].port, "usb-0000:00:14.0-2");
    EXPECT_EQ(boards[0].relays, 2);
    EXPECT_EQ(boards[1].node, root + "/dev/hidraw10");
    EXPECT_EQ(boards[1].port, "usb-0000:00:14.0-1.4");
    EXPECT_EQ(boards[1].relays, 8);
    EXPECT_TRUE(findRelayBoards((root + "/nothing").c_str()).empty());
}

// A board's port is its place, spelt as usbhid spells HID_PHYS (which counts
// only on no USB bus: uhid); a name making a field twice is no board's. The
// board taken, QWE12 at the first, is found again only as the board chosen.
TEST_F(PortLookup, RelayBoardIsItsPlaceAndIsFoundAgainOnlyWhenItIsTheBoardChosen)
{
    const std::string usb = "pci0000:00/0000:00:14.0/usb1/1-";
    hidDevice(0, usb + "1/1-1:1.0", "USBRelay2", "usb-0000:00:14.0-9/input0");
    hidDevice(1, usb + "4/1-4.2/1-4.2:1.0", "USBRelay2", "");
    hidDevice(2, "virtual/misc/uhid", "USBRelay2", "usb-0000:00:01.2-3/input0");
    hidDevice(3, usb + "5/1-5:1.0", "x USBRelay2\nHID_PHYS=usb-0000:00:14.0-1/input0", "usb-0000:00:14.0-5/input0");
    std::vector<relayBoard_t> listed = findRelayBoards(root.c_str());
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0].port + " " + listed[1].port + " " + listed[2].port,
              "usb-0000:00:14.0-1 usb-0000:00:14.0-4.2 usb-0000:00:01.2-3");
    const struct { const char *choice, *ids[3]; bool twinSeen; int found, suspect; const char *why; } rows[] = {
        {"usb-0000:00:14.0-1", {"", "QWE12", ""}, false, -1, -1, ""},
        {"usb-0000:00:14.0-1", {"ZXC56", "QWE12", ""}, false, -1, 0, "its ID is 'ZXC56', not 'QWE12'"},
        {"/dev/hidraw0", {"", "QWE12", ""}, false, -1, -1, ""},
        {"QWE12", {"\x1b[6n\x07", "", ""}, false, -1, 0, "its ID is '\\x1B[6n\\x07', not 'QWE12'"},
        {"QWE12", {"QWE12", "QWE12", ""}, false, 0, -1, ""},
        {"QWE12", {"ZXC56", "QWE12", ""}, false, 1, -1, ""},
        {"QWE12", {"", "QWE12", ""}, true, -1, 1, "cannot be told"},
        {"QWE12", {"", "QWE12", "QWE12"}, false, -1, 2, "cannot be told"},
        {"", {"", "", "QWE12"}, false, 2, -1, ""},
    };
    for (const auto &r : rows) {
        std::vector<relayBoard_t> boards;
        for (int i = 0; i < 3; i++)
            if (*r.ids[i] != '\0')
                boards.push_back({listed[i].node, listed[i].port, 2, r.ids[i]});
        auto listedAs = [&](int k) { return k < 0 ? -1 : boards[k].node.back() - '0'; };  // hidrawN
        std::string why;
        int suspect, found = sameRelayBoard(boards, {listed[0].node, listed[0].port, 2, "QWE12"}, r.choice,
                                            r.twinSeen, &suspect, &why);
        EXPECT_EQ(std::make_pair(listedAs(found), listedAs(suspect)), std::make_pair(r.found, r.suspect)) << &r - rows;
        EXPECT_TRUE(*r.why != '\0' ? why.find(r.why) != std::string::npos : why.empty()) << &r - rows << ": " << why;
    }
}

// One board that cannot be used is named with what failed (its node missing;
// a plain file: no answer); two giving one port (uhid's can) are not two of
// one ID. An answer cut short is a failed read.
TEST_F(PortLookup, RelayBoardThatCannotBeUsedIsReportedWithWhatFailed)
{
    const std::string port = "usb-0000:00:01.2-1", board = "? at " + port + " (" + root + "/dev/hidraw0)";
    const std::string said[] = {"No such file or directory\nThe kernel lists " + board + ", but its node is missing",
                                "Inappropriate ioctl for device\n" + board + " did not answer the request for its ID",
                                "More than one board gives '" + port + "' as its USB port: "};
    hidDevice(0, "virtual/misc/uhid", "USBRelay2", port + "/input0");
    relayRoot(root.c_str());
    for (int i = 0; i < 3; i++) {
        if (i > 0)
            i == 1 ? writeFile("dev/hidraw0", "") : hidDevice(1, "virtual/misc/uhid", "USBRelay2", port);
        CaptureStdout();
        CaptureStderr();
        EXPECT_EQ(relayOpen(i < 2 ? "" : port, false), -1);
        GetCapturedStdout();
        EXPECT_EQ(GetCapturedStderr().substr(0, said[i].size()), said[i]);
    }
    relayRoot("");
    const unsigned char report[9] = {0, 'Q', 'W', 'E', '1', '2', 0, 0, 0x03};
    std::string id;
    unsigned char relays = 0;
    EXPECT_TRUE(readRelayReport(report, 8, &id, &relays) == -1 && errno == EIO && id.empty());
}

TEST(PortOpen, RefusedAddressIsReportedWithoutSystemError)
{
    // The real /proc of this machine: 0x64 is the keyboard controller.
    portRoute_t way;
    findPortRoute("", 0x10064, &way);
    ASSERT_EQ(way.path, PORT_REFUSED);

    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(openPortRoute(&way), -1);
    EXPECT_EQ(GetCapturedStdout(), "Warning:  Cannot access port:  0x64\n");
    EXPECT_EQ(GetCapturedStderr(),
              "0x64 is not a parallel port address: only 0x378, 0x278, 0x3BC, a parport of the kernel "
              "or a parport range of /proc/ioports is written.\n");
}

volatile sig_atomic_t alarmCnt;

void countAlarm(int)
{
    alarmCnt = alarmCnt + 1;
}

double monotonicMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

TEST(Clock, SleepMsSleepsTheWholeTimeThroughSignals)
{
    struct sigaction counting = {}, old;
    counting.sa_handler = countAlarm;  // no SA_RESTART: every alarm cuts the sleep
    sigemptyset(&counting.sa_mask);
    sigaction(SIGALRM, &counting, &old);
    struct itimerval every10ms = {{0, 10000}, {0, 10000}}, off = {};
    alarmCnt = 0;
    setitimer(ITIMER_REAL, &every10ms, nullptr);

    double start = monotonicMs();
    sleepMs(150);
    double slept = monotonicMs() - start;

    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_GE(alarmCnt, 5);
    EXPECT_GE(slept, 150.0);
    EXPECT_LT(slept, 1000.0);
}

TEST(Clock, LocalTimeFollowsTzAtEachCall)
{
    const char *saved = getenv("TZ");
    std::string savedTz = saved ? saved : "";
    struct tm utc = {}, east = {}, back = {};
    for (int attempt = 0; attempt < 3; attempt++) {
        setenv("TZ", "UTC0", 1);
        ASSERT_EQ(localTime(&utc), 0);
        setenv("TZ", "FIVE-5", 1);  // five hours east of UTC
        ASSERT_EQ(localTime(&east), 0);
        setenv("TZ", "UTC0", 1);
        ASSERT_EQ(localTime(&back), 0);
        if (utc.tm_sec == back.tm_sec)
            break;  // no second boundary crossed between the samples
    }
    EXPECT_EQ(east.tm_hour, (utc.tm_hour + 5) % 24);
    EXPECT_EQ(east.tm_gmtoff, 5 * 3600);
    EXPECT_EQ(back.tm_hour, utc.tm_hour);
    EXPECT_EQ(back.tm_gmtoff, 0);

    if (saved)
        setenv("TZ", savedTz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

// JOURNAL_STREAM names the journal's stream by device and inode: another
// file on the same device, or one that happens to have the inode number,
// is a terminal or a log that must not get the "<N>" lines.
TEST(Journal, OnlyTheStreamNamedByDeviceAndInodeIsTheJournal)
{
    char path[] = "/tmp/weekswitch-journal-XXXXXX";
    int file = mkstemp(path);
    ASSERT_GE(file, 0);
    unlink(path);
    struct stat st;
    ASSERT_EQ(fstat(file, &st), 0);
    const std::string dev = std::to_string(st.st_dev), ino = std::to_string(st.st_ino);
    const struct {
        bool set;
        std::string stream;
        bool on;
    } rows[] = {
        {true, dev + ":" + ino, true},
        {true, dev + ":" + std::to_string(st.st_ino + 1), false},
        {true, std::to_string(st.st_dev + 1) + ":" + ino, false},
        {true, dev + ":stderr", false},
        {true, "", false},
        {false, "", false},
    };
    const char *saved = getenv("JOURNAL_STREAM");
    const std::string savedStream = saved ? saved : "";
    int shellStderr = dup(STDERR_FILENO);
    for (const auto &r : rows) {
        r.set ? setenv("JOURNAL_STREAM", r.stream.c_str(), 1) : unsetenv("JOURNAL_STREAM");
        dup2(file, STDERR_FILENO);
        openJournal();
        bool on = journalOn;
        journalOn = false;
        dup2(shellStderr, STDERR_FILENO);
        EXPECT_EQ(on, r.on) << (r.set ? "JOURNAL_STREAM=" + r.stream : "JOURNAL_STREAM unset");
    }
    saved ? setenv("JOURNAL_STREAM", savedStream.c_str(), 1) : unsetenv("JOURNAL_STREAM");
    close(shellStderr);
    close(file);
}

// The journal's socket in a scratch folder, read by the test, and the
// program as under the service (standard error is the stream).
class JournalSocket : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(mkdtemp(folder), nullptr);
        socketPath = std::string(folder) + "/socket";
        reader = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        struct sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
        ASSERT_EQ(bind(reader, (struct sockaddr *)&address, sizeof address), 0);
        journalSocketPath(socketPath.c_str());
        char stream[] = "/tmp/weekswitch-journal-XXXXXX";
        file = mkstemp(stream);
        unlink(stream);
        struct stat st;
        fstat(file, &st);
        setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
        int shellStderr = dup(STDERR_FILENO);
        dup2(file, STDERR_FILENO);
        openJournal();
        dup2(shellStderr, STDERR_FILENO);
        close(shellStderr);
        unsetenv("JOURNAL_STREAM");
        ASSERT_TRUE(journalOn);
    }
    void TearDown() override
    {
        journalOn = false;
        close(file);
        close(reader);
        unlink(socketPath.c_str());
        rmdir(folder);
    }
    // The datagrams waiting, each as its fields; a value in the binary-safe
    // form (name, line end, 64-bit length, bytes) as the bytes it holds.
    std::vector<std::map<std::string, std::string>> received(void)
    {
        std::vector<std::map<std::string, std::string>> got;
        static char datagram[1 << 17];
        ssize_t n;
        while ((n = recv(reader, datagram, sizeof datagram, 0)) > 0) {
            std::map<std::string, std::string> fields;
            for (const char *at = datagram, *end = datagram + n; at < end;) {
                const char *eol = (const char *)memchr(at, '\n', end - at), *eq = (const char *)memchr(at, '=', eol - at);
                if (eq != nullptr) {
                    fields[std::string(at, eq)] += std::string(eq + 1, eol);
                    at = eol + 1;
                    continue;
                }
                uint64_t length;
                memcpy(&length, eol + 1, 8);
                fields[std::string(at, eol)] += std::string(eol + 9, length);
                at = eol + 9 + length + 1;
            }
            got.push_back(fields);
        }
        return got;
    }
    char folder[32] = "/tmp/weekswitch-journal-XXXXXX";
    std::string socketPath;
    int reader = -1, file = -1;
};

// What the journal does not take waits, in order, in a queue of 64; what
// does not fit is counted, and the count is recorded in its place once the
// journal takes records again. Nothing waits for the journal meanwhile.
TEST_F(JournalSocket, RecordsWaitInOrderAndTheLostAreCounted)
{
    const int made = 300;
    for (int i = 0; i < made; i++)
        journalRecord(JOURNAL_INFO, "test", {}, "record %d", i);
    EXPECT_EQ(journalQueued(), 64);
    unsigned long lost = journalDropped();
    EXPECT_GT(lost, 0u);
    std::vector<std::map<std::string, std::string>> got;
    for (size_t round = 0, before = 1; round < 100 && got.size() != before; round++) {
        before = got.size();
        for (auto &fields : received())
            got.push_back(fields);
        journalFlush();
    }
    ASSERT_EQ(got.size(), made - lost + 1);
    for (size_t i = 0; i + 1 < got.size(); i++)
        EXPECT_EQ(got[i]["MESSAGE"], "record " + std::to_string(i));
    EXPECT_EQ(got.back()["MESSAGE"], "Record: " + std::to_string(lost) + " lines lost, the journal did not take them in time");
    // The lost ones are those made after the ones the journal got.
    EXPECT_LT(got[got.size() - 2]["WEEKSWITCH_REALTIME_USEC"], got.back()["WEEKSWITCH_LOST_FROM_USEC"]);
    EXPECT_LE(got.back()["WEEKSWITCH_LOST_FROM_USEC"], got.back()["WEEKSWITCH_LOST_TO_USEC"]);
}

// A name may hold anything: every field is whole or absent, a line end in a
// value never starts a field of its own, and a long value pushes out no
// other. The end goes before a backlog, and what the journal then takes is
// the end, the backlog and the count of the rest.
TEST_F(JournalSocket, EveryFieldIsWholeOrAbsentAndTheEndGoesFirst)
{
    const struct {
        std::string name;
        bool nameKept;
    } rows[] = {
        {"week.txt\nWEEKSWITCH_RECORD=switched", true},
        {std::string(392, 'n'), true},
        {std::string(1214, 'n'), true},
        {std::string(100000, 'n'), false},
    };
    for (const auto &r : rows) {
        journalRecord(JOURNAL_INFO, "started", {{"WEEKSWITCH_TIMETABLE", r.name}, {"WEEKSWITCH_ENTRIES", "168"}},
                      "Started: timetable '%s', 168 entries", r.name.c_str());
        auto got = received();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0]["WEEKSWITCH_RECORD"], "started");
        EXPECT_EQ(got[0]["WEEKSWITCH_ENTRIES"], "168");
        EXPECT_EQ(got[0]["WEEKSWITCH_TIMETABLE"], r.nameKept ? r.name : "");
        EXPECT_EQ(got[0]["MESSAGE"], r.nameKept ? "Started: timetable '" + quotedText(r.name, r.name.size()) + "', 168 entries"
                                                : "(the message was too long for the record)");
    }
    for (int i = 0; i < 300; i++)
        journalRecord(JOURNAL_INFO, "test", {}, "record %d", i);
    const int waiting = journalQueued(), inKernel = 300 - waiting - (int)journalDropped();
    // The journal makes room while the end waits for it: it reads what the
    // kernel held before.
    std::vector<std::map<std::string, std::string>> early, got;
    std::thread reading([&] {
        usleep(200 * 1000);
        char datagram[1 << 16];
        for (int i = 0; i < inKernel; i++)
            early.push_back({{"MESSAGE", std::to_string(recv(reader, datagram, sizeof datagram, 0))}});
    });
    journalSignal(SIGTERM);
    reading.join();
    for (size_t round = 0, before = 1; round < 100 && got.size() != before; round++) {
        before = got.size();
        for (auto &fields : received())
            got.push_back(fields);
        journalFlush();
    }
    ASSERT_GT(inKernel, 0);
    ASSERT_EQ(got.size(), (size_t)waiting + 2) << "the end, the backlog and the count";
    EXPECT_EQ(got[0]["MESSAGE"], "Ended: signal SIGTERM");
    EXPECT_EQ(got[1]["MESSAGE"], "record " + std::to_string(inKernel)) << "then the backlog, in order";
    EXPECT_EQ(got.back()["WEEKSWITCH_RECORD"], "dropped");
}

}  // namespace
