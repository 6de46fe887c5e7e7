// clock_linux.cpp: sleep and the local clock.
#include "platform.h"

#include <cerrno>
#include <ctime>

void sleepMs(int ms)
{
    if (ms <= 0)
        return;
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    // Sleeping to a fixed deadline, a signal that cuts the sleep short costs
    // nothing, however often it comes. clock_nanosleep returns the error
    // number itself and leaves errno alone.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

long long monotonicMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

int localTime(struct tm *out, int *ms)
{
    // localtime_r alone keeps the zone it first loaded. tzset re-reads TZ,
    // and with TZ unset it re-reads /etc/localtime when that file changed,
    // so a new zone or daylight-saving rule shows at the next sample.
    tzset();
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (ms != nullptr)
        *ms = (int)(now.tv_nsec / 1000000);
    return localtime_r(&now.tv_sec, out) ? 0 : -1;
}
