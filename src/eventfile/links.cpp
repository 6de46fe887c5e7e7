// links.cpp: the protected-symlink rule, for every file the programs write.
#include "links.h"
#include "journal.h"

#include <unistd.h>

std::string folderOf(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// A link anyone could have planted is followed only when it belongs to the
// folder's owner or to us. Otherwise root would write to whatever file it
// names.
bool linkIsSafe(const std::string &path, const struct stat &link)
{
    struct stat folder;
    if (stat(folderOf(path).c_str(), &folder) != 0)
        return false;
    return !(folder.st_mode & S_IWOTH) || link.st_uid == folder.st_uid || link.st_uid == geteuid();
}

// A planted link to a folder would take the file, and one created by root,
// into someone else's folder just as well. Each prefix is looked at through
// the links before it, which were judged already.
bool foldersAreSafe(const std::string &path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        std::string prefix = path.substr(0, slash);
        struct stat link;
        if (lstat(prefix.c_str(), &link) == 0 && S_ISLNK(link.st_mode) && !linkIsSafe(prefix, link))
            return false;
    }
    return true;
}

void printLinkRefused(const std::string &path)
{
    report(JOURNAL_ERR, "ERROR:  Not following a symbolic link in a world-writable folder:  '%s'\n", path.c_str());
}
