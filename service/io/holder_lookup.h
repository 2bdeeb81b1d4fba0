// holder_lookup.h: the look for the holders of /dev/rtf1, off norvd's loop.
//
// The look (device_holders.h) reads every process's descriptors, so its cost
// grows with the processes on the machine. It runs in a thread of its own
// (worker.h): norvd asks with a token when it reads command 0 and hears
// through an eventfd in its loop when the result is there, so only the
// connecting client's answer waits for it while every other connection is
// served.
// Looks asked for while another one runs are served together by the next
// one, which begins after all of them were asked for: it sees every process
// that held the device when their commands 0 were read and holds it still.
// Results come in the order asked.
#ifndef NORVD_HOLDER_LOOKUP_H
#define NORVD_HOLDER_LOOKUP_H

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/device_holders.h"
#include "loop/worker.h"

namespace norvd {

class HolderLookup {
public:
    struct Result {
        uint32_t token = 0;
        Owner owner;
        uint64_t tookNs = 0;  // how long the look took
    };

    // Starts the thread that looks for the holders of `device` (named `link`
    // in the results' texts) in the /proc at `proc`. Signals that norvd takes
    // through its signalfd must be blocked already: the thread inherits the
    // mask. Returns nullptr with the failure in `error`.
    static std::unique_ptr<HolderLookup> start(const std::string &proc, const DeviceId &device,
                                               const std::string &link, std::string &error);

    // Waits for the look under way to end, and stops the thread.
    ~HolderLookup();
    HolderLookup(const HolderLookup &) = delete;
    HolderLookup &operator=(const HolderLookup &) = delete;

    // Asks for a look, leaving out the processes in `ours` and their
    // children. Never waits for a look.
    void ask(uint32_t token, std::vector<pid_t> ours);

    // A result, oldest first. Returns false when none is waiting. Clears
    // the eventfd first, so that a result that comes after this call
    // returned false wakes the loop again.
    bool take(Result &result);

    // Readable while results wait.
    int fd() const { return worker_->fd(); }

private:
    struct Ask {
        uint32_t token;
        std::vector<pid_t> ours;
    };

    HolderLookup() = default;
    std::vector<Result> look(std::vector<Ask> asks) const;

    std::string proc_;
    DeviceId device_;
    std::string link_;
    // Declared last: its thread reads the members above, so it is joined
    // before they go.
    std::unique_ptr<Worker<Ask, Result>> worker_;
};

}  // namespace norvd

#endif  // NORVD_HOLDER_LOOKUP_H
