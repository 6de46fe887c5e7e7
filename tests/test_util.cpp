// test_util.cpp: output capture and scratch files for the unit tests.
#include "test_util.h"
#include "calendar.h"

#include "eventfile.h"
#include "schedule.h"
#include "settings.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <unistd.h>

static int savedOut = -1;
static int savedErr = -1;

static int redirect(int fd, const std::string &path)
{
    int saved = dup(fd);
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(file, fd);
    close(file);
    return saved;
}

void beginCapture(void)
{
    fflush(stdout);
    fflush(stderr);
    savedOut = redirect(STDOUT_FILENO, scratchPath("captured.out"));
    savedErr = redirect(STDERR_FILENO, scratchPath("captured.err"));
}

capturedOutput endCapture(void)
{
    fflush(stdout);
    fflush(stderr);
    dup2(savedOut, STDOUT_FILENO);
    dup2(savedErr, STDERR_FILENO);
    close(savedOut);
    close(savedErr);
    return {readFile(scratchPath("captured.out")), readFile(scratchPath("captured.err"))};
}

static std::string scratchFolder;

static int removeEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

static void removeScratchFolder(void)
{
    nftw(scratchFolder.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string scratchPath(const std::string &name)
{
    std::string &folder = scratchFolder;
    if (folder.empty()) {
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp ? tmp : "/tmp") + "/weekswitch-test-XXXXXX";
        char *made = mkdtemp(&pattern[0]);
        if (made == nullptr)
            abort();
        folder = made;
        atexit(removeScratchFolder);
    }
    return folder + "/" + name;
}

void writeFile(const std::string &path, const std::string &bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
}

std::string readFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

void resetProgram(void)
{
    clearEvents();
    clearDatedDays();
    allocCnt = 0;
    entryCnt = 0;
    lineCnt = 0;
    eventFileName.clear();
    portAddr = 0;
    checkMode = learnMode = verbose = false;
}
