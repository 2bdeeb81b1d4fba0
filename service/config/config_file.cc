// config_file.cc: the configuration file, read through descriptors.
#include "config/config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "fd.h"
#include "io/log.h"

namespace norvd {

using norv::Fd;

namespace {

// `path` without the slashes at its end (a lone "/" stays).
std::string trimmed(const std::string &path) {
    size_t end = path.find_last_not_of('/');
    return end == std::string::npos ? path.substr(0, 1) : path.substr(0, end + 1);
}

}  // namespace

std::string config_permission_problem(const std::string &path, unsigned mode, unsigned uid,
                                      const std::string &holds) {
    bool owner = uid != 0, writable = (mode & (S_IWGRP | S_IWOTH)) != 0;
    if (!owner && !writable) return "";
    std::string what = holds.empty() ? path : path + ", the directory of " + holds + ",";
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", mode & 07777);
    std::string why, fix;
    if (owner) {
        why = " belongs to uid " + std::to_string(uid) + ", not root";
        fix = "chown root " + path;
    }
    if (writable) {
        why += std::string(owner ? " and" : "") + " is writable by group or others (mode " + octal + ")";
        fix += std::string(owner ? "; " : "") + "chmod go-w " + path;
    }
    return what + why + ": run " + fix;
}

std::string config_directory(const std::string &path) {
    std::string p = trimmed(path);
    size_t slash = p.rfind('/');
    if (slash == std::string::npos) return ".";
    size_t end = p.find_last_not_of('/', slash);
    return end == std::string::npos ? "/" : p.substr(0, end + 1);
}

std::string config_name(const std::string &path) {
    std::string p = trimmed(path);
    size_t slash = p.rfind('/');
    return slash == std::string::npos || p == "/" ? p : p.substr(slash + 1);
}

std::string read_config(const std::string &path, bool required, bool strict, ConfigFile &file,
                        bool &found) {
    // A configuration file is a few hundred bytes: a larger one is a mistake
    // (a device, a log), not to be read to its end.
    constexpr size_t kLimit = 1 << 20;
    found = false;
    auto missing = [&](int error) {
        if (error != ENOENT || required) {
            errno = error;
            return failed(("open " + path).c_str());
        }
        file = ConfigFile{};
        return std::string();
    };
    // The file is opened in the directory that is checked, so that both
    // looks are at the same place whatever is renamed meanwhile.
    const std::string dir = config_directory(path);
    Fd dirFd(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dirFd.valid()) return missing(errno);
    Fd fd(openat(dirFd.get(), config_name(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid()) return missing(errno);
    struct stat st {};
    if (fstat(fd.get(), &st) < 0) return failed(("fstat " + path).c_str());
    if (!S_ISREG(st.st_mode)) return path + ": not a regular file";
    if (strict) {
        if (std::string why = config_permission_problem(path, st.st_mode, st.st_uid); !why.empty())
            return why;
        struct stat held {};
        if (fstat(dirFd.get(), &held) < 0) return failed(("fstat " + dir).c_str());
        if (std::string why = config_permission_problem(dir, held.st_mode, held.st_uid, path); !why.empty())
            return why;
    }
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t len = read(fd.get(), buf, sizeof buf);
        if (len < 0 && errno == EINTR) continue;
        if (len < 0) return failed(("read " + path).c_str());
        if (len == 0) break;
        text.append(buf, static_cast<size_t>(len));
        if (text.size() > kLimit) return path + ": larger than 1 MiB, not a configuration file";
    }
    found = true;
    return parse_config(text, path, file);
}

}  // namespace norvd
