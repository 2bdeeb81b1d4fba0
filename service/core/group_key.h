// group_key.h: the key that the norvds of a group share, and the code it
// puts on their messages.
//
// The key is 32 random bytes. Its file holds them as they are or as 64 hex
// digits (a trailing newline allowed), belongs to the user norvd runs as and
// gives no access to anyone else: mode 0600 or 0400, nothing else. The code
// is libsodium's crypto_auth (HMAC-SHA512-256), checked in constant time. A
// norvd built without libsodium (the 32-bit build where no i386 libsodium is
// installed) reads no key and writes none, and so speaks only the
// unauthenticated version of the peer messages.
#ifndef NORVD_GROUP_KEY_H
#define NORVD_GROUP_KEY_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace norvd {

constexpr size_t kKeySize = 32;
constexpr size_t kCodeSize = 32;
using GroupKey = std::array<uint8_t, kKeySize>;

// True when this norvd was built with libsodium.
bool authentication_available();

// The key held in the bytes of a key file: exactly 32 bytes, or 64 hex digits
// with or without one newline after them, not all zeros. Otherwise nothing,
// and why.
std::optional<GroupKey> parse_key(const uint8_t *data, size_t len, std::string &why);

// Reads the key file at path. Refuses (nothing, and why) a file that is not
// a regular file, that another user owns, whose mode (as the opened file has
// it) is not 0600 or 0400, or whose bytes are no key.
std::optional<GroupKey> read_key_file(const std::string &path, std::string &why);

// Writes a fresh random key (never all zeros), as hex and a newline, to a new
// file at path of mode 0600; never replaces a file that exists. False, and
// why, on failure.
bool write_new_key_file(const std::string &path, std::string &why);

// The code of len bytes at msg under key, into code (kCodeSize bytes).
void compute_code(const GroupKey &key, const uint8_t *msg, size_t len, uint8_t *code);

// Whether code is the code of len bytes at msg under key (constant time).
bool code_matches(const GroupKey &key, const uint8_t *msg, size_t len, const uint8_t *code);

}  // namespace norvd

#endif  // NORVD_GROUP_KEY_H
