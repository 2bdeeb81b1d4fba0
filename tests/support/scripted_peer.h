// scripted_peer.h: a stand-in for the service on the far end of a
// socketpair(), shared by the unit tests, the benchmarks and the fuzzers.
// The caller queues replies before the call under test, and afterwards reads
// back exactly the bytes that the call wrote. A datagram pair stands in for
// a UDP socket the same way.
#ifndef NORV_TESTS_SCRIPTED_PEER_H
#define NORV_TESTS_SCRIPTED_PEER_H

#include <cstdint>
#include <initializer_list>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fd.h"

namespace norv::test {

using Bytes = std::vector<uint8_t>;

inline void append_le(Bytes &b, uint64_t v, int width) {
    for (int i = 0; i < width; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline Bytes le32(uint32_t v) { Bytes b; append_le(b, v, 4); return b; }
inline Bytes le64(uint64_t v) { Bytes b; append_le(b, v, 8); return b; }
inline Bytes zeros(size_t n) { return Bytes(n, 0); }
inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
// The 8-byte head of a control request.
inline Bytes head(int32_t command, int32_t length) {
    return cat({le32(static_cast<uint32_t>(command)), le32(static_cast<uint32_t>(length))});
}

class ScriptedPeer {
public:
    // SOCK_STREAM plays the service behind a request or notice FIFO;
    // SOCK_DGRAM plays the other end of a UDP socket.
    explicit ScriptedPeer(int type = SOCK_STREAM) {
        int fds[2] = {-1, -1};
        if (::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds) == 0) {
            library_.reset(fds[0]);
            peer_.reset(fds[1]);
        }
    }

    // False when the socketpair could not be made.
    bool ok() const { return library_.valid() && peer_.valid(); }
    // The descriptor handed to the library as its request or notice FIFO, or
    // as its UDP socket.
    int fd() const { return library_.get(); }
    // The peer's own end: where datagrams for the library are sent from.
    int peer_fd() const { return peer_.get(); }
    // Queues bytes for the library to read; false when they did not all fit.
    bool reply(const Bytes &bytes) const {
        if (bytes.empty()) return true;
        return ::write(peer_.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // Everything the library has written so far and the peer has not yet read.
    Bytes written() const {
        Bytes out;
        uint8_t chunk[4096];
        for (;;) {
            ssize_t n = ::recv(peer_.get(), chunk, sizeof chunk, MSG_DONTWAIT);
            if (n <= 0) break;
            out.insert(out.end(), chunk, chunk + n);
        }
        return out;
    }
    // Ends the peer's sending side: the library's writes still succeed, and
    // its reads then find end of file.
    void hang_up() const { ::shutdown(peer_.get(), SHUT_WR); }
    // Takes the library's descriptor away (after the library closed it itself).
    void forget_library_fd() { (void)library_.release(); }

private:
    norv::Fd library_, peer_;
};

inline bool fd_is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

}  // namespace norv::test

#endif  // NORV_TESTS_SCRIPTED_PEER_H
