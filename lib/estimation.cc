// estimation.cc: the peer timing table of a timed socket and the delay bound
// of a received datagram. Memory only: no clock, no I/O, no errors.
//
// Every difference of two service times is unsigned and wraps modulo 2^64;
// drift is allowed for in IEEE double, one operation at a time in the order
// the formulas give (the build forbids fused multiply-adds and x87 precision).
#include "estimation.h"
#include "norv.h"

using namespace norv::estimation;

namespace {

// The factors by which a clock interval is stretched or shrunk to bound the
// real time it stands for: 1 + rho and 1 - rho, written out.
constexpr double kRho = DRIFT_RATE;
constexpr double kGrow = 1.000005;    // 1 + rho
constexpr double kShrink = 0.999995;  // 1 - rho

void take_reference(PeerTiming &slot, uint64_t now, uint64_t sendStamp, uint64_t error,
                    uint64_t estimate) {
    slot.recvTime = now;
    slot.sendStamp = sendStamp;
    slot.delayError = error;
    slot.delayEstimate = estimate;
}

}  // namespace

extern "C" {

void init_session(TimedSocket *socket, uint8_t localId) {
    // Members in front of udpSocket are cleared; udpSocket, stored by
    // NORVsocket just before, and serverId, the caller's, are kept.
    for (PeerTiming &slot : socket->peers) {
        slot.recvTime = 0;
        slot.sendStamp = 0;
        slot.delayEstimate = 0;
        slot.delayError = UNKNOWN_DELAY_ERROR;
    }
    socket->requestFd = 0;
    socket->localId = localId;
}

void putReceiveInfo(TimedSocket *socket, uint64_t now, uint64_t age, uint64_t sendStamp,
                    uint64_t echoStamp, uint8_t senderId, uint64_t echoEstimate,
                    uint64_t echoError, uint64_t elapsed, uint64_t *estimateOut,
                    uint64_t *errorOut) {
    if (senderId >= MAX_MACHINES) {
        // No slot for such a machine (the receive path drops these before
        // they get here): nothing is learnt, the answer carries no bound.
        *estimateOut = 0;
        *errorOut = UINT64_MAX;
        return;
    }
    PeerTiming &slot = socket->peers[senderId];

    if (echoStamp == 0) {
        // Path A: the sender holds nothing of ours, so no bound at all.
        *estimateOut = 0;
        *errorOut = UINT64_MAX;
        if (slot.recvTime == 0) {
            take_reference(slot, now, sendStamp, UNKNOWN_DELAY_ERROR, 0);
            return;
        }
        // a: most real time between the two sends; b: least real time between
        // the two receipts. b < a: this datagram may have travelled faster
        // than the reference, so it makes the better reference.
        double a = to_double(sendStamp - slot.sendStamp) * kGrow;
        double b = to_double(now - slot.recvTime) * kShrink;
        if (b < a) take_reference(slot, now, sendStamp, UNKNOWN_DELAY_ERROR, 0);
        return;
    }

    // Path B. T: round trip on our clock from our echoed send to this receipt.
    uint64_t T = now - echoStamp;
    // 2M: the largest delay of this datagram that the round trip allows, once
    // the sender's holding time (its clock, shrunk) is taken out.
    uint64_t M = to_u64((to_double(T) * kGrow - to_double(age) * kShrink) / 2.0);
    // D +- R: the round trip less the holding time and the echoed delay.
    uint64_t D = now - echoStamp - age - echoEstimate;
    uint64_t R = to_u64((to_double(echoError) + to_double(T) * kRho) + to_double(age) * kRho);
    centre_at_zero(&D, &R);

    uint64_t estimate;
    uint64_t error;
    if (R > M) {
        estimate = M;
        error = M;
    } else {
        estimate = D;
        error = R;
    }

    if (slot.recvTime == 0) {
        take_reference(slot, now, sendStamp, error, estimate);
    } else {
        // The present reference's error, grown by the drift over the time
        // that separates it from this datagram on either clock.
        double g = (to_double(slot.delayError) + to_double(sendStamp - slot.sendStamp) * kRho) +
                   to_double(now - slot.recvTime) * kRho;
        if (g > to_double(error)) take_reference(slot, now, sendStamp, error, estimate);
    }

    *estimateOut = estimate + elapsed;
    *errorOut = to_u64(to_double(error) + to_double(elapsed) * kRho);
}

}  // extern "C"
