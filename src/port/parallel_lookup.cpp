// port_lookup.cpp: decides how an I/O address is reached, from what the
// kernel says about its parallel ports. Only reads files; touches no port.
#include "parallel.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>

#include <algorithm>
#include <utility>
#include <vector>

// The bases a PC parallel port has had since the first PCs; only these, and
// ranges the kernel itself calls a parport, may ever be written directly.
static const int standardBases[] = {0x378, 0x278, 0x3BC};

// The N of a directory entry named parportN, or -1 for anything else
// (such as the "default" entry next to them).
static int parportNumber(const char *name)
{
    if (strncmp(name, "parport", 7) != 0 || name[7] == '\0')
        return -1;
    char *end;
    long n = strtol(name + 7, &end, 10);
    return (*end == '\0' && n >= 0 && n < 1000000) ? (int)n : -1;
}

// The data-register address in a base-addr file ("888\t1912": base, then
// the ECP registers, which are no place for output), or -1.
static long readBaseAddr(const char *root, const char *entry)
{
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/proc/sys/dev/parport/%s/base-addr", root, entry);
    FILE *file = fopen(path, "r");
    if (!file)
        return -1;
    long base = -1;
    if (fscanf(file, "%ld", &base) != 1)
        base = -1;
    fclose(file);
    return base;
}

// The N of the parportN whose base is port, or -1 if the kernel drives no
// parallel port there.
static int findKernelParport(const char *root, int port)
{
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/proc/sys/dev/parport", root);
    DIR *dir = opendir(path);
    if (!dir)
        return -1;
    int found = -1;
    while (found < 0) {
        struct dirent *entry = readdir(dir);
        if (!entry)
            break;
        int n = parportNumber(entry->d_name);
        if (n >= 0 && readBaseAddr(root, entry->d_name) == port)
            found = n;
    }
    closedir(dir);
    return found;
}

// Does /proc/ioports give port to a range named parport... ("  0378-037a :
// parport0")? Without root the kernel shows every range as 0000-0000,
// which vouches for nothing.
static int ioportsNameParport(const char *root, int port)
{
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/proc/ioports", root);
    FILE *file = fopen(path, "r");
    if (!file)
        return 0;
    char line[256];
    int named = 0;
    while (!named && fgets(line, sizeof line, file)) {
        unsigned first, last;
        int nameAt = 0;
        if (sscanf(line, " %x-%x : %n", &first, &last, &nameAt) != 2 || nameAt == 0)
            continue;
        if (last == 0 || port < (int)first || port > (int)last)
            continue;
        named = strncmp(line + nameAt, "parport", 7) == 0;
    }
    fclose(file);
    return named;
}

// "0x378 (/dev/parport0), 0xD010 (/dev/parport1)": what the kernel drives,
// in the kernel's order.
static void listKernelParports(const char *root, portRoute_t *route)
{
    route->kernelPorts[0] = '\0';
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/proc/sys/dev/parport", root);
    DIR *dir = opendir(path);
    route->kernelParportLoaded = dir != nullptr;
    if (!dir)
        return;
    std::vector<std::pair<int, long>> ports;
    while (struct dirent *entry = readdir(dir)) {
        int n = parportNumber(entry->d_name);
        long base = n >= 0 ? readBaseAddr(root, entry->d_name) : -1;
        if (base >= 0)
            ports.emplace_back(n, base);
    }
    closedir(dir);
    std::sort(ports.begin(), ports.end());
    size_t used = 0;
    for (const auto &port : ports) {
        if (used >= sizeof route->kernelPorts)
            break;
        int wrote = snprintf(route->kernelPorts + used, sizeof route->kernelPorts - used, "%s0x%lX (/dev/parport%d)",
                             used > 0 ? ", " : "", port.second, port.first);
        used += wrote > 0 ? (size_t)wrote : 0;
    }
}

static int isStandardBase(int port)
{
    for (int base : standardBases)
        if (port == base)
            return 1;
    return 0;
}

void findPortRoute(const char *root, int portAddr, portRoute_t *route)
{
    route->port = portAddr & 0xFFFF;
    route->device[0] = '\0';
    listKernelParports(root, route);
    int n = findKernelParport(root, route->port);
    if (n >= 0) {
        route->path = PORT_PPDEV;
        snprintf(route->device, sizeof route->device, "%s/dev/parport%d", root, n);
    } else if (isStandardBase(route->port) || ioportsNameParport(root, route->port)) {
        route->path = PORT_DIRECT;
    } else {
        route->path = PORT_REFUSED;
    }
}
