// worker.h: a thread that does norvd's blocking work off its loop.
//
// Some of norvd's work takes time that norvd does not control: the look for
// the holders of /dev/rtf1 reads every process's descriptors
// (holder_lookup.h), a name look-up may wait seconds for a DNS server that
// stays silent (peer_resolver.h). A Worker does such work in a thread of its
// own and hands the results back to the loop, which never waits for it.
//
// - What runs on the thread is the owner's work only: it is called with the
//   asks the thread took, and returns their results. It runs without the
//   Worker's lock held, so the loop can ask meanwhile. Everything else (the
//   queues, the eventfd) is the Worker's.
// - The thread takes the asks waiting either one at a time (Take::kOne: each
//   result goes out as soon as its own work ends) or all of them at once
//   (Take::kAll: one piece of work serves every ask made while the previous
//   one ran).
// - The loop learns of results through fd(), an eventfd that it watches with
//   EPOLLIN: it is readable while results wait. The loop then calls take()
//   until it returns false. take() clears the eventfd before it looks at the
//   results, so a result put out after take() found none makes the eventfd
//   readable again and none is left unseen; a result already waiting when
//   take() cleared it is returned by that take() or the next ones, though
//   the eventfd no longer tells of it.
// - Order: one thread does the work, in the order asked, and its results are
//   taken in the order the work returned them. Work that returns the results
//   of its asks in their order therefore gives results in the order asked.
// - Stop: at destruction, asks that the thread has not taken are dropped,
//   and the results of work under way are never put out. How the thread
//   ends is the owner's choice (Stop), stated where it starts the worker:
//   - Stop::kJoin: the destructor waits for the work under way to return.
//     It must be chosen when the work touches state that the owner frees
//     (the owner's own members, reached through `this`): the owner then
//     declares its Worker after that state, so that the Worker is destroyed,
//     and its thread joined, first. The work must end by itself in bounded
//     time (a scan of /proc), or the owner's destruction waits for it.
//   - Stop::kDetach: the destructor returns at once, and the thread ends by
//     itself once its work returns. For a call that may block without bound
//     (getaddrinfo), provided that the work touches nothing but what it
//     holds itself (captured by value) and what it shares through the
//     Worker: the thread and the owner hold the Worker's state (queues,
//     eventfd, the work and what it captured) through a shared_ptr, freed by
//     whichever lets go of it last.
//
// The thread inherits the signal mask of the thread that starts it: the
// signals that norvd takes through its signalfd must be blocked already.
#ifndef NORVD_WORKER_H
#define NORVD_WORKER_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "fd.h"

namespace norvd {

enum class Take { kOne, kAll };
enum class Stop { kJoin, kDetach };

namespace worker_detail {

// A non-blocking eventfd, or an invalid Fd with the failure in `error`.
norv::Fd make_event(std::string &error);
// Makes `fd` readable.
void signal_event(int fd);
// Makes `fd` unreadable until the next signal_event().
void clear_event(int fd);

}  // namespace worker_detail

template <class Ask, class Result>
class Worker {
public:
    // Called on the thread with the asks taken (one for Take::kOne, one or
    // more for Take::kAll), in the order asked; returns their results.
    using Work = std::function<std::vector<Result>(std::vector<Ask> asks)>;

    // Starts the thread. Returns nullptr with the failure in `error`.
    static std::unique_ptr<Worker> start(Work work, Take take, Stop stop, std::string &error) {
        auto shared = std::make_shared<Shared>();
        shared->event = worker_detail::make_event(error);
        if (!shared->event.valid()) return nullptr;
        shared->work = std::move(work);
        shared->mode = take;
        std::unique_ptr<Worker> worker(new Worker(shared));
        try {
            worker->thread_ = std::thread([shared] { shared->run(); });
        } catch (const std::system_error &e) {
            error = std::string("starting a thread failed: ") + e.what();
            return nullptr;
        }
        if (stop == Stop::kDetach) worker->thread_.detach();
        return worker;
    }

    // Stops the thread as chosen at start (see Stop above).
    ~Worker() {
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            shared_->stop = true;
        }
        shared_->wake.notify_one();
        if (thread_.joinable()) thread_.join();
    }
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    // Queues an ask for the thread. Never waits for work.
    void ask(Ask a) {
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            shared_->asked.push_back(std::move(a));
        }
        shared_->wake.notify_one();
    }

    // A result, oldest first. Returns false when none is waiting. Clears
    // the eventfd first (see above).
    bool take(Result &result) {
        worker_detail::clear_event(shared_->event.get());
        std::lock_guard<std::mutex> lock(shared_->mutex);
        if (shared_->done.empty()) return false;
        result = std::move(shared_->done.front());
        shared_->done.pop_front();
        return true;
    }

    // Readable while results wait; to be watched with EPOLLIN.
    int fd() const { return shared_->event.get(); }

private:
    struct Shared {
        norv::Fd event;
        Work work;
        Take mode = Take::kOne;
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<Ask> asked;     // guarded by mutex
        std::deque<Result> done;   // guarded by mutex
        bool stop = false;         // guarded by mutex

        void run() {
            std::unique_lock<std::mutex> lock(mutex);
            for (;;) {
                wake.wait(lock, [this] { return stop || !asked.empty(); });
                if (stop) return;
                std::vector<Ask> batch;
                if (mode == Take::kAll) {
                    batch.assign(std::make_move_iterator(asked.begin()), std::make_move_iterator(asked.end()));
                    asked.clear();
                } else {
                    batch.push_back(std::move(asked.front()));
                    asked.pop_front();
                }
                lock.unlock();
                std::vector<Result> results = work(std::move(batch));
                lock.lock();
                if (stop) return;
                for (Result &r : results) done.push_back(std::move(r));
                if (!results.empty()) worker_detail::signal_event(event.get());
            }
        }
    };

    explicit Worker(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

    std::shared_ptr<Shared> shared_;
    std::thread thread_;  // joinable until destruction with Stop::kJoin
};

}  // namespace norvd

#endif  // NORVD_WORKER_H
