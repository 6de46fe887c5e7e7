// output.cpp: standard output that must have reached its place.
#include "output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// Started without a standard output: what is printed goes to /dev/null and
// cannot fail there, yet it reached no one.
static bool stdoutWasClosed = false;

// A standard stream the program was started without would be the next file
// it opens, and output meant for the console could land in the timetable.
void fillClosedStandardFds(void)
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        stdoutWasClosed = stdoutWasClosed || fd == STDOUT_FILENO;
        int null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

// Everything printed must have reached its place before the exit status
// claims success: a listing that was not written is no success. Run and
// learn mode report it but keep their status: their work was the port.
int checkOutputAtExit(int status, bool outputIsTheWork)
{
    int err = fflush(stdout) != 0 ? errno : 0;
    if (stdoutWasClosed)
        err = EBADF;
    else if (!ferror(stdout))
        return status;
    fprintf(stderr, "ERROR:  Cannot write standard output\n");
    if (err != 0)
        fprintf(stderr, "%s\n", strerror(err));
    return outputIsTheWork ? -1 : status;
}
