// fd.h: ownership of one file descriptor. norvd holds its devices, sockets
// and event descriptors through it; the tests, benchmarks and fuzzers hold
// theirs the same way.
#ifndef NORV_FD_H
#define NORV_FD_H

#include <unistd.h>

#include <utility>

namespace norv {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd &operator=(Fd &&other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Gives the descriptor up without closing it: for one that someone else
    // has closed or now owns.
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

}  // namespace norv

#endif  // NORV_FD_H
