// service_linux.cpp: what systemd hears from the program when it runs it as
// a service (Type=notify): that the port holds the entry in force, that the
// run loop is still going round, and a line saying how the port stands.
//
// Each message is one datagram to the socket systemd names in NOTIFY_SOCKET,
// sent without waiting: PID 1 busy (a reload under load) lets that socket's
// queue fill, and a send that waited for room would hold up the switching.
// A message the queue has no room for is dropped; the next pass sends the
// next one, and what it says stands on its own (the whole status line, a
// watchdog ping). libsystemd's sd_notify waits in that case, so the few
// lines of the protocol are written out here. A run that systemd did not
// start with a notification socket says nothing.
#include "platform.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

int notifyFd = -1;
bool notifyLooked;
struct sockaddr_un notifyAddress;
socklen_t notifyAddressLength;

// A path, or an abstract name written with a leading '@'.
void openNotifySocket(void)
{
    notifyLooked = true;
    const char *name = getenv("NOTIFY_SOCKET");
    if (name == nullptr || (name[0] != '/' && name[0] != '@'))
        return;
    size_t length = strlen(name);
    if (length < 2 || length >= sizeof notifyAddress.sun_path)
        return;
    notifyAddress.sun_family = AF_UNIX;
    memcpy(notifyAddress.sun_path, name, length);
    if (name[0] == '@')
        notifyAddress.sun_path[0] = '\0';
    notifyAddressLength = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + length + (name[0] == '@' ? 0 : 1));
    notifyFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

}  // namespace

void notifyServiceManager(const char *state)
{
    if (!notifyLooked)
        openNotifySocket();
    if (notifyFd < 0)
        return;
    ssize_t n;
    do
        n = sendto(notifyFd, state, strlen(state), MSG_DONTWAIT | MSG_NOSIGNAL,
                   (const struct sockaddr *)&notifyAddress, notifyAddressLength);
    while (n < 0 && errno == EINTR);
}
