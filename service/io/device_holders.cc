// device_holders.cc: the look through /proc for the holders of a device.
#include "io/device_holders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string_view>

#include "fd.h"
#include "io/log.h"

namespace norvd {

using norv::Fd;

namespace {

// The value of the line "<key>\t..." of a status text, or "" with found false.
std::string field(const std::string &text, const char *key, bool &found) {
    std::string head = std::string(key) + ":";
    size_t at = text.compare(0, head.size(), head) == 0 ? 0 : text.find("\n" + head);
    found = at != std::string::npos;
    if (!found) return "";
    if (at != 0) ++at;
    at += head.size();
    return text.substr(at, text.find('\n', at) - at);
}

bool parse_number(const char *&p, unsigned long &out) {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p < '0' || *p > '9') return false;
    char *end = nullptr;
    errno = 0;
    out = std::strtoul(p, &end, 10);
    if (errno != 0) return false;
    p = end;
    return true;
}

// A process that ended while it was looked at: its /proc entries vanish.
bool gone(int e) { return e == ENOENT || e == ESRCH; }

bool is_pid(const char *name, pid_t &pid) {
    if (*name < '1' || *name > '9') return false;
    long v = 0;
    for (const char *p = name; *p; ++p) {
        if (*p < '0' || *p > '9' || v > 1'000'000'000) return false;
        v = v * 10 + (*p - '0');
    }
    pid = static_cast<pid_t>(v);
    return true;
}

enum class Holds { kNo, kYes, kFailed };

// Whether process `pid` (an entry of the /proc directory `procDir`) holds the
// device. Only a descriptor whose target (as readlink tells it) ends with
// the device's name is stat()ed: reading a target never waits for a file
// system, and there are few such descriptors.
Holds holds(int procDir, const char *pid, const DeviceId &device, std::string &error) {
    std::string path = std::string(pid) + "/fd";
    int dirFd = openat(procDir, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        if (gone(errno)) return Holds::kNo;
        error = failed(("open /proc/" + path).c_str());
        return Holds::kFailed;
    }
    DIR *fds = fdopendir(dirFd);  // owns dirFd from here on
    if (fds == nullptr) {
        error = failed("fdopendir");
        close(dirFd);
        return Holds::kFailed;
    }
    std::string suffix = "/" + device.name;
    Holds result = Holds::kNo;
    for (;;) {
        errno = 0;
        dirent *e = readdir(fds);
        if (e == nullptr) {
            if (errno != 0 && !gone(errno)) {
                error = failed(("readdir /proc/" + path).c_str());
                result = Holds::kFailed;
            }
            break;
        }
        if (e->d_name[0] == '.') continue;
        char target[256];
        ssize_t len = readlinkat(dirfd(fds), e->d_name, target, sizeof target);
        // Closed meanwhile, or too long to be a pty's name.
        if (len <= 0 || static_cast<size_t>(len) == sizeof target) continue;
        std::string_view to(target, static_cast<size_t>(len));
        if (to.size() < suffix.size() || to.substr(to.size() - suffix.size()) != suffix) continue;
        struct stat st {};
        if (fstatat(dirfd(fds), e->d_name, &st, 0) == 0 && st.st_dev == device.dev &&
            st.st_ino == device.ino) {
            result = Holds::kYes;
            break;
        }
    }
    closedir(fds);
    return result;
}

// Reads /proc/PID/status. Returns false when the process has gone (error
// stays "") or the text cannot be read (error says why).
bool read_status(int procDir, const char *pid, Holder &holder, std::string &error) {
    std::string path = std::string(pid) + "/status";
    Fd fd(openat(procDir, path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        if (!gone(errno)) error = failed(("open /proc/" + path).c_str());
        return false;
    }
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (!gone(errno)) error = failed(("read /proc/" + path).c_str());
            return false;
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    if (!parse_status(text, holder.parent, holder.uids)) {
        error = "/proc/" + path + " has no readable PPid or Uid line";
        return false;
    }
    return true;
}

}  // namespace

bool parse_status(const std::string &text, pid_t &parent, std::array<uid_t, 4> &uids) {
    bool found = false;
    std::string ppid = field(text, "PPid", found);
    const char *p = ppid.c_str();
    unsigned long v = 0;
    if (!found || !parse_number(p, v) || *p != '\0' || v > 0x7fffffff) return false;
    std::string uid = field(text, "Uid", found);
    if (!found) return false;
    std::array<uid_t, 4> got{};
    p = uid.c_str();
    for (uid_t &u : got) {
        unsigned long n = 0;
        if (!parse_number(p, n) || n > 0xffffffffUL) return false;
        u = static_cast<uid_t>(n);
    }
    while (*p == ' ' || *p == '\t') ++p;
    if (*p != '\0') return false;
    parent = static_cast<pid_t>(v);
    uids = got;
    return true;
}

HolderScan find_holders(const std::string &proc, const DeviceId &device,
                        const std::vector<pid_t> &ours) {
    HolderScan scan;
    DIR *dir = opendir(proc.c_str());
    if (dir == nullptr) return scan.error = failed(("opendir " + proc).c_str()), scan;
    auto is_ours = [&](pid_t p) { return std::find(ours.begin(), ours.end(), p) != ours.end(); };
    for (;;) {
        errno = 0;
        dirent *e = readdir(dir);
        if (e == nullptr) {
            if (errno != 0) scan.error = failed(("readdir " + proc).c_str());
            break;
        }
        pid_t pid;
        if (!is_pid(e->d_name, pid) || is_ours(pid)) continue;
        Holds h = holds(dirfd(dir), e->d_name, device, scan.error);
        if (h == Holds::kFailed) break;
        if (h == Holds::kNo) continue;
        Holder holder;
        holder.pid = pid;
        if (!read_status(dirfd(dir), e->d_name, holder, scan.error)) {
            if (!scan.error.empty()) break;
            continue;
        }
        if (!is_ours(holder.parent)) scan.holders.push_back(holder);
    }
    closedir(dir);
    return scan;
}

Owner decide_owner(const HolderScan &scan, const std::string &device) {
    Owner owner;
    if (!scan.error.empty()) {
        owner.why = "the look for the holders of " + device + " failed: " + scan.error;
        return owner;
    }
    std::set<uid_t> uids;
    for (const Holder &h : scan.holders) uids.insert(h.uids.begin(), h.uids.end());
    if (uids.empty()) {
        owner.why = "no process holds " + device + " any more";
        return owner;
    }
    if (uids.size() == 1) {
        owner.known = true;
        owner.uid = *uids.begin();
        return owner;
    }
    std::string list;
    for (uid_t u : uids) list += (list.empty() ? "" : ", ") + std::to_string(u);
    owner.why = device + " is held by processes of several users (uids " + list + ")";
    return owner;
}

}  // namespace norvd
