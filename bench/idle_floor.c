/* idle_floor.c: the least a program can do that shows what weekswitch shows
 * while nothing switches, three times a second: sample the local clock (the
 * time zone looked up afresh), write one "\r" clock line, look once for a
 * key, sleep 300 ms. bench/idle.sh runs it beside weekswitch as the floor of
 * the idle cost. The key q ends it; any other key is read and dropped. */
#include <poll.h>
#include <stdio.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

int main(void)
{
    static const char *const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    struct termios found, keys;
    int tty = tcgetattr(STDIN_FILENO, &found) == 0;
    if (tty) {
        keys = found;
        keys.c_lflag &= ~(ICANON | ECHO);
        keys.c_cc[VMIN] = 1;
        keys.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &keys);
    }
    for (;;) {
        tzset();
        time_t now = time(NULL);
        struct tm local;
        localtime_r(&now, &local);
        char line[64];
        int n = snprintf(line, sizeof line, "*Off*:  %s %02d:%02d:%02d\r", days[local.tm_wday], local.tm_hour,
                         local.tm_min, local.tm_sec);
        if (write(STDOUT_FILENO, line, (size_t)n) < 0)
            break;
        struct pollfd key = {STDIN_FILENO, POLLIN, 0};
        char typed = 0;
        if (poll(&key, 1, 0) > 0 && (read(STDIN_FILENO, &typed, 1) != 1 || typed == 'q'))
            break;
        struct timespec nap = {0, 300 * 1000 * 1000};
        nanosleep(&nap, NULL);
    }
    if (tty)
        tcsetattr(STDIN_FILENO, TCSANOW, &found);
    return 0;
}
