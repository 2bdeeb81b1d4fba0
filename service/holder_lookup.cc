// holder_lookup.cc: the thread that looks for the holders of /dev/rtf1.
#include "holder_lookup.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

#include "pty_device.h"

namespace norvd {

std::unique_ptr<HolderLookup> HolderLookup::start(const std::string &proc, const DeviceId &device,
                                                  const std::string &link, std::string &error) {
    std::unique_ptr<HolderLookup> lookup(new HolderLookup);
    lookup->proc_ = proc;
    lookup->device_ = device;
    lookup->link_ = link;
    lookup->event_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!lookup->event_.valid()) return error = failed("eventfd"), nullptr;
    try {
        lookup->thread_ = std::thread([l = lookup.get()] { l->run(); });
    } catch (const std::system_error &e) {
        error = std::string("starting a thread failed: ") + e.what();
        return nullptr;
    }
    return lookup;
}

HolderLookup::~HolderLookup() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void HolderLookup::ask(uint32_t token, std::vector<pid_t> ours) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        asked_.push_back(Ask{token, std::move(ours)});
    }
    wake_.notify_one();
}

bool HolderLookup::take(Answer &answer) {
    uint64_t count;
    while (read(event_.get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (done_.empty()) return false;
    answer = std::move(done_.front());
    done_.pop_front();
    return true;
}

void HolderLookup::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !asked_.empty(); });
        if (stop_) return;
        std::deque<Ask> batch;
        batch.swap(asked_);
        lock.unlock();

        std::vector<pid_t> ours;
        for (const Ask &a : batch) ours.insert(ours.end(), a.ours.begin(), a.ours.end());
        auto begin = std::chrono::steady_clock::now();
        Owner owner = decide_owner(find_holders(proc_, device_, ours), link_);
        auto took = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now() - begin).count();

        lock.lock();
        for (const Ask &a : batch) done_.push_back(Answer{a.token, owner, static_cast<uint64_t>(took)});
        uint64_t one = 1;
        while (write(event_.get(), &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
}

}  // namespace norvd
