#include "support/LoopbackNetwork.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

bool gEntered = false;

std::string failure(const char* step) {
    return std::string(step) + ": " + std::strerror(errno);
}

bool onlyLoopbackInterfaces() {
    struct if_nameindex* names = ::if_nameindex();
    if (names == nullptr) {
        return false;
    }
    bool onlyLo = names[0].if_name != nullptr;
    for (struct if_nameindex* n = names; n->if_name != nullptr; ++n) {
        onlyLo = onlyLo && std::string_view(n->if_name) == "lo";
    }
    ::if_freenameindex(names);
    return onlyLo;
}

} // namespace

std::string enterLoopbackOnlyNetwork() {
    if (gEntered) {
        return {};
    }
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
        return failure("unshare");
    }
    // Mounts made from here on stay inside this process's own view.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return failure("making mounts private");
    }
    char path[] = "/tmp/tamsel-resolv-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) {
        return failure("mkstemp");
    }
    const std::string_view resolver = "nameserver 127.0.0.1\noptions attempts:1 timeout:1\n";
    const bool written =
        ::write(fd, resolver.data(), resolver.size()) == static_cast<ssize_t>(resolver.size());
    ::close(fd);
    const bool bound = written && ::mount(path, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0;
    const std::string bindFailure = bound ? "" : failure("binding resolv.conf");
    // The bind keeps the file's contents alive; its name is not needed any more.
    ::unlink(path);
    if (!bound) {
        return bindFailure;
    }
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = s >= 0 && ::ioctl(s, SIOCGIFFLAGS, &request) == 0 &&
                    (request.ifr_flags |= IFF_UP, ::ioctl(s, SIOCSIFFLAGS, &request) == 0);
    const std::string upFailure = up ? "" : failure("bringing loopback up");
    if (s >= 0) {
        ::close(s);
    }
    if (!up) {
        return upFailure;
    }
    if (!onlyLoopbackInterfaces()) {
        return "the new namespace has interfaces besides loopback";
    }
    gEntered = true;
    return {};
}

bool inLoopbackOnlyNetwork() {
    return gEntered && onlyLoopbackInterfaces();
}

} // namespace testsupport
