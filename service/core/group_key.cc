// group_key.cc: key files and codes, through libsodium when norvd has it.
#include "core/group_key.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fd.h"

#ifdef NORVD_WITH_SODIUM
#include <sodium.h>
static_assert(crypto_auth_KEYBYTES == norvd::kKeySize && crypto_auth_BYTES == norvd::kCodeSize);
#endif

namespace norvd {

using norv::Fd;

namespace {

int hex_digit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

#ifdef NORVD_WITH_SODIUM
std::string system_error(const std::string &call) { return call + " failed: " + std::strerror(errno); }

bool sodium_ready() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}
const char *const kNoInit = "sodium_init failed: libsodium cannot be used";
#else
const char *const kNoSodium =
    "this norvd is built without libsodium: peer authentication (--key-file, --gen-key) is not "
    "available";
#endif

// A key of zeros is what a file copied from /dev/zero, or a template never
// filled in, holds: a key that anyone can guess, so no key.
std::optional<GroupKey> refuse_zero(const GroupKey &key, std::string &why) {
    uint8_t any = 0;
    for (uint8_t b : key) any |= b;
    if (any != 0) return key;
    why = "the key is all zeros: make one with norvd --gen-key";
    return std::nullopt;
}

}  // namespace

bool authentication_available() {
#ifdef NORVD_WITH_SODIUM
    return true;
#else
    return false;
#endif
}

std::optional<GroupKey> parse_key(const uint8_t *data, size_t len, std::string &why) {
    GroupKey key{};
    if (len == kKeySize) {
        std::memcpy(key.data(), data, kKeySize);
        return refuse_zero(key, why);
    }
    size_t digits = 2 * kKeySize;
    if (len != digits && !(len == digits + 1 && data[digits] == '\n')) {
        why = std::to_string(len) + " bytes: a key is " + std::to_string(kKeySize) + " bytes or " +
              std::to_string(digits) + " hex digits";
        return std::nullopt;
    }
    for (size_t i = 0; i < kKeySize; ++i) {
        int hi = hex_digit(data[2 * i]), lo = hex_digit(data[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            why = "not hex: a key of " + std::to_string(digits) + " characters is " +
                  std::to_string(digits) + " hex digits";
            return std::nullopt;
        }
        key[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return refuse_zero(key, why);
}

std::optional<GroupKey> read_key_file(const std::string &path, std::string &why) {
#ifndef NORVD_WITH_SODIUM
    (void)path;
    why = kNoSodium;
    return std::nullopt;
#else
    if (!sodium_ready()) {
        why = kNoInit;
        return std::nullopt;
    }
    // O_NONBLOCK: a FIFO in its place must not stop norvd before it can say so.
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) {
        why = system_error("open " + path);
        return std::nullopt;
    }
    // The mode of the file that is read, not of whatever the path names
    // after a look.
    struct stat st {};
    if (fstat(fd.get(), &st) < 0) {
        why = system_error("fstat " + path);
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        why = "key file " + path + " is not a regular file";
        return std::nullopt;
    }
    // Whoever owns the file can read or change it: that must be us.
    if (st.st_uid != geteuid()) {
        why = "key file " + path + " belongs to uid " + std::to_string(st.st_uid) +
              ", not to the user norvd runs as (uid " + std::to_string(geteuid()) + ")";
        return std::nullopt;
    }
    unsigned mode = st.st_mode & 07777;
    if (mode != 0600 && mode != 0400) {
        char text[8];
        std::snprintf(text, sizeof text, "%04o", mode);
        why = "key file " + path + " has mode " + text +
              ": it must be 0600 or 0400, with no access for group or others (chmod 600 " + path + ")";
        return std::nullopt;
    }
    // One byte more than the longest key file, to tell a longer file.
    uint8_t buf[2 * kKeySize + 2];
    size_t len = 0;
    while (len < sizeof buf) {
        ssize_t got = read(fd.get(), buf + len, sizeof buf - len);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            why = system_error("read " + path);
            sodium_memzero(buf, sizeof buf);
            return std::nullopt;
        }
        if (got == 0) break;
        len += static_cast<size_t>(got);
    }
    auto key = parse_key(buf, len, why);
    sodium_memzero(buf, sizeof buf);
    if (!key) why = "key file " + path + ": " + why;
    return key;
#endif
}

bool write_new_key_file(const std::string &path, std::string &why) {
#ifndef NORVD_WITH_SODIUM
    (void)path;
    why = kNoSodium;
    return false;
#else
    why.clear();
    if (!sodium_ready()) {
        why = kNoInit;
        return false;
    }
    Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    if (!fd.valid()) {
        why = system_error("open " + path);
        return false;
    }
    unsigned char key[crypto_auth_KEYBYTES];
    // A random key of zeros comes once in 2^256 draws; parse_key would refuse
    // it, so it is never written.
    do {
        crypto_auth_keygen(key);
    } while (sodium_is_zero(key, sizeof key));
    char text[2 * kKeySize + 2];
    sodium_bin2hex(text, sizeof text, key, sizeof key);
    sodium_memzero(key, sizeof key);
    text[2 * kKeySize] = '\n';
    // The umask may have taken bits away; the mode is 0600 whatever it is.
    if (fchmod(fd.get(), 0600) < 0)
        why = system_error("fchmod " + path);
    else if (write(fd.get(), text, sizeof text - 1) != static_cast<ssize_t>(sizeof text - 1))
        why = system_error("write " + path);
    else if (fsync(fd.get()) < 0)
        why = system_error("fsync " + path);
    sodium_memzero(text, sizeof text);
    if (why.empty()) return true;
    unlink(path.c_str());
    return false;
#endif
}

void compute_code(const GroupKey &key, const uint8_t *msg, size_t len, uint8_t *code) {
#ifdef NORVD_WITH_SODIUM
    if (!sodium_ready()) std::abort();
    crypto_auth(code, msg, len, key.data());
#else
    // No key can be read without libsodium, so nothing asks for a code.
    (void)key, (void)msg, (void)len, (void)code;
    std::abort();
#endif
}

bool code_matches(const GroupKey &key, const uint8_t *msg, size_t len, const uint8_t *code) {
#ifdef NORVD_WITH_SODIUM
    if (!sodium_ready()) std::abort();
    return crypto_auth_verify(code, msg, len, key.data()) == 0;
#else
    (void)key, (void)msg, (void)len, (void)code;
    std::abort();
#endif
}

}  // namespace norvd
