// holder_lookup.cc: the thread that looks for the holders of /dev/rtf1.
#include "io/holder_lookup.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace norvd {

namespace {

// The name of user `uid` in the password database, or "" when it has none.
// It may ask a network service (NSS), so it is asked here, off the loop,
// once per look; norvctl shows it beside the uid.
std::string user_name(uid_t uid) {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 1024);
    for (;;) {
        passwd pw{}, *found = nullptr;
        int err = getpwuid_r(uid, &pw, buf.data(), buf.size(), &found);
        if (err == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        return err == 0 && found != nullptr && found->pw_name != nullptr ? found->pw_name : "";
    }
}

}  // namespace

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
    if (owner.known) owner.name = user_name(owner.uid);
    auto took = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - begin).count();
    std::vector<Result> results;
    for (const Ask &a : asks) results.push_back(Result{a.token, owner, static_cast<uint64_t>(took)});
    return results;
}

}  // namespace norvd
