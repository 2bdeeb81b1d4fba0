// base_receipt.h: a receipt as norvd holds it between the Service and the
// peer group: its time on the base clock. Only the peer group turns it into
// the peer message's common time (peer_wire.h) and back.
#ifndef NORVD_BASE_RECEIPT_H
#define NORVD_BASE_RECEIPT_H

#include <cstdint>

#include "core/times.h"

namespace norvd {

struct BaseReceipt {
    uint8_t receiver;  // the machine that received the datagram
    int32_t registrationId;
    BaseTime receiptTime;
};

}  // namespace norvd

#endif  // NORVD_BASE_RECEIPT_H
