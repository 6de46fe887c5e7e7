// links.h: following symbolic links that someone else could have planted.
//
// The programs may run as root and write where the user names. A link in a
// world-writable folder may be anyone's, so the kernel's protected-symlink
// rule is applied here as well, also where the kernel does not apply it (a
// world-writable folder without the sticky bit, or fs.protected_symlinks
// off), to every link on the way, a link a link names included. The path is
// walked a folder at a time with openat from the root or the working folder,
// each link judged in the folder it was found in, and the file is then made
// or opened in the folder held open: a link swapped in after the check is
// met by O_NOFOLLOW, never followed.
#ifndef WEEKSWITCH_LINKS_H
#define WEEKSWITCH_LINKS_H

#include <string>

// Where a path leads.
struct walkedPath_t {
    int folder = -1;          // the folder of the last name, held open (O_PATH)
    std::string name;         // the last name in it, which is no link ...
    bool throughProc = false; // ... or a link of /proc's to what has no path
                              // (/dev/stdout to a pipe): opened through it
    bool linked = false;      // a link named it
    int err = 0;              // else what a write there meets (ENOENT, ENOTDIR,
                              // EISDIR, ELOOP, EACCES ...), folder then -1
};

// Walks path, each link judged before it is followed: 0 (with out->err set
// where the walk could not go on), or -1 after printLinkRefused. The caller
// closes out->folder.
int walkPath(const std::string &path, walkedPath_t *out);
// "ERROR:  Not following a symbolic link in a world-writable folder", naming
// the path the user gave.
void printLinkRefused(const std::string &path);

#endif
