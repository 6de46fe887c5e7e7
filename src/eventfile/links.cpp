// links.cpp: the protected-symlink rule, for every file the programs write.
#include "links.h"
#include "journal.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <vector>

namespace {

// As many links as the kernel follows in one path before it gives ELOOP.
const int maxLinks = 40;

// A link anyone could have planted is followed only when it belongs to the
// folder's owner or to us. Otherwise root would write to whatever file it
// names.
bool linkIsSafe(int folder, const struct stat &link)
{
    struct stat st;
    if (fstat(folder, &st) != 0)
        return false;
    return !(st.st_mode & S_IWOTH) || link.st_uid == st.st_uid || link.st_uid == geteuid();
}

bool onProc(int folder)
{
    struct statfs fs;
    return fstatfs(folder, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// The names of path onto the stack of names still to walk, the first on top.
void pushNames(const std::string &path, std::vector<std::string> *todo)
{
    std::vector<std::string> names;
    size_t at = 0;
    for (;;) {
        size_t slash = path.find('/', at);
        names.push_back(path.substr(at, slash == std::string::npos ? std::string::npos : slash - at));
        if (slash == std::string::npos)
            break;
        at = slash + 1;
    }
    todo->insert(todo->end(), names.rbegin(), names.rend());
}

int fail(walkedPath_t *out, int folder, int err)
{
    if (folder >= 0)
        close(folder);
    out->folder = -1;
    out->err = err;
    return 0;
}

}  // namespace

void printLinkRefused(const std::string &path)
{
    report(JOURNAL_ERR, "ERROR:  Not following a symbolic link in a world-writable folder:  '%s'\n", path.c_str());
}

int walkPath(const std::string &path, walkedPath_t *out)
{
    *out = walkedPath_t();
    if (path.empty())
        return fail(out, -1, ENOENT);
    int folder = open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return fail(out, -1, errno);
    std::vector<std::string> todo;
    pushNames(path, &todo);
    int links = 0, swaps = 0;
    std::string name;
    while (!todo.empty()) {
        name = todo.back();
        todo.pop_back();
        bool last = todo.empty();
        // "", "." and ".." name folders: as the last name they cannot be
        // written ("file/" too, or the write would take the file).
        if (name.empty() || name == "." || name == "..") {
            if (last)
                return fail(out, folder, EISDIR);
            if (name == "..") {
                int up = openat(folder, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
                if (up < 0)
                    return fail(out, folder, errno);
                close(folder);
                folder = up;
            }
            continue;
        }
        struct stat st;
        if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (last && errno == ENOENT)
                break;  // a new file, made in this folder
            return fail(out, folder, errno);
        }
        if (S_ISLNK(st.st_mode)) {
            if (!linkIsSafe(folder, st)) {
                close(folder);
                printLinkRefused(path);
                return -1;
            }
            if (++links > maxLinks)
                return fail(out, folder, ELOOP);
            out->linked = out->linked || last;
            char target[PATH_MAX];
            ssize_t length = readlinkat(folder, name.c_str(), target, sizeof target);
            if (length <= 0 || length == (ssize_t)sizeof target)
                return fail(out, folder, length < 0 ? errno : ENAMETOOLONG);
            std::string to(target, (size_t)length);
            // A descriptor's link names a file by its path, or a pipe or a
            // socket by no path at all: that one only the kernel can open.
            if (last && to[0] != '/' && onProc(folder)) {
                out->throughProc = true;
                break;
            }
            if (to[0] == '/') {
                close(folder);
                folder = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
                if (folder < 0)
                    return fail(out, -1, errno);
            }
            pushNames(to.substr(to[0] == '/' ? 1 : 0), &todo);
            continue;
        }
        if (last) {
            if (S_ISDIR(st.st_mode))
                return fail(out, folder, EISDIR);
            break;
        }
        if (!S_ISDIR(st.st_mode))
            return fail(out, folder, ENOTDIR);
        int down = openat(folder, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (down < 0 && (errno == ELOOP || errno == ENOTDIR) && ++swaps < maxLinks) {
            // Swapped for a link since it was looked at: judged afresh.
            todo.push_back(name);
            continue;
        }
        if (down < 0)
            return fail(out, folder, errno);
        close(folder);
        folder = down;
    }
    out->folder = folder;
    out->name = name;
    return 0;
}
