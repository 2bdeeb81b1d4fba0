// base_receipt.h: a receipt as norvd holds it between the Service and the
// peer group: its time on the base clock. Only the peer group turns it into
// the peer message's common time (peer_wire.h) and back.
#ifndef NORVD_BASE_RECEIPT_H
#define NORVD_BASE_RECEIPT_H

#include <cstdint>
#include <optional>

#include "core/peer_clock.h"
#include "core/times.h"

namespace norvd {

// Where a receipt's true time lies, as far as the clocks can tell: exactly
// where it is for a receipt of this machine; for one that a peer reports in
// its common time, as far from it as the peer's clock offset may be.
struct ReceiptBounds {
    BaseTime earliest, latest;  // on this machine's base clock
    OffsetInterval offset;      // the peer's clock offset they come from ({0, 0} here)
};

struct BaseReceipt {
    uint8_t receiver;  // the machine that received the datagram
    int32_t registrationId;
    BaseTime receiptTime;
    // Nothing when the peer's clock offset is not known: the clocks cannot
    // tell where its receipt lies.
    std::optional<ReceiptBounds> bounds = std::nullopt;
};

}  // namespace norvd

#endif  // NORVD_BASE_RECEIPT_H
