// The group key and the peer messages: which messages from the peer socket
// norvd takes, and why it drops the others.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "core/group_key.h"
#include "core/peer_wire.h"
#include "io/peer_messages.h"
#include "support/scripted_peer.h"

namespace norvd {
namespace {

using norv::test::Bytes;

Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }

const std::string kHex = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

TEST(GroupKey, ParsesTheTwoFormsAndNothingElse) {
    GroupKey counting{};
    for (size_t i = 0; i < kKeySize; ++i) counting[i] = static_cast<uint8_t>(i);
    Bytes raw32(kKeySize, '\n');  // raw bytes may be anything, newlines too
    struct Case {
        const char *what;
        Bytes bytes;
        bool ok;
        const char *why = "";  // part of the refusal, where it matters
    } cases[] = {
        {"32 raw bytes", raw32, true},
        {"64 hex digits", text(kHex), true},
        {"64 hex digits and a newline", text(kHex + "\n"), true},
        {"upper-case hex", text("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"), true},
        {"empty", {}, false},
        {"31 bytes", Bytes(31, 1), false},
        {"33 bytes", Bytes(33, 1), false},
        {"63 hex digits", text(kHex.substr(1)), false},
        {"63 hex digits and a newline", text(kHex.substr(1) + "\n"), false},
        {"65 hex digits", text(kHex + "0"), false},
        {"a carriage return too", text(kHex + "\r\n"), false},
        {"two newlines", text(kHex + "\n\n"), false},
        {"a letter past f", text("g" + kHex.substr(1)), false},
        {"a space inside", text(kHex.substr(0, 10) + " " + kHex.substr(11)), false},
        {"32 zero bytes", Bytes(kKeySize, 0), false, "the key is all zeros"},
        {"64 zero digits and a newline", text(std::string(64, '0') + "\n"), false, "the key is all zeros"},
        {"zeros but the last bit", text(std::string(63, '0') + "1"), true},
        {"zero bytes but the first bit", [] { Bytes b(kKeySize, 0); b[0] = 0x80; return b; }(), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string why;
        auto key = parse_key(c.bytes.data(), c.bytes.size(), why);
        EXPECT_EQ(key.has_value(), c.ok) << why;
        EXPECT_EQ(why.empty(), c.ok) << why;
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
    std::string why;
    EXPECT_EQ(parse_key(text(kHex).data(), 64, why), counting);
    GroupKey newlines;
    newlines.fill('\n');
    EXPECT_EQ(parse_key(raw32.data(), raw32.size(), why), newlines);
}

// The 32-bit build without libsodium: no key is read or written, and norvd
// says why.
TEST(GroupKey, WithoutLibsodiumNoKeyIsReadOrWritten) {
    if (authentication_available()) GTEST_SKIP() << "norvd is built with libsodium";
    std::string why;
    EXPECT_FALSE(read_key_file("/nonexistent/key", why));
    EXPECT_NE(why.find("built without libsodium"), std::string::npos) << why;
    why.clear();
    EXPECT_FALSE(write_new_key_file("/nonexistent/key", why));
    EXPECT_NE(why.find("built without libsodium"), std::string::npos) << why;
}

class KeyFiles : public ::testing::Test {
protected:
    void SetUp() override {
        if (!authentication_available()) GTEST_SKIP() << "norvd is built without libsodium";
        char dir[] = "/tmp/norv-key-test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }
    void TearDown() override {
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    std::string write(const std::string &name, const std::string &content, mode_t mode) {
        std::string path = dir_ + "/" + name;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        close(fd);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        return path;
    }
    std::string dir_;
};

TEST_F(KeyFiles, OnlyModes0600And0400AreRead) {
    struct Case {
        mode_t mode;
        bool ok;
        const char *why = "";  // part of the refusal, where it matters
    } cases[] = {
        {0600, true}, {0400, true}, {0640, false}, {0604, false}, {0644, false}, {0660, false},
        {0700, false}, {0200, false}, {0440, false}, {04600, false}, {01600, false}, {0000, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        std::string path = write("key", kHex + "\n", c.mode);
        std::string why;
        auto key = read_key_file(path, why);
        EXPECT_EQ(key.has_value(), c.ok) << why;
        if (!c.ok) {
            EXPECT_NE(why.find("must be 0600 or 0400"), std::string::npos) << why;
        }
        unlink(path.c_str());
    }
    std::string why;
    EXPECT_FALSE(read_key_file(dir_, why));
    EXPECT_NE(why.find("not a regular file"), std::string::npos) << why;
    EXPECT_FALSE(read_key_file(dir_ + "/none", why));
    EXPECT_NE(why.find("open " + dir_ + "/none failed"), std::string::npos) << why;
    EXPECT_FALSE(read_key_file(write("short", kHex.substr(2), 0600), why));
    EXPECT_NE(why.find("62 bytes"), std::string::npos) << why;
    // A FIFO is refused, not waited on.
    ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
    EXPECT_FALSE(read_key_file(dir_ + "/fifo", why));
    EXPECT_NE(why.find("not a regular file"), std::string::npos) << why;
    // A file of another user, who could read or change it.
    std::string theirs = write("theirs", kHex, 0600);
    if (chown(theirs.c_str(), geteuid() + 1, static_cast<gid_t>(-1)) == 0) {
        EXPECT_FALSE(read_key_file(theirs, why));
        EXPECT_NE(why.find("belongs to uid " + std::to_string(geteuid() + 1)), std::string::npos) << why;
    }
    // The file is looked at once opened, not through its name: a link to a
    // key file of the right mode is as good as the file.
    std::string good = write("good", kHex, 0400);
    ASSERT_EQ(symlink(good.c_str(), (dir_ + "/link").c_str()), 0);
    EXPECT_TRUE(read_key_file(dir_ + "/link", why)) << why;
}

TEST_F(KeyFiles, AFreshKeyIsNewEveryTimeAndNeverReplacesAFile) {
    mode_t old = umask(0277);  // a umask that would leave the owner only reading
    std::string why;
    std::string a = dir_ + "/a", b = dir_ + "/b";
    ASSERT_TRUE(write_new_key_file(a, why)) << why;
    ASSERT_TRUE(write_new_key_file(b, why)) << why;
    umask(old);
    struct stat st {};
    ASSERT_EQ(stat(a.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_size, 65);
    auto ka = read_key_file(a, why), kb = read_key_file(b, why);
    ASSERT_TRUE(ka && kb) << why;
    EXPECT_NE(*ka, *kb);

    EXPECT_FALSE(write_new_key_file(a, why));
    EXPECT_NE(why.find("File exists"), std::string::npos) << why;
    EXPECT_EQ(read_key_file(a, why), ka);
    ASSERT_EQ(symlink((dir_ + "/elsewhere").c_str(), (dir_ + "/dangling").c_str()), 0);
    EXPECT_FALSE(write_new_key_file(dir_ + "/dangling", why));
    EXPECT_NE(access((dir_ + "/elsewhere").c_str(), F_OK), 0);
}

// ---- The peer messages ----------------------------------------------------

constexpr CommonTime kStarted{1'700'000'000'000'000'000};  // the receiver's start
constexpr CommonTime kEpoch1{1'699'000'000'000'000'000};   // the senders' starts
constexpr CommonTime kEpoch2{1'699'500'000'000'000'000};

GroupKey key_of(uint8_t fill) {
    GroupKey k;
    k.fill(fill);
    return k;
}

Bytes sealed(PeerMessages &sender, uint8_t to, int32_t id, CommonTime at) {
    Bytes b(kMaxPeerMessage);
    b.resize(sender.seal(to, peer::Receipt{0, id, at.ns}, b.data()));
    return b;
}

Bytes probe_of(PeerMessages &sender, uint8_t to, uint8_t kind, uint64_t origin) {
    Bytes b(kMaxPeerMessage);
    uint64_t answered = kind == peer::kProbeAnswer ? origin + 10 : 0;
    b.resize(sender.seal(to, peer::Probe{0, 0, kind, origin, answered, answered}, b.data()));
    return b;
}

Bytes changed(Bytes b, size_t offset) {
    b[offset] ^= 0x01;
    return b;
}

TEST(PeerMessages, AuthenticatedMessagesAreTakenOnceAndOnlyFromTheirSender) {
    if (!authentication_available()) GTEST_SKIP() << "norvd is built without libsodium";
    GroupKey key = key_of(0x5A);
    PeerMessages here(0, key, kStarted);
    PeerMessages one(1, key, kEpoch1), two(2, key, kEpoch1), stranger(1, key_of(0xA5), kEpoch1);
    Bytes first = sealed(one, 0, 11, kStarted + 5);
    Bytes second = sealed(one, 0, 12, kStarted + 6);
    Bytes toTwo = sealed(one, 2, 13, kStarted + 7);
    Bytes ofTwo = sealed(two, 0, 14, kStarted + 8);
    Bytes forged = sealed(stranger, 0, 15, kStarted + 9);
    Bytes v1(peer::receipt::kSize);
    peer::encode_receipt(peer::Receipt{1, 16, (kStarted + 10).ns}, v1.data());
    Bytes atSlack = sealed(one, 0, 17, kStarted - PeerMessages::kClockSlackNs);
    Bytes beforeSlack = sealed(one, 0, 18, kStarted - PeerMessages::kClockSlackNs - 1);
    std::vector<Bytes> burst;
    for (int i = 0; i < 70; ++i) burst.push_back(sealed(one, 0, 100 + i, kStarted + 100 + i));
    PeerMessages oneAgain(1, key, kEpoch2);
    Bytes restarted = sealed(oneAgain, 0, 20, kStarted + 20);
    Bytes oldLife = sealed(one, 0, 21, kStarted + 21);
    // Probes share their sender's numbering with its receipts; one from long
    // before this start is taken (its answer is matched to a request).
    Bytes request = probe_of(oneAgain, 0, peer::kProbeRequest, 5);
    Bytes answer = probe_of(oneAgain, 0, peer::kProbeAnswer, kStarted.ns);
    Bytes requestToTwo = probe_of(oneAgain, 2, peer::kProbeRequest, kStarted.ns);
    Bytes probeV1(peer::probe::kSize);
    peer::encode_probe(peer::AuthenticatedProbe{{1, 0, peer::kProbeRequest, 9, 0, 0}, 0, 0}, peer::kVersion,
                       probeV1.data());

    struct Row {
        const char *what;
        int from;
        Bytes bytes;
        PeerDrop drop;
        int32_t id;  // of the receipt taken
        bool newEpoch = false;
        bool probe = false;  // a probe is taken, not a receipt
    } rows[] = {
        {"a receipt of machine 1", 1, first, PeerDrop::kNone, 11, true},
        {"the same again", 1, first, PeerDrop::kReplayed, 0},
        {"the same from machine 2's address", 2, first, PeerDrop::kWrongMachine, 0},
        {"from no peer's address", -1, second, PeerDrop::kNotPeer, 0},
        {"machine 1's next", 1, second, PeerDrop::kNone, 12},
        {"machine 1's message for machine 2", 1, toTwo, PeerDrop::kWrongMachine, 0},
        {"a receipt of machine 2", 2, ofTwo, PeerDrop::kNone, 14, true},
        {"sealed with another key", 1, forged, PeerDrop::kBadCode, 0},
        {"a bit of the code changed", 1, changed(sealed(one, 0, 30, kStarted), peer::receipt_v2::kCode + 31),
         PeerDrop::kBadCode, 0},
        {"a bit of the registration changed", 1,
         changed(sealed(one, 0, 31, kStarted), peer::receipt_v2::kRegistrationId), PeerDrop::kBadCode, 0},
        {"a bit of the sender changed", 1, changed(sealed(one, 0, 32, kStarted), peer::receipt_v2::kSender),
         PeerDrop::kBadCode, 0},
        {"a bit of the sequence changed", 1, changed(sealed(one, 0, 33, kStarted), peer::receipt_v2::kSeq),
         PeerDrop::kBadCode, 0},
        {"without its code", 1, Bytes(first.begin(), first.begin() + peer::receipt_v2::kCode),
         PeerDrop::kMalformed, 0},
        {"version 1", 1, v1, PeerDrop::kUnauthenticated, 0},
        {"noise", 1, Bytes(68, 0x42), PeerDrop::kMalformed, 0},
        {"a receipt from the start minus the slack", 1, atSlack, PeerDrop::kNone, 17},
        {"a receipt from before that", 1, beforeSlack, PeerDrop::kStale, 0},
        {"the latest of a burst of 70", 1, burst.back(), PeerDrop::kNone, 169},
        {"the burst's 7th, within the window", 1, burst[6], PeerDrop::kNone, 106},
        {"the burst's 6th, behind it", 1, burst[5], PeerDrop::kTooOld, 0},
        {"machine 1 restarted", 1, restarted, PeerDrop::kNone, 20, true},
        {"machine 1's earlier start", 1, oldLife, PeerDrop::kOldEpoch, 0},
        {"machine 2 is not affected", 2, sealed(two, 0, 22, kStarted + 22), PeerDrop::kNone, 22},
        {"a request of machine 1", 1, request, PeerDrop::kNone, 0, false, true},
        {"the same again", 1, request, PeerDrop::kReplayed, 0},
        {"an answer of machine 1", 1, answer, PeerDrop::kNone, 0, false, true},
        {"a bit of the answer's origin changed", 1, changed(answer, peer::probe::kOrigin), PeerDrop::kBadCode, 0},
        {"machine 1's request for machine 2", 1, requestToTwo, PeerDrop::kWrongMachine, 0},
        {"a request of version 1", 1, probeV1, PeerDrop::kUnauthenticated, 0},
    };
    PeerCounters want;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        auto o = here.open(r.from, r.bytes.data(), r.bytes.size(), kStarted);
        EXPECT_EQ(o.drop, r.drop) << drop_reason(o.drop);
        EXPECT_EQ(o.receipt.has_value(), r.drop == PeerDrop::kNone && !r.probe);
        EXPECT_EQ(o.probe.has_value(), r.drop == PeerDrop::kNone && r.probe);
        if (o.probe) {
            EXPECT_EQ(o.probe->sender, r.from);
        }
        EXPECT_EQ(o.newEpoch, r.newEpoch);
        if (o.receipt) {
            EXPECT_EQ(o.receipt->registrationId, r.id);
            EXPECT_EQ(o.receipt->receiver, r.from);
        }
        switch (r.drop) {
        case PeerDrop::kNone: ++want.accepted; break;
        case PeerDrop::kNotPeer: ++want.notPeer; break;
        case PeerDrop::kMalformed: ++want.malformed; break;
        case PeerDrop::kUnauthenticated: ++want.unauthenticated; break;
        case PeerDrop::kNoKey: ++want.noKey; break;
        case PeerDrop::kBadCode: ++want.badCode; break;
        case PeerDrop::kWrongMachine: ++want.wrongMachine; break;
        case PeerDrop::kStale: ++want.stale; break;
        case PeerDrop::kReplayed: ++want.replayed; break;
        case PeerDrop::kTooOld: ++want.tooOld; break;
        case PeerDrop::kOldEpoch: ++want.oldEpoch; break;
        }
    }
    EXPECT_EQ(describe(here.counters()), describe(want));
}

TEST(PeerMessages, SealedMessagesCountPerAddressee) {
    if (!authentication_available()) GTEST_SKIP() << "norvd is built without libsodium";
    PeerMessages three(3, key_of(1), kEpoch1);
    struct Row {
        uint8_t to;
        uint64_t seq;
    } rows[] = {{0, 1}, {0, 2}, {4, 1}, {0, 3}, {4, 2}};
    for (const Row &r : rows) {
        Bytes b = sealed(three, r.to, 9, kStarted);
        ASSERT_EQ(b.size(), peer::receipt_v2::kSize);
        auto a = peer::decode_receipt_v2(b.data(), b.size());
        ASSERT_TRUE(a);
        EXPECT_EQ(a->receipt.receiver, 3);
        EXPECT_EQ(a->addressee, r.to);
        EXPECT_EQ(a->epoch, kEpoch1.ns);
        EXPECT_EQ(a->seq, r.seq);
        EXPECT_TRUE(code_matches(key_of(1), b.data(), peer::receipt_v2::kCode, b.data() + peer::receipt_v2::kCode));
    }
}

// Without a key, version 1 goes through as before (the service checks the
// machine it names) and version 2 cannot be checked.
TEST(PeerMessages, WithoutAKeyVersion1AsBefore) {
    PeerMessages here(0, std::nullopt, kStarted), one(1, std::nullopt, kEpoch1);
    Bytes v1 = sealed(one, 0, 11, CommonTime(5));  // any receipt time: nothing is judged stale
    Bytes expected(peer::receipt::kSize);
    peer::encode_receipt(peer::Receipt{1, 11, 5}, expected.data());
    EXPECT_EQ(v1, expected);
    Bytes namesTwo(peer::receipt::kSize);
    peer::encode_receipt(peer::Receipt{2, 12, 5}, namesTwo.data());
    Bytes v2(peer::receipt_v2::kSize);
    peer::encode_receipt_v2(peer::AuthenticatedReceipt{{1, 13, 5}, 0, 1, 1}, v2.data());

    struct Row {
        const char *what;
        int from;
        Bytes bytes;
        PeerDrop drop;
    } rows[] = {
        {"a receipt", 1, v1, PeerDrop::kNone},
        {"the same again", 1, v1, PeerDrop::kNone},
        {"naming machine 2", 1, namesTwo, PeerDrop::kNone},
        {"from no peer's address", -1, v1, PeerDrop::kNotPeer},
        {"version 2", 1, v2, PeerDrop::kNoKey},
        {"truncated", 1, Bytes(v1.begin(), v1.end() - 1), PeerDrop::kMalformed},
        {"a probe", 1, probe_of(one, 0, peer::kProbeRequest, 7), PeerDrop::kNone},
        {"a probe for machine 2", 1, probe_of(one, 2, peer::kProbeRequest, 7), PeerDrop::kWrongMachine},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        auto o = here.open(r.from, r.bytes.data(), r.bytes.size(), kStarted);
        EXPECT_EQ(o.drop, r.drop);
        EXPECT_EQ(o.receipt.has_value() || o.probe.has_value(), r.drop == PeerDrop::kNone);
    }
    PeerCounters want;
    want.accepted = 4;
    want.notPeer = want.noKey = want.malformed = want.wrongMachine = 1;
    EXPECT_EQ(describe(here.counters()), describe(want));
}

}  // namespace
}  // namespace norvd
