#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/.

The targets read their input through libFuzzer's FuzzedDataProvider: byte
strings from the front, integers from the back (most significant byte first,
as few bytes as the range needs). Input below mirrors that, so each seed
decodes into the datagrams, tables and replies written out here.

    fuzz/make_corpus.py        (re)writes fuzz/corpus/
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
MASK64 = (1 << 64) - 1


class Input:
    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in the order the target takes it

    def integer(self, value, lo, hi):
        span, offset, width = hi - lo, value - lo, 0
        while width < 8 and (span >> (8 * width)) > 0:
            width += 1
        for i in reversed(range(width)):
            self.back.append((offset >> (8 * i)) & 0xFF)
        return self

    def u8(self, v): return self.integer(v, 0, 0xFF)
    def i32(self, v): return self.integer(v, -(1 << 31), (1 << 31) - 1)
    def u32(self, v): return self.integer(v, 0, (1 << 32) - 1)
    def u64(self, v): return self.integer(v & MASK64, 0, MASK64)
    def boolean(self, v): return self.u8(1 if v else 0)

    def raw(self, b):
        self.front += b
        return self

    def text(self, s):  # ConsumeRandomLengthString: ends at a backslash and another byte
        self.front += s.encode() + b"\\|"
        return self

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


def header(sender, kind=0, send_stamp=0, elapsed=0, echoes=None, registration=0):
    echoes = echoes or {}
    h = struct.pack("<BBxxQQ", sender, kind, send_stamp & MASK64, elapsed & MASK64)
    for i in range(5):
        h += struct.pack("<QQQQ", *echoes.get(i, (0, 0, 0, 0)))
    return h + struct.pack("<i", registration)


def ping_payload(error, time, seq):
    return struct.pack("<QQI", error, time, seq)


def names(module, activity, wcet):
    return b"".join(n.encode().ljust(50, b"\0")[:50] for n in (module, activity, wcet))


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


# ---- receive_path ------------------------------------------------------------

def receive_seed(local_id, real_range, capacity, blocking, slots, server_id, replies, datagrams):
    i = Input().u8(local_id).boolean(real_range).integer(capacity, -2, 1400).boolean(blocking)
    for slot in slots:
        i.boolean(slot is None)
        if slot is not None:
            for v in slot:
                i.u64(v)
    i.i32(server_id).integer(len(replies), 0, 128).raw(replies)
    for d in datagrams:
        i.integer(len(d), 0, 1500).raw(d)
    return i.bytes()


EMPTY5 = [None] * 5
clock = lambda v: struct.pack("<Q", v & MASK64)
answer = lambda v: struct.pack("<i", v)

write("receive_path", {
    # A registered answer of 20 bytes, accepted, no echo for us yet.
    "registered-answer": receive_seed(
        1, True, 20, False, EMPTY5, 0, clock(100000) + answer(0),
        [header(2, send_stamp=90000, registration=7) + ping_payload(1500, 2000, 3)]),
    # An echo of our own send: the round trip bounds the delay.
    "echoed": receive_seed(
        0, True, 20, False, [None, (50000, 40000, 300, 900), None, None, None], 0,
        clock(200000),
        [header(1, send_stamp=160000, elapsed=12, echoes={0: (1000, 150000, 200, 50)})
         + ping_payload(1, 2, 3)]),
    # Skipped ones (short, other kind), an empty header and a refusal, blocking.
    "mixed-blocking": receive_seed(
        3, True, 64, True, EMPTY5, 5, clock(7) + clock(8) + answer(-2),
        [b"\x00" * 100, header(0, kind=1), header(4), header(2, registration=9) + b"x" * 30]),
    # A local id no service hands out, and a sender id without a slot.
    "defensive-ids": receive_seed(
        200, False, 20, False, EMPTY5, 0, clock(5),
        [header(9) + b"\x01" * 20, header(2, echoes={4: (1, 2, 3, 4)}) + b"\x02" * 20]),
    # The clock reply cut off: the channel ends in the middle of it.
    "short-reply": receive_seed(
        2, True, 1400, False, EMPTY5, 0, b"\x01\x02\x03",
        [header(1) + b"\xff" * 1316]),
})

# ---- datagram_estimate ---------------------------------------------------------

def estimate_seed(local_id, real_range, slots, events):
    i = Input().u8(local_id).boolean(real_range)
    for slot in slots:
        i.boolean(slot is None)
        if slot is not None:
            for v in slot:
                i.u64(v)
    for e in events:
        i.u64(e[1])
        if e[0] == "send":
            _, now, kind, start, reg = e
            i.boolean(True).u8(kind).u64(start).i32(reg)
        else:
            _, now, d = e
            i.boolean(False).integer(len(d), 0, 1500).raw(d)
    return i.bytes()


write("datagram_estimate", {
    "first-then-echo": estimate_seed(1, True, EMPTY5, [
        ("recv", 1000, header(3, send_stamp=500) + b"p" * 20),
        ("send", 1100, 0, 1050, 0),
        ("recv", 1300, header(3, send_stamp=700, elapsed=40,
                              echoes={1: (150, 1100, 0, 0)})),
    ]),
    "wrapping-clocks": estimate_seed(4, True, [(MASK64, 1, 0, UINT := 0x00FFFFFFFFFFFFFF)] + [None] * 4, [
        ("recv", 3, header(0, send_stamp=MASK64 - 5, echoes={4: (MASK64, 9, MASK64, MASK64)})),
        ("send", 2, 7, MASK64, -1),
    ]),
    "short-and-odd": estimate_seed(77, False, EMPTY5, [
        ("recv", 5, b""), ("recv", 5, b"\x00" * 183), ("recv", 6, header(5)),
        ("recv", 7, header(0, kind=2)), ("send", 8, 0, 0, 1),
    ]),
})

# ---- control_replies -------------------------------------------------------------

def control_seed(replies, ops):
    i = Input().integer(len(replies), 0, 512).raw(replies)
    for op in ops:
        code = op[0]
        i.integer(code, 0, 11)
        if code == 0:
            i.boolean(op[1])
        elif code == 2:
            i.u8(op[1]).i32(op[2]).u64(op[3])
        elif code == 4:
            i.u64(op[1])
        elif code in (5, 8, 11):
            i.i32(op[1])
        elif code in (6, 7):
            i.boolean(code == 6).u64(op[1]).u64(op[2]).u64(op[3]).raw(op[4])
            i.text(op[5])
        elif code == 9:
            _, local, length, v8, v32, start, first, second, nm = op
            i.integer(local, 0, 4).integer(length, 0, 1000).u8(v8).i32(v32)
            i.u64(start).u64(first).u64(second).raw(nm)
    return i.bytes()


ping_names = names("appmod1", "timelyExec", "timelyExec_wcet")
long_names = b"M" * 50 + b"A" * 50 + b"W" * 50
write("control_replies", {
    "clock-id-receipt": control_seed(
        clock(123456789) + answer(2) + answer(0) + clock(1),
        [(0, False), (1,), (2, 4, 77, 1 << 63), (0, True)]),
    "registered-send": control_seed(
        answer(5) + clock(1000) + answer(-12),
        [(9, 1, 20, 31, 16006, 900, 490, 2000000, ping_names),
         (9, 1, 20, 31, 16006, 900, 490, 2000000, ping_names)]),
    "timeliness": control_seed(
        answer(1) + bytes(20) + b"\x05" + bytes(19) + clock(42) + answer(-3)
        + bytes(24) + struct.pack("<i", 9) + bytes(20),
        [(4, 10), (5, 1), (5, 2), (6, 1, 2, 3, long_names, "sched-text"),
         (7, 4, 5, 6, ping_names, ""), (8, 3), (8, 4)]),
    "notices-and-eof": control_seed(
        bytes([2, 1, 0, 0, 9, 0, 0, 0]) + bytes([1, 1, 0, 0, 40, 0, 0, 0]) * 5 + b"\x07" * 10,
        [(3,), (3,), (10,), (11, 77)]),
    "socket-ids": control_seed(answer(3) + answer(5) + answer(-1), [(10,), (10,), (10,), (10,)]),
})

# ---- print_format ----------------------------------------------------------------

def notice(sender, seq, verdicts):
    b = struct.pack("<xBxxI", sender, seq)
    for status, known, lateness in verdicts:
        b += struct.pack("<BBxxi", status, known, lateness)
    return b


def format_seed(address, payload, notices):
    return Input().u32(address).raw(payload + b"".join(notices)).bytes()


write("print_format", {
    "answer-and-notice": format_seed(0x0100007F, ping_payload(1999, 2500000, 7), [
        notice(1, 12, [(1, 1, 40), (0, 1, -40), (2, 0, 0), (7, 0, 5), (1, 2, 3)])]),
    "extremes": format_seed(0xFFFFFFFF, ping_payload(MASK64, MASK64, 0xFFFFFFFF), [
        notice(255, 0xFFFFFFFF, [(0, 1, -(1 << 31)), (1, 1, -(1 << 31)), (3, 1, (1 << 31) - 1),
                                 (2, 1, 1), (255, 1, 0)]),
        notice(0, 0, [(2, 0, 0)] * 5)]),
})

# ---- service_requests, peer_messages -----------------------------------------------
# These two read their input front to back: a short configuration, then
# operations of a control byte and its operands (see the targets' comments).

def req(command, payload=b"", length=None):
    return struct.pack("<ii", command, len(payload) if length is None else length) + payload


def feed(device, data):
    """Operations that feed data to a device in chunks of at most 255 bytes."""
    out = b""
    for i in range(0, len(data), 255):
        chunk = data[i:i + 255]
        out += bytes([device << 2, len(chunk)]) + chunk
    return out


def advance(us):
    return bytes([2]) + struct.pack("<H", us)


def register_payload(start, machines, deadline_ns):
    p = struct.pack("<QQQB3xi", start, 490, deadline_ns, machines, 16006)
    return p + names(b"probe", b"act", b"wcet") + b"\0\0"


def names(m, a, w):
    return m.ljust(50, b"\0") + a.ljust(50, b"\0") + w.ljust(50, b"\0")


def receipt_payload(reg_id, at, sender):
    return struct.pack("<iQB3x", reg_id, at, sender)


exec_payload = struct.pack("<QQQ", 5000000, 1, 2) + names(b"m", b"a", b"w") + b"text".ljust(22, b"\0")
config = bytes([0, 0x03]) + struct.pack("<i", -1500) + bytes([3])
everything = b"".join([req(2), req(3), req(4, struct.pack("<Q", 7)), req(5, struct.pack("<i", 1)),
                       req(6, exec_payload), req(7, exec_payload[:176]), req(8, struct.pack("<i", 2)),
                       req(9, register_payload(1 << 60, 0x1F, 2000000)),
                       req(10, receipt_payload(1, 1 << 60, 0)), req(11, struct.pack("<i", 5)),
                       req(12, struct.pack("<i", 5)), req(1)])
write("service_requests", {
    "every-command": config + feed(0, everything) + advance(5000),
    # The same stream cut into small chunks, and two devices interleaved.
    "split-requests": config + b"".join(
        bytes([1 << 2, 3]) + everything[i:i + 3] for i in range(0, len(everything), 3))
        + feed(2, req(2) + req(3)) + advance(60000),
    "malformed-heads": config + feed(0, req(2, length=-8) + req(2, length=6) + req(2, length=200)
                                     + req(99, b"abcdefgh") + req(2, b"1234") + req(0))
        + bytes([3, 0x07]) + feed(3, req(9, register_payload(0, 0, 0))),
    "full-tables": config + feed(0, b"".join(req(9, register_payload(1 << 60, 1, 1000000))
                                             for _ in range(8))
                                 + b"".join(req(4, struct.pack("<Q", i)) for i in range(8)))
        + bytes([0x04 | 3]) + advance(65535),
})


def peer_receipt(receiver, reg_id, at, magic=b"NRVD", version=1, kind=1):
    return magic + struct.pack("<BBBxiQ", version, kind, receiver, reg_id, at)


def later(us):
    return bytes([3]) + struct.pack("<H", us)


def datagram(sender, data):
    return bytes([sender << 2]) + struct.pack("<H", len(data)) + data


def register(conn, machines, deadline_us):
    return bytes([(conn << 2) | 1, machines]) + struct.pack("<H", deadline_us)


def local_receipt(sender, pick, reg_id=0):
    return bytes([(sender << 2) | 2, pick]) + (struct.pack("<i", reg_id) if pick >= 128 else b"")


write("peer_messages", {
    # Machine 0 with peers 1 and 2: a send for all three, receipts from both
    # peers (one late), a forged one from an unconfigured address, a verdict.
    "group-receipts": bytes([0, 0x07]) + register(0, 0x07, 2000) + local_receipt(0, 0)
        + datagram(1, peer_receipt(1, 1, 1700000000000000000 + 500000))
        + datagram(6, peer_receipt(2, 1, 1700000000000000000))
        + datagram(2, peer_receipt(2, 1, 1700000000000000000 + 9000000)) + later(3000),
    "malformed": bytes([1, 0x1F]) + register(1, 0x1F, 100)
        + datagram(0, peer_receipt(0, 1 << 26 | 1, 5)[:19])
        + datagram(2, peer_receipt(2, 1 << 26 | 1, 5) + b"x")
        + datagram(3, peer_receipt(3, 1 << 26 | 1, 5, magic=b"NRVE"))
        + datagram(4, peer_receipt(4, 1 << 26 | 1, 5, version=2))
        + datagram(0, peer_receipt(0, 1 << 26 | 1, 5, kind=0))
        + datagram(0, peer_receipt(3, 1 << 26 | 1, 5))
        + datagram(0, peer_receipt(0, -5, 5)) + datagram(0, peer_receipt(9, 5, 5))
        + local_receipt(7, 200, 12) + local_receipt(2, 200, 2 << 26 | 3) + later(65535),
})


# ---- peer_auth ---------------------------------------------------------------
# [local id][flags: bit 0 keyed], then operations (see fuzz/peer_auth.cc).

def seal(machine, to, reg_id, at, foreign=False):
    return bytes([(0x80 if foreign else 0) | (machine << 2) | 1, to]) + struct.pack("<iB", reg_id, at)


def deliver(pick, address, flip=None):
    return bytes([(address << 2) | 2, pick]) + (bytes([0x80 | flip[1], flip[0]]) if flip else b"\0\0")


def restart(machine, step, back=False):
    return bytes([(0x80 if back else 0) | (machine << 2) | 3, step])


def v2_receipt(sender, addressee, reg_id, at, epoch, seq, code=bytes(32)):
    return b"NRVD" + struct.pack("<BBBBiQQQ", 2, 1, sender, addressee, reg_id, at, epoch, seq) + code


write("peer_auth", {
    # Machine 0 keyed: receipts of machines 1 and 2, each played again, from
    # the other's address, changed in a bit; a stale one; machine 1 starts
    # again and its earlier start is played; another key's seal.
    "genuine-and-replayed": bytes([0, 1])
        + seal(1, 0, 1, 20) + seal(2, 0, 1, 30) + seal(1, 2, 2, 20) + seal(1, 0, 3, 0)
        + deliver(0, 1) + deliver(0, 1) + deliver(0, 2) + deliver(1, 2) + deliver(2, 1)
        + deliver(3, 1) + deliver(1, 2, flip=(40, 3)) + deliver(1, 2, flip=(4, 1))
        + restart(1, 5) + seal(1, 0, 4, 20) + deliver(4, 1) + deliver(0, 1)
        + restart(2, 9, back=True) + seal(2, 0, 5, 20) + deliver(5, 2)
        + seal(1, 0, 6, 20, foreign=True) + deliver(6, 1) + deliver(0, 6),
    # Datagrams nobody of the group sealed: version 2 with a made-up code,
    # version 1, noise, short and long, from a peer's address and from no peer's.
    "forgeries": bytes([3, 1])
        + datagram(1, v2_receipt(1, 3, 7, 1700000000000000000, 1, 1))
        + datagram(1, v2_receipt(1, 3, 7, 1700000000000000000, 1, 1)[:67])
        + datagram(2, peer_receipt(2, 7, 1700000000000000000))
        + datagram(4, b"NRVD" + bytes([9]) + bytes(63))
        + datagram(6, v2_receipt(1, 3, 7, 1700000000000000000, 1, 2)) + datagram(0, b""),
    # No key: version 1 from the peers' addresses, version 2 that cannot be checked.
    "unkeyed": bytes([0, 0])
        + seal(1, 0, 1, 20) + seal(2, 0, 2, 20) + deliver(0, 1) + deliver(0, 1) + deliver(1, 7)
        + deliver(1, 2, flip=(6, 0))
        + datagram(1, v2_receipt(1, 0, 7, 1700000000000000000, 1, 1)),
})


# ---- control_requests ------------------------------------------------------------
# A daemon state (see make_state in the target), then the clients' bytes:
# [0, len] + bytes feeds the current client, [1] closes its side.

def state(machine, group, peers, notices, connections):
    out = bytes([machine, group]) + struct.pack("<I", 123456789) + bytes([4])
    out += struct.pack("<i", -1500) + bytes([9, 1]) + struct.pack("<ii", 16, 1000) + struct.pack("<I", 3)
    out += bytes([len(peers)])
    for m, host, address in peers:
        out += bytes([m, len(host)]) + host + (bytes([1, len(address)]) + address if address else bytes([0]))
        out += bytes([1]) + struct.pack("<I", 40) + bytes([1]) + struct.pack("<I", 1700000000)
        out += b"".join(struct.pack("<H", n) for n in range(11))
    out += bytes([len(notices)])
    for verdicts, advance_100ms in notices:
        out += b"".join(bytes([st, known]) + struct.pack("<i", lateness) for st, known, lateness in verdicts)
        out += struct.pack("<H", advance_100ms)
    out += bytes([len(connections)])
    for channel, uid, requests, pending in connections:
        out += bytes([channel]) + (bytes([1]) + struct.pack("<I", uid) if uid is not None else bytes([0]))
        out += struct.pack("<IH", requests, pending)
    return out


def client(data, close=False):
    out = b""
    for i in range(0, len(data), 255):
        out += bytes([0, len(data[i:i + 255])]) + data[i:i + 255]
    return out + (bytes([1]) if close else b"")


timely, late, missing, none = (0, 1, -1500), (1, 1, 5000), (1, 0, 0), (2, 0, 0)
group_state = state(0, 0x07, [(1, b"10.77.0.2", b"10.77.0.2:16007"), (2, b"timing-2", b"")],
                    [([timely, late, missing, none, none], 3), ([timely, timely, late, none, none], 700),
                     ([late, (1, 1, 2147483647), (0, 1, -2147483647), none, none], 1)],
                    [(4, 0, 812, 1), (6, None, 3, 0)])
write("control_requests", {
    "every-command": group_state + b"".join(client(c + b"\n") for c in
                                            (b"status", b"peers", b"verdicts", b"connections", b"status json",
                                             b"peers json", b"verdicts json", b"connections json")),
    "malformed": group_state + client(b"\n") + client(b"frobnicate json\n") + client(b"status xml\n")
        + client(b"status json json\n") + client(b"\x00\xff\x1b[2J\r\n") + client(b"a" * 300)
        + client(b"verdicts", close=True) + client(b"", close=True),
    "odd-state": state(3, 0x1F, [(0, b'"quoted\\host\n', b"\x01\x02"), (4, b"", b"")],
                       [([(0, 1, -2147483647)] * 5, 65535)] * 3, [(255, 4294967295, 4294967295, 65535)])
        + client(b"peers json\n") + client(b"peers\n") + client(b"verdicts json\n"),
})
