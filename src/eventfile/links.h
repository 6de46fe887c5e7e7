// links.h: following symbolic links that someone else could have planted.
//
// The programs may run as root and write where the user names. A link in a world-writable folder may be anyone's, so the
// kernel's protected-symlink rule is applied here as well, also where the
// kernel does not apply it (a world-writable folder without the sticky bit,
// or fs.protected_symlinks off).
#ifndef WEEKSWITCH_LINKS_H
#define WEEKSWITCH_LINKS_H

#include <string>
#include <sys/stat.h>

// The folder a path's last name is in: "." without a slash.
std::string folderOf(const std::string &path);
// Whether the link at path, as lstat saw it, may be followed: its folder is
// not world-writable, or the link belongs to the folder's owner or to us.
bool linkIsSafe(const std::string &path, const struct stat &link);
// The same for each link met as a folder on the way to path's last name.
bool foldersAreSafe(const std::string &path);
// "ERROR:  Not following a symbolic link in a world-writable folder", naming
// the path the user gave.
void printLinkRefused(const std::string &path);
// The path with every link on it resolved, each judged as the kernel meets
// it, a link a link names included: 0, or -1 after printLinkRefused. What
// cannot be looked at (a missing name, a loop) is left as it is, for the
// write to meet the same error and say so.
int resolveLinksSafely(const std::string &path, std::string *resolved);

#endif
