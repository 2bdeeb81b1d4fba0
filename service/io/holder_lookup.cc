// holder_lookup.cc: the thread that looks for the holders of /dev/rtf1.
#include "io/holder_lookup.h"

#include <chrono>

namespace norvd {

std::unique_ptr<HolderLookup> HolderLookup::start(const std::string &proc, const DeviceId &device,
                                                  const std::string &link, std::string &error) {
    std::unique_ptr<HolderLookup> lookup(new HolderLookup);
    lookup->proc_ = proc;
    lookup->device_ = device;
    lookup->link_ = link;
    // The batching maps onto the worker's Take::kAll: its thread takes every
    // ask waiting when a look ends, and one look serves them all. The look
    // reads the members of this object and ends by itself, so the thread is
    // joined (Stop::kJoin).
    lookup->worker_ = Worker<Ask, Result>::start(
        [l = lookup.get()](std::vector<Ask> asks) { return l->look(std::move(asks)); }, Take::kAll, Stop::kJoin,
        error);
    if (!lookup->worker_) return nullptr;
    return lookup;
}

HolderLookup::~HolderLookup() = default;

void HolderLookup::ask(uint32_t token, std::vector<pid_t> ours) { worker_->ask(Ask{token, std::move(ours)}); }

bool HolderLookup::take(Result &result) { return worker_->take(result); }

std::vector<HolderLookup::Result> HolderLookup::look(std::vector<Ask> asks) const {
    std::vector<pid_t> ours;
    for (const Ask &a : asks) ours.insert(ours.end(), a.ours.begin(), a.ours.end());
    auto begin = std::chrono::steady_clock::now();
    Owner owner = decide_owner(find_holders(proc_, device_, ours), link_);
    auto took = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - begin).count();
    std::vector<Result> results;
    for (const Ask &a : asks) results.push_back(Result{a.token, owner, static_cast<uint64_t>(took)});
    return results;
}

}  // namespace norvd
