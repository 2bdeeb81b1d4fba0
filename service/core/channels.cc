// channels.cc: allocation of channel numbers.
#include "core/channels.h"

namespace norvd {

int ChannelTable::allocate() {
    if (connections_.size() >= max_) return -1;
    for (int n = 0;; ++n) {
        if (device_free(n) && device_free(n + kNoticeOffset)) {
            connections_.insert(n);
            devices_.insert(n);
            devices_.insert(n + kNoticeOffset);
            return n;
        }
    }
}

void ChannelTable::release(int n) {
    if (connections_.erase(n) == 0) return;
    devices_.erase(n);
    devices_.erase(n + kNoticeOffset);
}

}  // namespace norvd
