// SPDX-License-Identifier: MIT
// Moves the calling process into a network namespace of its own with loopback
// up, so that 127.0.0.1:8080 there is nobody else's. Must run before any
// thread exists: a user namespace is refused to a threaded process.
#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

// Returns null on success, else what failed, with the reason in errno. Root
// without CAP_SYS_ADMIN is refused a bare network namespace but may still own
// one inside a user namespace, so both are tried whoever runs this. `moved`
// tells whether the process has left the host's network all the same.
inline const char *enter_private_network(bool &moved)
{
    moved = unshare(CLONE_NEWNET) == 0;
    if (!moved) {
        char uid_map[32], gid_map[32];
        snprintf(uid_map, sizeof(uid_map), "0 %u 1", unsigned(geteuid()));
        snprintf(gid_map, sizeof(gid_map), "0 %u 1", unsigned(getegid()));
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
            return "unshare(CLONE_NEWUSER | CLONE_NEWNET)";
        moved = true;
        const char *files[][2] = {{"/proc/self/setgroups", "deny"},
                                  {"/proc/self/uid_map", uid_map},
                                  {"/proc/self/gid_map", gid_map}};
        for (const auto &file : files) {
            int fd = open(file[0], O_WRONLY | O_CLOEXEC);
            ssize_t size = ssize_t(strlen(file[1]));
            bool written = fd >= 0 && write(fd, file[1], size_t(size)) == size;
            if (fd >= 0)
                close(fd);
            if (!written)
                return "mapping the user namespace";
        }
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    strcpy(ifr.ifr_name, "lo");
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 &&
              (ifr.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &ifr) == 0);
    int saved = errno;
    if (fd >= 0)
        close(fd);
    errno = saved;
    return up ? nullptr : "bringing loopback up";
}
