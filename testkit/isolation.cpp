// Isolation through Linux namespaces and bind mounts; see isolation.h.
#include "testkit/isolation.h"

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <net/if.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "build_settings.h"

static std::string Failure(const char *what) {
    return std::string(what) + ": " + strerror(errno);
}

static bool WriteProcFile(const char *path, const std::string &text) {
    int fd = open(path, O_WRONLY);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

static std::string BringLoopbackUp() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return Failure("socket for the loopback interface");
    struct ifreq request = {};
    strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    std::string error;
    if (ioctl(fd, SIOCGIFFLAGS, &request) != 0) {
        error = Failure("reading the loopback flags");
    } else {
        request.ifr_flags |= IFF_UP;
        if (ioctl(fd, SIOCSIFFLAGS, &request) != 0) error = Failure("bringing loopback up");
    }
    close(fd);
    return error;
}

std::string EnterIsolation() {
    uid_t uid = geteuid();
    gid_t gid = getegid();
    int flags = CLONE_NEWNS | CLONE_NEWNET;
    if (uid != 0) flags |= CLONE_NEWUSER;
    if (unshare(flags) != 0) return Failure("unshare of mount and network namespaces");
    if (uid != 0) {
        // Become root of the new user namespace, mapped to the caller.
        if (!WriteProcFile("/proc/self/setgroups", "deny") ||
            !WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            return Failure("mapping the user namespace");
        }
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return Failure("making the mounts private");
    }
    return BringLoopbackUp();
}

static std::string DirectoryOf(const char *path) {
    std::string copy(path);
    return std::string(dirname(&copy[0]));
}

static bool MakeDirectories(const std::string &path) {
    std::string partial;
    std::stringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty()) continue;
        partial += "/" + part;
        if (mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    return true;
}

Sandbox::Sandbox() {
    if (!dir.Error().empty()) {
        error = dir.Error();
        return;
    }
    chmod(dir.Dir().c_str(), 0777);
    std::string targets[2] = {DirectoryOf(KORVANE_CONFIG_FILE), DirectoryOf(KORVANE_HID_DEVICE)};
    for (int i = 0; i < 2; i++) {
        if (i == 1 && targets[1] == targets[0]) break;
        std::string source = i == 0 ? dir.Dir() : dir.Path("hid");
        if (i == 1) mkdir(source.c_str(), 0777);
        if (!MakeDirectories(targets[i])) {
            error = Failure(("creating " + targets[i]).c_str());
            return;
        }
        if (mount(source.c_str(), targets[i].c_str(), nullptr, MS_BIND, nullptr) != 0) {
            error = Failure(("binding the sandbox over " + targets[i]).c_str());
            return;
        }
        mountPoints[i] = targets[i];
    }
}

// The directory itself goes when `dir` is destroyed, after the unmounting.
Sandbox::~Sandbox() {
    for (const std::string &point : mountPoints) {
        if (!point.empty()) umount2(point.c_str(), MNT_DETACH);
    }
}
