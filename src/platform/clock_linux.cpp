// clock_linux.cpp: sleep and the local clock.
#include "platform.h"
#include <cerrno>
#include <ctime>

void sleepMs(int ms)
{
    struct timespec left = {ms / 1000, (long)(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

int localTime(struct tm *out)
{
    // tzset with TZ unset re-reads /etc/localtime when it changed, so a new
    // zone or daylight-saving rule shows at the next sample.
    tzset();
    time_t now = time(nullptr);
    return localtime_r(&now, out) ? 0 : -1;
}
