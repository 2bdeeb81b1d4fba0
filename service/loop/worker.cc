// worker.cc: the eventfd through which a Worker's thread wakes norvd's loop.
#include "loop/worker.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "io/log.h"

namespace norvd::worker_detail {

norv::Fd make_event(std::string &error) {
    norv::Fd fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!fd.valid()) error = failed("eventfd");
    return fd;
}

void signal_event(int fd) {
    uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void clear_event(int fd) {
    uint64_t count;
    while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

}  // namespace norvd::worker_detail
