#!/usr/bin/env python3
"""where_time_went.py: for every ping whose verdict was a timing failure in a
group run, where its time went.

    bench/where_time_went.py GROUP_FOLDER MACHINES PING_OUTPUT

Reads the run as tests/e2e/group_truth.py does (norvd's clock lines and
registrations, NORVpong --json records, netsim's log) and splits the time
from each late ping's start stamp to its receipt stamp, all on the common base
clock, into:
  sender    start stamp to send stamp (the registration and the clock reads
            of the sender, carried in the header as `elapsed`)
  kernel    send stamp to netsim taking the packet in (the sender's kernel
            and netsim's wake-up)
  network   netsim's true transit (the link's delay and jitter)
  receiver  the packet handed to the receiving machine to its receipt stamp
            (NORVpong's wake-up and its clock read through norvd)
A verdict whose lateness is unknown is put down to its receipt message: lost,
or reaching the registering norvd after the deadline + grace. Prints one line
per failure and the medians of each part. A figure: it asserts nothing.
"""
import os
import statistics
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import group_truth as gt  # noqa: E402


def main():
    folder, machines, ping = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    run = gt.Run(folder, machines)
    sends = {}  # (from, to, start) -> (send stamp, base0, base1)
    for line in gt.read_lines(os.path.join(folder, "netsim.log")):
        f = gt.fields(line)
        head = f.get("head", "")
        if f.get("dport") == "16006" and f.get("fate") == "sent" and len(head) >= 40:
            send, elapsed = gt.le(head, 4, 8), gt.le(head, 12, 8)
            sends[(int(f["from"]), int(f["to"]), (send - elapsed) % gt.U64)] = (
                send, int(f["transit_ns"]), int(f["base1_ns"]))
    parts = {k: [] for k in ("sender", "kernel", "network", "receiver")}
    late = unknown = 0
    for reg, machine, status, lateness in gt.parse_notices(ping):
        if status not in ("late", "unknown") or reg not in run.registrations:
            continue
        if status == "unknown":
            unknown += 1
            msg = run.peer_messages.get((reg, machine, 0))
            rec = run.by_registration.get((reg, machine))
            print("registration %d machine %d: lateness unknown; receipt %s, its message %s" % (
                reg, machine, "taken" if rec else "never taken",
                "none seen" if msg is None else "%s, reached norvd %.1f ms after taking" % (
                    msg[0], (msg[2] - run.base_of(machine, rec["receipt_stamp"])) / 1e6 if rec else float("nan"))))
            continue
        late += 1
        rec = run.by_registration.get((reg, machine))
        start, _ = run.registrations[reg]
        s = sends.get((0, machine, start))
        if rec is None or s is None:
            print("registration %d machine %d: late %d us, records missing" % (reg, machine, lateness))
            continue
        send, transit, base1 = s
        b_start = run.base_of(0, start)
        b_send = run.base_of(0, send)
        b_receipt = run.base_of(machine, rec["receipt_stamp"])
        p = {"sender": b_send - b_start, "kernel": base1 - transit - b_send, "network": transit,
             "receiver": b_receipt - base1}
        for k, v in p.items():
            parts[k].append(v)
        print("registration %d machine %d: late %d us; " % (reg, machine, lateness) +
              ", ".join("%s %.0f us" % (k, v / 1000) for k, v in p.items()))
    print("failures: %d late, %d lateness unknown" % (late, unknown))
    if late:
        print("medians: " + ", ".join("%s %.0f us" % (k, statistics.median(v) / 1000) for k, v in parts.items()) +
              "; largest part in each: " + ", ".join(
                  "%s %d" % (k, sum(1 for i in range(len(parts["sender"]))
                                    if max(parts, key=lambda q: parts[q][i]) == k)) for k in parts))


if __name__ == "__main__":
    main()
