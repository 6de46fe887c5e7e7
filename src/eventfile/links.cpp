// links.cpp: the protected-symlink rule, for every file the programs write.
#include "links.h"
#include "journal.h"

#include <climits>
#include <unistd.h>

// As many links as the kernel follows in one path before it gives ELOOP.
static const int maxLinks = 40;

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

// Lexical: what is resolved holds no links, so its ".." is its parent.
static std::string parentOf(const std::string &resolved)
{
    if (resolved.empty())
        return resolved;  // "/.." is "/"
    size_t slash = resolved.find_last_of('/');
    std::string last = resolved.substr(slash == std::string::npos ? 0 : slash + 1);
    if (last == "." || last == "..")
        return resolved + "/..";
    return resolved.substr(0, slash);
}

// realpath would follow a planted link (it reads links, which the kernel's
// rule never stops), so the path is walked a name at a time, each link
// judged in the folder it was found in before it is followed.
int resolveLinksSafely(const std::string &path, std::string *resolved)
{
    // "" stands for "/": each name is added with a slash in front.
    std::string done = path.compare(0, 1, "/") == 0 ? "" : ".";
    std::string rest = path;
    int links = 0;
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string name = rest.substr(0, slash);
        rest = slash == std::string::npos ? "" : rest.substr(slash + 1);
        if (name.empty() || name == ".")
            continue;
        if (name == "..") {
            done = parentOf(done);
            continue;
        }
        std::string next = done + "/" + name;
        struct stat st;
        if (lstat(next.c_str(), &st) != 0) {
            // Missing, or not to be looked at: the write meets the same.
            done = next + (rest.empty() ? "" : "/" + rest);
            break;
        }
        if (!S_ISLNK(st.st_mode)) {
            done = next;
            continue;
        }
        if (!linkIsSafe(next, st)) {
            printLinkRefused(path);
            return -1;
        }
        if (++links > maxLinks) {
            // The kernel, walking the same links, stops at the same one.
            *resolved = path;
            return 0;
        }
        char target[PATH_MAX];
        ssize_t length = readlink(next.c_str(), target, sizeof target);
        if (length <= 0 || length == (ssize_t)sizeof target) {
            done = next + (rest.empty() ? "" : "/" + rest);
            break;
        }
        rest = std::string(target, (size_t)length) + (rest.empty() ? "" : "/" + rest);
        if (target[0] == '/')
            done = "";
    }
    if (done.empty())
        done = "/";
    // "file/" names a folder: the write must still fail as it would.
    if (path.size() > 1 && path.back() == '/' && done.back() != '/')
        done += "/";
    *resolved = done;
    return 0;
}
