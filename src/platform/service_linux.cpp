// service_linux.cpp: what systemd hears from the program when it runs it as
// a service (Type=notify): that the port holds the entry in force, that the
// run loop is still going round, and a line saying how the port stands.
// libsystemd's sd_notify does the talking; a build without it (the static
// one for a guest without systemd) says nothing, as does any run that
// systemd did not start with a notification socket.
#include "platform.h"

#ifdef HAVE_LIBSYSTEMD
#include <systemd/sd-daemon.h>
#endif

void notifyServiceManager(const char *state)
{
#ifdef HAVE_LIBSYSTEMD
    // PID 1 reads its socket at once; a failure changes nothing we do.
    sd_notify(0, state);
#else
    (void)state;
#endif
}
